#pragma once

#include "StreamedEntry.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>

class ChunkConsumer;
class Inflater;
class WrittenFile;

// Writes the first entry of a ZIP archive into a file from the archive's
// bytes as they come, when that entry is the one named and can be read that
// way: its local header at the archive's start, its name `fileName` (ASCII
// letters in any case, no folder), not encrypted, stored or deflated, and its
// end known from its local header, or, for deflated data (which ends itself),
// followed by a data descriptor that must agree with it. Anything else, or
// anything that does not add up, and it gives up: what it wrote is removed and
// later bytes are ignored. It then leaves the extraction to the unzipper,
// after the download, which gives today's verdict and texts. Not thread-safe.
class EntryStream
{
public:
    // The entry goes to dirPath + "/" + fileName, written through WrittenFile
    // (a regular file only, hashed as it is written).
    EntryStream(QString dirPath, QString fileName);
    ~EntryStream();
    EntryStream(const EntryStream &) = delete;
    EntryStream &operator=(const EntryStream &) = delete;

    // Before the first byte: every byte written into the file is also handed
    // to `consumer`, as WrittenFile::setConsumer does.
    void setEntryConsumer(ChunkConsumer *consumer) { entryConsumer = consumer; }

    // The archive's next bytes. Between pieces of output it looks at
    // `stopped` and, once it is set, returns at once, leaving the rest to
    // discard().
    void take(const QByteArray &chunk, const std::atomic<bool> &stopped);
    // After the archive's last byte: the entry, its file closed and hashed,
    // when it was written whole; otherwise none, and nothing is left.
    [[nodiscard]] std::optional<StreamedEntry> close();
    // Gives up: the file, if one was made, is removed, and nothing more is
    // written or handed to the consumer.
    void discard();

private:
    enum class Phase { Header, Data, Descriptor, Done, GaveUp };

    // Each takes the bytes of `chunk` from `at` on, as far as its part goes.
    void readHeader(const QByteArray &chunk, int &at);
    void readStored(const QByteArray &chunk, int &at);
    void readDeflated(const QByteArray &chunk, int &at, const std::atomic<bool> &stopped);
    void readDescriptor(const QByteArray &chunk, int &at);
    // The local header is whole in `header`: starts the data, or gives up.
    void startData();
    // Writes `bytes` into the file, adding them to the CRC-32; gives up (and
    // is false) when the write fails or the folder's free space runs low.
    bool write(const QByteArray &bytes);
    // Writes the inflated bytes held so far.
    bool flush();
    // The data is over: done when its CRC-32 is the one recorded.
    void dataEnded();

    const QString dirPath;
    const QString fileName;
    ChunkConsumer *entryConsumer = nullptr;
    Phase phase = Phase::Header;
    QByteArray header;   // the local header, then the data descriptor, as they come
    StreamedEntry entry; // the header's facts; the data's once it has ended
    bool sizesKnown = false;
    quint64 restCompressed = 0; // with sizes known: data still to come
    quint64 written = 0;
    quint64 writtenAtLastLook = 0;
    quint32 crc = 0;
    std::unique_ptr<WrittenFile> file;
    std::unique_ptr<Inflater> inflater;
    QByteArray output; // inflated bytes not yet written
    int outputSize = 0;
    QByteArray lastTaken; // the inflater's last 8 bytes taken: a data descriptor may begin among them
};
