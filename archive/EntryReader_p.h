#pragma once

#include <QtGlobal>

#include <unzip.h>

#include <atomic>
#include <memory>
#include <vector>

class BackgroundSha256;
class Inflater;

// The size of the pieces an extraction reads and writes (256 KiB): one
// buffer of it for the entry's output, one for the compressed input.
constexpr quint64 extractionBufferSize = 0x40000;

// Reads an entry's data straight from the archive file, inflating it with
// ISA-L and checking it with ISA-L's CRC-32 (several times zlib's speed). It
// answers as unzReadCurrentFile does: at most `length` bytes a call and the
// recorded uncompressed size in all, fewer when the data ends and 0 after
// that; UNZ_ERRNO when the file cannot be read (errno 0 when it ends early),
// and another negative code for deflate data that is corrupt or cut short.
// Its data is the compressed size's bytes at `offset`, which the caller has
// found to lie within the file; nothing outside them is read. Each piece of
// the file it reads is also handed to `archiveDigest`, when there is one.
class EntryReader
{
public:
    EntryReader(int fd, const unz_file_info64 &info, quint64 offset, BackgroundSha256 *archiveDigest);
    ~EntryReader();
    EntryReader(const EntryReader &) = delete;
    EntryReader &operator=(const EntryReader &) = delete;

    int read(char *out, unsigned length);

    // Of all the data read so far.
    [[nodiscard]] quint32 crc32() const { return crc; }
    // Where in the file the next byte would be read.
    [[nodiscard]] quint64 position() const { return offset; }

private:
    bool readFile(void *to, quint64 size);
    int inflate(quint8 *out, unsigned length);

    const int fd;
    quint64 offset;
    quint64 restCompressed;
    quint64 restUncompressed;
    quint32 crc = 0;
    BackgroundSha256 *const archiveDigest;
    std::vector<quint8> input;
    std::unique_ptr<Inflater> inflater;
};

enum class RangeHashed { Whole, Unreadable, Cancelled };
// Hands the bytes of the file from `from` to `to` to `digest`, in pieces of at
// most 256 KiB, and stops before the next piece once `cancelled` is set.
// Unreadable, with errno, when they cannot all be read.
[[nodiscard]] RangeHashed hashFileRange(int fd, quint64 from, quint64 to, BackgroundSha256 &digest,
                                        const std::atomic<bool> &cancelled);
