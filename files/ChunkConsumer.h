#pragma once

#include <QByteArray>

// Something that takes a stream of bytes in the order they were written, such
// as a check of a package's signature fed the very bytes whose digest root
// holds the package to. Called from one thread at a time, which need not be
// the thread that made it.
class ChunkConsumer
{
public:
    virtual ~ChunkConsumer() = default;

    // The stream's next `size` bytes.
    virtual void consume(const char *data, qsizetype size) = 0;
    // The same, held in a shared array that the consumer may keep (unchanged)
    // after the call, saving a copy; by default consume() of its bytes.
    virtual void consumeShared(const QByteArray &chunk) { consume(chunk.constData(), chunk.size()); }
};
