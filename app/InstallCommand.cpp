#include "InstallCommand.h"

#include "VisibleText.h"

#include <QByteArray>
#include <QFileInfo>

namespace {

// AppleScript's "User canceled." error number.
constexpr int userCancelled = -128;

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

QString shellCommand(const QString &packagePath, const QString &target, const QByteArray &sha256)
{
    // The package waits in a folder its user can write, while the password is
    // asked for and the installer runs. Root therefore installs a copy of its
    // own, in a folder only root can enter (mktemp -d: mode 0700), and only if
    // that copy's digest is the one the updater took of the bytes it wrote.
    // System tools only, by absolute path. OpenSSL prints "...= <hex digest>".
    const QString name =
        QLatin1Char('\'') + escapedForSingleQuotes(QFileInfo(packagePath).fileName()) + QLatin1Char('\'');
    return QLatin1String("d=$(/usr/bin/mktemp -d) || exit 1; trap '/bin/rm -rf \"$d\"' EXIT; /bin/cp -- '") +
           escapedForSingleQuotes(packagePath) + QLatin1String("' \"$d\"/") + name +
           QLatin1String(" && h=$(/usr/bin/openssl dgst -sha256 < \"$d\"/") + name +
           QLatin1String(") || exit 1; if [ \"${h##* }\" != '") + QString::fromLatin1(sha256.toHex()) +
           QLatin1String("' ]; then echo '") + QLatin1String(packageChanged) +
           QLatin1String("' >&2; exit 1; fi; /usr/sbin/installer -pkg \"$d\"/") + name + QLatin1String(" -target '") +
           escapedForSingleQuotes(target) + QLatin1Char('\'');
}

QString appleScriptSource(const QString &shellCommand)
{
    return QLatin1String("do shell script \"") + escapedForAppleScriptString(shellCommand) +
           QLatin1String("\" with administrator privileges");
}

bool makeCommand(const QString &packagePath, const QString &target, const QByteArray &sha256,
                 NativePlatform::PrivilegedCommand &command, QString &error)
{
    if (containsControlCharacter(packagePath)) {
        error = QStringLiteral("The package path \"%1\" contains a control character; it was not installed.")
                    .arg(withVisibleControlCharacters(packagePath));
        return false;
    }
    if (containsControlCharacter(target)) {
        error = QStringLiteral("The installation target \"%1\" contains a control character; nothing was installed.")
                    .arg(withVisibleControlCharacters(target));
        return false;
    }
    const QString shell = shellCommand(packagePath, target, sha256);
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
