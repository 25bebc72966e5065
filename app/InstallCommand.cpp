#include "InstallCommand.h"

#include "VisibleText.h"

#include <QByteArray>
#include <QFileInfo>

namespace {

// AppleScript's "User canceled." error number.
constexpr int userCancelled = -128;

// Root's own folder is made in the sticky system temporary folder, named
// here in full so that root's environment (TMPDIR) plays no part.
#if defined(Q_OS_MACOS)
constexpr char privateFolderTemplate[] = "/private/tmp/tarnwick.XXXXXXXX";
// An APFS clone where the volume allows it, so that a large package is not
// written twice; a copy where it does not.
constexpr char copyCommand[] = "{ /bin/cp -c -RP \"$p\" \"$c\" 2>/dev/null || /bin/cp -RP \"$p\" \"$c\"; }";
#else
constexpr char privateFolderTemplate[] = "/tmp/tarnwick.XXXXXXXX";
constexpr char copyCommand[] = "/bin/cp -RP \"$p\" \"$c\"";
#endif

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
        if (c == QLatin1Char('\\') || c == QLatin1Char('"'))
            escaped += QLatin1Char('\\');
        escaped += c;
    }
    return escaped;
}

QString shellCommand(const Package &package, const QString &target)
{
    const auto quoted = [](const QString &text) {
        return QLatin1Char('\'') + escapedForSingleQuotes(text) + QLatin1Char('\'');
    };
    const QString name = QFileInfo(package.path).fileName();
    // "-P": a link is copied as a link, "-R": a FIFO or device as a new one,
    // never read. The copy is tested, as the package may change between the
    // tests before the copy and the copy itself; find tests the size without
    // reading the file. OpenSSL prints "...= <hex digest>".
    return QLatin1String("d=$(/usr/bin/mktemp -d ") + QLatin1String(privateFolderTemplate) +
           QLatin1String(") || exit 1; trap '/bin/rm -rf \"$d\"' EXIT; p=") + quoted(package.path) +
           QLatin1String("; c=\"$d\"/") + quoted(name) +
           QLatin1String("; refuse() { echo \"$1\" >&2; exit 1; }; check() { if [ -L \"$1\" ]; then refuse ") +
           quoted(packageIsLink(package.path)) + QLatin1String("; elif [ ! -f \"$1\" ]; then refuse ") +
           quoted(packageIsNotRegular(package.path)) +
           QLatin1String("; elif [ -z \"$(/usr/bin/find \"$1\" -prune -size ") + QString::number(package.size) +
           QLatin1String("c)\" ]; then refuse ") + quoted(QLatin1String(packageChanged)) +
           QLatin1String("; fi; }; check \"$p\"; ") + QLatin1String(copyCommand) +
           QLatin1String(" || exit 1; check \"$c\"; h=$(/usr/bin/openssl dgst -sha256 < \"$c\") || exit 1; if [ "
                         "\"${h##* }\" != ") +
           quoted(QString::fromLatin1(package.sha256.toHex())) + QLatin1String(" ]; then refuse ") +
           quoted(QLatin1String(packageChanged)) + QLatin1String("; fi; /usr/sbin/installer -pkg \"$c\" -target ") +
           quoted(target);
}

QString appleScriptSource(const QString &shellCommand)
{
    return QLatin1String("do shell script \"") + escapedForAppleScriptString(shellCommand) +
           QLatin1String("\" with administrator privileges");
}

bool makeCommand(const Package &package, const QString &target, NativePlatform::PrivilegedCommand &command,
                 QString &error)
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
    // Root would have nothing to hold its copy to.
    if (package.sha256.size() != 32) {
        error = QStringLiteral("The SHA-256 digest of the package %1 could not be computed; it was not installed.")
                    .arg(package.path);
        return false;
    }
    const QString shell = shellCommand(package, target);
    command.appleScriptSource = utf8(appleScriptSource(shell));
    command.shellCommand = utf8(shell);
    return true;
}

bool interpretOutcome(const NativePlatform::ScriptOutcome &outcome, QString &error)
{
    if (outcome.succeeded)
        return true;
    if (outcome.errorNumber == userCancelled)
        error = QStringLiteral("The administrator password is required to do this.");
    else if (outcome.errorMessage)
        error = utf8(*outcome.errorMessage);
    else
        error.clear();
    return false;
}

} // namespace InstallCommand
