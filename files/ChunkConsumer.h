#pragma once

#include <QtGlobal>

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
};
