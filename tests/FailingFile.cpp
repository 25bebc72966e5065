#include "FailingFile.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Plain storage: close() runs on any thread, and after static destructors.
char failingName[NAME_MAX + 1];
std::atomic<bool> armed{false};

bool isOnFailingFile(int fd)
{
    // Nothing that locks or allocates: a child of fork() closes descriptors too.
    char link[32] = "/proc/self/fd/", target[PATH_MAX];
    *std::to_chars(link + std::strlen(link), link + sizeof link - 1, fd).ptr = '\0';
    const ssize_t length = armed.load() ? ::readlink(link, target, sizeof target - 1) : -1;
    if (length < 0)
        return false;
    target[length] = '\0';
    const char *slash = std::strrchr(target, '/');
    return std::strcmp(slash ? slash + 1 : target, failingName) == 0;
}

} // namespace

void FailingFile::failFor(const QByteArray &fileName)
{
    armed = false;
    qstrncpy(failingName, fileName.constData(), sizeof failingName);
    armed = !fileName.isEmpty();
}

// Defined in the executable, it is found before the C library's, which it calls.
extern "C" int close(int fd)
{
    static const auto next = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "close"));
    const bool fails = isOnFailingFile(fd);
    const int result = next(fd);
    if (!fails || result != 0)
        return result;
    errno = EIO;
    return -1;
}

extern "C" int ftruncate(int fd, off_t length)
{
    static const auto next = reinterpret_cast<int (*)(int, off_t)>(::dlsym(RTLD_NEXT, "ftruncate"));
    if (!isOnFailingFile(fd))
        return next(fd, length);
    errno = EIO;
    return -1;
}
