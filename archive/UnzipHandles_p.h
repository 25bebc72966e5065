#pragma once

#include <unzip.h>

// Owners of minizip's handles, so that no return path can leak one.

// An archive handle from unzOpen2_64; closed with unzClose.
class UnzHandle
{
public:
    explicit UnzHandle(unzFile handle = nullptr)
        : handle(handle)
    {
    }
    ~UnzHandle() { reset(); }
    UnzHandle(const UnzHandle &) = delete;
    UnzHandle &operator=(const UnzHandle &) = delete;

    [[nodiscard]] unzFile get() const { return handle; }
    void reset(unzFile newHandle = nullptr)
    {
        if (handle)
            unzClose(handle);
        handle = newHandle;
    }

private:
    unzFile handle;
};

// The archive's current entry after a successful unzOpenCurrentFile; closed
// once, by close() or at the end of the scope.
class UnzCurrentEntry
{
public:
    explicit UnzCurrentEntry(unzFile archive)
        : archive(archive)
    {
    }
    ~UnzCurrentEntry() { static_cast<void>(close()); }
    UnzCurrentEntry(const UnzCurrentEntry &) = delete;
    UnzCurrentEntry &operator=(const UnzCurrentEntry &) = delete;

    // unzCloseCurrentFile's result. UNZ_OK when already closed.
    [[nodiscard]] int close()
    {
        if (!archive)
            return UNZ_OK;
        const int result = unzCloseCurrentFile(archive);
        archive = nullptr;
        return result;
    }

private:
    unzFile archive;
};
