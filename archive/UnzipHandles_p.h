#pragma once

#include <unzip.h>

#include <string>

// Owners of minizip's handles, so that no return path can leak one.

// An open archive and the path it was opened from; closed with unzClose when
// replaced or destroyed.
class UnzArchive
{
public:
    UnzArchive() = default;
    ~UnzArchive() { reset(); }
    UnzArchive(const UnzArchive &) = delete;
    UnzArchive &operator=(const UnzArchive &) = delete;

    [[nodiscard]] unzFile get() const { return handle; }
    [[nodiscard]] bool isOpen() const { return handle != nullptr; }
    [[nodiscard]] const char *path() const { return filePath.c_str(); }

    void reset(unzFile newHandle = nullptr, std::string newPath = {})
    {
        if (handle)
            unzClose(handle);
        handle = newHandle;
        filePath = handle ? std::move(newPath) : std::string();
    }

private:
    unzFile handle = nullptr;
    std::string filePath;
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

    // unzCloseCurrentFile's result: UNZ_CRCERROR when the whole entry was
    // read and its CRC-32 does not match. UNZ_OK when already closed.
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
