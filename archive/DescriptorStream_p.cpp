#include "DescriptorStream_p.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t windowSize = 0x10000;

} // namespace

DescriptorStream::DescriptorStream(int fd)
    : fd(fd)
    , window(windowSize)
{
    table.zopen64_file = &DescriptorStream::open;
    table.zread_file = &DescriptorStream::read;
    table.zwrite_file = &DescriptorStream::write;
    table.ztell64_file = &DescriptorStream::tell;
    table.zseek64_file = &DescriptorStream::seek;
    table.zclose_file = &DescriptorStream::close;
    table.zerror_file = &DescriptorStream::error;
    table.opaque = this;
}

voidpf DescriptorStream::open(voidpf opaque, const void *, int mode)
{
    // Reading only; the descriptor stays the caller's.
    return (mode & ZLIB_FILEFUNC_MODE_WRITE) ? nullptr : opaque;
}

uLong DescriptorStream::read(voidpf, voidpf stream, void *buffer, uLong size)
{
    return static_cast<DescriptorStream *>(stream)->readAt(buffer, size);
}

uLong DescriptorStream::readAt(void *buffer, uLong size)
{
    auto *to = static_cast<char *>(buffer);
    uLong done = 0;
    while (done < size) {
        const quint64 at = position + done;
        if (at < windowStart || at >= windowStart + windowLength) {
            ssize_t n;
            do
                n = ::pread(fd, window.data(), windowSize, off_t(at));
            while (n < 0 && errno == EINTR);
            if (n < 0)
                failed = true;
            windowStart = at;
            windowLength = quint64(std::max<ssize_t>(n, 0));
            if (n <= 0)
                break;
        }
        const quint64 offset = at - windowStart;
        const quint64 length = std::min<quint64>(size - done, windowLength - offset);
        std::memcpy(to + done, window.data() + offset, size_t(length));
        done += uLong(length);
    }
    position += done;
    return done;
}

uLong DescriptorStream::write(voidpf, voidpf, const void *, uLong)
{
    return 0;
}

ZPOS64_T DescriptorStream::tell(voidpf, voidpf stream)
{
    return static_cast<DescriptorStream *>(stream)->position;
}

long DescriptorStream::seek(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    auto *self = static_cast<DescriptorStream *>(stream);
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        self->position = offset;
        return 0;
    case ZLIB_FILEFUNC_SEEK_CUR:
        self->position += offset;
        return 0;
    case ZLIB_FILEFUNC_SEEK_END: {
        struct stat status = {};
        if (::fstat(self->fd, &status) != 0)
            return -1;
        self->position = quint64(status.st_size) + offset;
        return 0;
    }
    default:
        return -1;
    }
}

int DescriptorStream::close(voidpf, voidpf)
{
    return 0;
}

int DescriptorStream::error(voidpf, voidpf stream)
{
    return static_cast<DescriptorStream *>(stream)->failed ? 1 : 0;
}
