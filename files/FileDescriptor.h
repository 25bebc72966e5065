#pragma once

#include <unistd.h>

// A file descriptor from open(2), or -1; closed once, at the end of its owner's
// life or by reset().
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd = -1)
        : fd(fd)
    {
    }
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    FileDescriptor(FileDescriptor &&other) noexcept
        : fd(other.release())
    {
    }
    FileDescriptor &operator=(FileDescriptor &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    [[nodiscard]] int get() const { return fd; }
    [[nodiscard]] bool isOpen() const { return fd >= 0; }
    // The descriptor, no longer owned.
    [[nodiscard]] int release()
    {
        const int released = fd;
        fd = -1;
        return released;
    }
    // Closes the descriptor held, if any, and holds `newFd`. The result is
    // close(2)'s: false, with errno, when it reported an error.
    bool reset(int newFd = -1)
    {
        const bool closed = fd < 0 || ::close(fd) == 0;
        fd = newFd;
        return closed;
    }

private:
    int fd;
};
