#pragma once

#include "BackgroundSha256.h"
#include "ChunkConsumer.h"
#include "StreamedEntry.h"

#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

class EntryStream;

// Extracts an update archive's package while the archive downloads: a
// consumer of the archive's bytes as the downloader writes them, which
// inflates and writes the package as they come when its entry allows (see
// EntryStream), and otherwise gives up quietly, leaving nothing. The work runs
// on a thread of its own behind a queue bounded in bytes, so that neither the
// download nor its end waits for the inflation of what is queued. What only
// the central directory can say is checked after the download, by
// Unzipper::adopt.
class StreamingUnzipper final : public ChunkConsumer
{
public:
    // The package goes to packagePath: the entry of that file name (ASCII
    // letters in any case), into that folder.
    explicit StreamingUnzipper(const QString &packagePath);
    // Stops, removing a package that finish() has not handed out.
    ~StreamingUnzipper() override;
    StreamingUnzipper(const StreamingUnzipper &) = delete;
    StreamingUnzipper &operator=(const StreamingUnzipper &) = delete;

    // Before the first byte: every byte written into the package is also
    // handed to `consumer`, in order, on the package digest's helper thread;
    // it has seen them all when finish() gives the entry. It outlives this.
    void setEntryConsumer(ChunkConsumer *consumer);

    // The archive's next bytes, from one thread at a time.
    void consume(const char *data, qsizetype size) override;
    void consumeShared(const QByteArray &chunk) override;

    // Once, after the archive's last byte (no consume() runs or follows):
    // waits until everything queued is taken, then gives the entry, written
    // whole, its file closed and hashed; none when it could not be streamed or
    // was cancelled, and then nothing is left. From any thread.
    [[nodiscard]] std::optional<StreamedEntry> finish();

    // From any thread: the work stops within one piece of output, and what it
    // wrote is removed, unless finish() has handed it out. Later bytes are
    // ignored.
    void cancel();

private:
    // Hands the queue's chunks to the stream, on the queue's thread.
    struct Relay final : ChunkConsumer
    {
        explicit Relay(StreamingUnzipper &owner)
            : owner(owner)
        {
        }
        void consume(const char *data, qsizetype size) override { consumeShared(QByteArray(data, int(size))); }
        void consumeShared(const QByteArray &chunk) override;
        StreamingUnzipper &owner;
    };

    std::atomic<bool> cancelled{false};
    // Held while the stream takes a chunk, is cancelled or is finished.
    std::mutex mutex;
    const std::unique_ptr<EntryStream> stream;
    bool handedOut = false;
    Relay relay{*this};
    BackgroundSha256 queue; // last: its thread uses the rest, and ends first
};
