#include "InstalledApplication.h"

#include "FileDescriptor.h"
#include "VisibleText.h"

#include <QByteArray>

#include <plist/plist.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <type_traits>

namespace {

constexpr qint64 largestInfoPlist = 1024 * 1024; // a large application's is some 10 KiB

struct PlistFree
{
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

// libplist 2.3 gave plist_from_memory a fourth parameter, the format found;
// Debian 12 has 2.2, Homebrew a later one.
template<typename Parse> PlistPtr parsed(Parse parse, const QByteArray &data)
{
    plist_t root = nullptr;
    if constexpr (std::is_invocable_v<Parse, const char *, uint32_t, plist_t *, std::nullptr_t>)
        parse(data.constData(), static_cast<uint32_t>(data.size()), &root, nullptr);
    else
        parse(data.constData(), static_cast<uint32_t>(data.size()), &root);
    return PlistPtr(root);
}

// The file's bytes, read without waiting on a FIFO, and without reading more
// than a property list needs.
bool readSmallFile(const QByteArray &path, QByteArray &data, QString &reason)
{
    const FileDescriptor fd(::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status
    {
    };
    if (!fd.isOpen() || ::fstat(fd.get(), &status) != 0) {
        reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (!S_ISREG(status.st_mode) || status.st_size > largestInfoPlist) {
        reason = S_ISREG(status.st_mode) ? QStringLiteral("it is larger than %1 bytes").arg(largestInfoPlist)
                                         : QStringLiteral("it is not a regular file");
        return false;
    }
    data.resize(static_cast<int>(status.st_size));
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t got = ::read(fd.get(), data.data() + done, static_cast<size_t>(data.size() - done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            reason = got < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : QStringLiteral("it was cut short");
            return false;
        }
        done += got;
    }
    return true;
}

// A string value of the top dictionary; null when absent or not a string.
QString stringOf(plist_t dictionary, const char *key)
{
    const plist_t node = plist_dict_get_item(dictionary, key);
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return QString();
    uint64_t length = 0;
    const char *text = plist_get_string_ptr(node, &length);
    return text ? QString::fromUtf8(text, static_cast<int>(length)) : QString();
}

} // namespace

bool readInstalledApplication(const QString &bundlePath, BundleIdentity &installed, QString &error)
{
    const QString path = bundlePath + QStringLiteral("/Contents/Info.plist");
    const QString shown = withVisibleControlCharacters(path);
    QByteArray data;
    QString reason;
    if (!readSmallFile(path.toUtf8(), data, reason)) {
        error = QStringLiteral("The application's %1 cannot be read (%2).").arg(shown, reason);
        return false;
    }
    const PlistPtr root = parsed(plist_from_memory, data);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
        error = QStringLiteral("The application's %1 is not a property list of a bundle.").arg(shown);
        return false;
    }
    BundleIdentity read{stringOf(root.get(), "CFBundleIdentifier"), stringOf(root.get(), "CFBundleVersion")};
    if (read.identifier.isEmpty()) {
        error = QStringLiteral("The application's %1 gives no CFBundleIdentifier.").arg(shown);
        return false;
    }
    installed = read;
    return true;
}
