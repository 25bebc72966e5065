#include "InstallCommand.h"

#include "VisibleText.h"

#include <QByteArray>
#include <QFileInfo>
#include <QStringList>

#include <utility>

namespace {

QString utf8(const std::string &text)
{
    return QString::fromUtf8(text.data(), int(text.size()));
}

std::string utf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

} // namespace

namespace InstallCommand {

const char packageChanged[] = "The package changed before it could be installed.";
const char applicationRuns[] = "The application is running; nothing was installed.";

QString packageIsLink(const QString &path)
{
    return QStringLiteral("The package %1 is now a symbolic link; nothing was installed.").arg(path);
}

QString packageIsNotRegular(const QString &path)
{
    return QStringLiteral("The package %1 is no longer a regular file; nothing was installed.").arg(path);
}

QString escapedForSingleQuotes(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return escaped;
}

QString escapedForAppleScriptString(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\n')) {
            escaped += QLatin1String("\\n");
            continue;
        }
        if (c == QLatin1Char('\\') || c == QLatin1Char('"'))
            escaped += QLatin1Char('\\');
        escaped += c;
    }
    return escaped;
}

// "-P": a link is copied as a link, "-R": a FIFO or device as a new one,
// never read. The copy is checked again, as the package may change between the
// check before the copy and the copy itself; find tests the size without
// reading the file. cp runs under a file size limit of the package's size (in
// 512-byte blocks, 1024 in some shells): a name swapped for a link to an
// endless file after the check is read only that far, short of filling root's
// volume. OpenSSL prints "...= <hex digest>". Messages go through printf, as
// echo would read a backslash in the package's path as an escape. The clone
// (cp -c, macOS) spares writing a large package twice where the volume allows
// it. GNU cp would clone too where it can (XFS, Btrfs), but Linux caches a
// clone's pages apart from its source's: the clone must first write the fresh
// download to disk and the digest then reads all of it back. Its copy goes
// through the page cache instead, where the digest finds it. Root's folder is
// removed in the background: freeing a large copy takes a quarter of a second
// per GiB on some file systems, which the application's relaunch need not wait
// for; with its output elsewhere, nothing waits for it.
//
// The updater looked for a running copy of the application before the password
// was asked for, and the prompt may have stayed open since: root looks again,
// last of all. Its list holds every process (root may inspect them all) as
// "<pid> <uid> <executable>": macOS's ps gives the executable's full path as
// comm; Linux's /proc/<pid>/exe belongs to the process's user and links to
// the executable, all of them read by one stat ("uid /proc/N/exe -> path").
// The user is the updater's as root sees it, taken from the updater's own
// line. The look is a function called inside $( ), so that its loops run in
// subshells whatever the shell. It exits with applicationRunsStatus (75).
const char script[] = R"sh(
d=$(/usr/bin/mktemp -d "$folder") || exit 1
trap '/bin/rm -rf "$d" < /dev/null > /dev/null 2>&1 &' EXIT
c="$d"/"$name"
refuse() { printf '%s\n' "$1" >&2; exit 1; }
check() {
    if [ -L "$1" ]; then refuse "$is_link"
    elif [ ! -f "$1" ]; then refuse "$not_regular"
    elif [ -z "$(/usr/bin/find "$1" -prune -size "$size"c)" ]; then refuse "$changed"
    fi
}
copy() { (ulimit -f $(( (size + 511) / 512 )) && exec /bin/cp "$@" "$p" "$c"); }
processes() {
    if [ "$listing" = ps ]; then
        /bin/ps -axww -o pid=,uid=,comm= 2>/dev/null
    else
        QUOTING_STYLE=literal /usr/bin/stat -c '%u %N' /proc/[0-9]*/exe 2>/dev/null | while read -r uid f to e; do
            n=${f#/proc/} && [ "$to" = "->" ] && printf '%s %s %s\n' "${n%/exe}" "$uid" "$e"
        done
    fi
}
inside() {
    l=$(processes)
    u=$(printf '%s\n' "$l" | while read -r pid uid e; do
        if [ "$pid" = "$updater" ]; then printf '%s' "$uid"; break; fi
    done)
    [ -n "$u" ] && printf '%s\n' "$l" | while read -r pid uid e; do
        if [ "$uid" = "$u" ] && [ "$pid" != "$updater" ]; then
            case "$e" in "$bundle"/?*) printf '%s\n' "$pid" ;; esac
        fi
    done
}
check "$p"
if [ "$clone" = yes ]; then
    copy -c -RP 2>/dev/null || copy -RP || exit 1
else
    copy --reflink=never -RP || exit 1
fi
check "$c"
h=$(/usr/bin/openssl dgst -sha256 < "$c") || exit 1
if [ "${h##* }" != "$sha256" ]; then refuse "$changed"; fi
if [ -n "$(inside)" ]; then printf '%s\n' "$running" >&2; exit 75; fi
/usr/sbin/installer -pkg "$c" -target "$target"
)sh";

QString shellCommand(const Package &package, const QString &target, const Application &application, Flavour flavour)
{
    const bool macOS = flavour == Flavour::MacOS;
    // Root's folder is named in full, so that root's environment (TMPDIR)
    // plays no part.
    const std::pair<const char *, QString> values[] = {
        {"p", package.path},
        {"name", QFileInfo(package.path).fileName()},
        {"size", QString::number(package.size)},
        {"sha256", QString::fromLatin1(package.sha256.toHex())},
        {"target", target},
        {"folder", macOS ? QStringLiteral("/private/tmp/tarnwick.XXXXXXXX") : QStringLiteral("/tmp/tarnwick.XXXXXXXX")},
        {"clone", macOS ? QStringLiteral("yes") : QStringLiteral("no")},
        {"bundle", application.bundlePath},
        {"updater", QString::number(application.updaterProcess)},
        {"listing", macOS ? QStringLiteral("ps") : QStringLiteral("proc")},
        {"is_link", packageIsLink(package.path)},
        {"not_regular", packageIsNotRegular(package.path)},
        {"changed", QLatin1String(packageChanged)},
        {"running", QLatin1String(applicationRuns)},
    };
    QStringList assignments;
    for (const auto &[name, value] : values)
        assignments << QLatin1String(name) + QLatin1String("='") + escapedForSingleQuotes(value) + QLatin1Char('\'');
    return assignments.join(QLatin1Char('\n')) + QLatin1String(script);
}

QString appleScriptSource(const QString &shellCommand)
{
    return QLatin1String("do shell script \"") + escapedForAppleScriptString(shellCommand) +
           QLatin1String("\" with administrator privileges");
}

bool makeCommand(const Package &package, const QString &target, const Application &application,
                 NativePlatform::PrivilegedCommand &command, QString &error, Flavour flavour)
{
    if (containsControlCharacter(package.path)) {
        error = QStringLiteral("The package path \"%1\" contains a control character; it was not installed.")
                    .arg(withVisibleControlCharacters(package.path));
        return false;
    }
    if (containsControlCharacter(target)) {
        error = QStringLiteral("The installation target \"%1\" contains a control character; nothing was installed.")
                    .arg(withVisibleControlCharacters(target));
        return false;
    }
    if (containsControlCharacter(application.bundlePath)) {
        error = QStringLiteral("The application path \"%1\" contains a control character; nothing was installed.")
                    .arg(withVisibleControlCharacters(application.bundlePath));
        return false;
    }
    // Root would have nothing to hold its copy to.
    if (package.sha256.size() != 32) {
        error = QStringLiteral("The SHA-256 digest of the package %1 could not be computed; it was not installed.")
                    .arg(package.path);
        return false;
    }
    const QString shell = shellCommand(package, target, application, flavour);
    command.appleScriptSource = utf8(appleScriptSource(shell));
    command.shellCommand = utf8(shell);
    return true;
}

Result interpretOutcome(const NativePlatform::ScriptOutcome &outcome, QString &error)
{
    if (outcome.succeeded)
        return Result::Installed;
    // Status and message together: the installer, also run by root, might end
    // with either alone.
    if (outcome.errorNumber == applicationRunsStatus && outcome.errorMessage &&
        utf8(*outcome.errorMessage).trimmed() == QLatin1String(applicationRuns))
        return Result::ApplicationRuns;
    if (outcome.errorNumber == NativePlatform::userCancelled)
        error = QStringLiteral("The administrator password is required to do this.");
    else if (outcome.errorMessage)
        error = utf8(*outcome.errorMessage);
    else
        error.clear();
    return Result::Failed;
}

} // namespace InstallCommand
