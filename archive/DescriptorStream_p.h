#pragma once

#include <QtGlobal>

#include <ioapi.h>

#include <vector>

// minizip's file functions over a descriptor that is already open: minizip
// then reads the very file the caller opened (and checked), never a path
// again. Reads go through a window of 64 KiB, as minizip reads its records a
// few bytes at a time. Not thread-safe; one archive handle per stream.
class DescriptorStream
{
public:
    explicit DescriptorStream(int fd);
    DescriptorStream(const DescriptorStream &) = delete;
    DescriptorStream &operator=(const DescriptorStream &) = delete;

    // For unzOpen2_64; valid as long as this stream is.
    [[nodiscard]] zlib_filefunc64_def *functions() { return &table; }

private:
    static voidpf ZCALLBACK open(voidpf opaque, const void *path, int mode);
    static uLong ZCALLBACK read(voidpf opaque, voidpf stream, void *buffer, uLong size);
    static uLong ZCALLBACK write(voidpf opaque, voidpf stream, const void *buffer, uLong size);
    static ZPOS64_T ZCALLBACK tell(voidpf opaque, voidpf stream);
    static long ZCALLBACK seek(voidpf opaque, voidpf stream, ZPOS64_T offset, int origin);
    static int ZCALLBACK close(voidpf opaque, voidpf stream);
    static int ZCALLBACK error(voidpf opaque, voidpf stream);

    uLong readAt(void *buffer, uLong size);

    const int fd;
    zlib_filefunc64_def table{};
    quint64 position = 0;
    std::vector<char> window;
    quint64 windowStart = 0;
    quint64 windowLength = 0;
    bool failed = false;
};
