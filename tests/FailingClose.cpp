#include "FailingClose.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace {

// Plain storage: close() runs on any thread, also after static destructors.
char failingName[NAME_MAX + 1];
std::atomic<bool> armed{false};

bool isOnFailingFile(int fd)
{
    if (!armed.load(std::memory_order_acquire))
        return false;
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link, target, sizeof target - 1);
    if (length < 0)
        return false;
    target[length] = '\0';
    const char *slash = std::strrchr(target, '/');
    return std::strcmp(slash ? slash + 1 : target, failingName) == 0;
}

} // namespace

void FailingClose::failFor(const QByteArray &fileName)
{
    armed.store(false, std::memory_order_release);
    qstrncpy(failingName, fileName.constData(), sizeof failingName);
    armed.store(!fileName.isEmpty(), std::memory_order_release);
}

// Defined in the executable, it takes the place of the C library's for every
// caller; the C library's is the next one found.
extern "C" int close(int fd)
{
    using Close = int (*)(int);
    static const auto next = reinterpret_cast<Close>(::dlsym(RTLD_NEXT, "close"));
    const bool fails = isOnFailingFile(fd);
    const int result = next(fd);
    if (!fails || result != 0)
        return result;
    errno = EIO;
    return -1;
}
