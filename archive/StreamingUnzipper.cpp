#include "StreamingUnzipper.h"

#include "EntryStream_p.h"

#include <QFileInfo>

StreamingUnzipper::StreamingUnzipper(const QString &packagePath)
    : stream(std::make_unique<EntryStream>(QFileInfo(packagePath).path(), QFileInfo(packagePath).fileName()))
    , queue(BackgroundSha256::defaultMaxQueuedBytes, &relay, false)
{
}

StreamingUnzipper::~StreamingUnzipper()
{
    cancel();
}

void StreamingUnzipper::setEntryConsumer(ChunkConsumer *consumer)
{
    stream->setEntryConsumer(consumer);
}

void StreamingUnzipper::consume(const char *data, qsizetype size)
{
    if (!cancelled && size > 0)
        queue.addData(QByteArray(data, int(size)));
}

void StreamingUnzipper::consumeShared(const QByteArray &chunk)
{
    if (!cancelled)
        queue.addData(chunk);
}

void StreamingUnzipper::Relay::consumeShared(const QByteArray &chunk)
{
    const std::lock_guard<std::mutex> lock(owner.mutex);
    if (!owner.cancelled)
        owner.stream->take(chunk, owner.cancelled);
}

std::optional<StreamedEntry> StreamingUnzipper::finish()
{
    static_cast<void>(queue.result());
    const std::lock_guard<std::mutex> lock(mutex);
    if (cancelled) {
        stream->discard();
        return std::nullopt;
    }
    std::optional<StreamedEntry> entry = stream->close();
    handedOut = entry.has_value();
    return entry;
}

void StreamingUnzipper::cancel()
{
    cancelled = true;
    const std::lock_guard<std::mutex> lock(mutex);
    if (!handedOut)
        stream->discard();
}
