#include "InstallCommand.h"

#include <QStringList>

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

bool isControlCharacter(QChar c)
{
    return c.unicode() < 0x20 || c.unicode() == 0x7f;
}

// The path with its control characters spelled out, so that a message can
// show it on one line.
QString visiblePath(const QString &path)
{
    QString visible;
    for (const QChar c : path) {
        if (c == QLatin1Char('\n'))
            visible += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            visible += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            visible += QLatin1String("\\t");
        else if (isControlCharacter(c))
            visible += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            visible += c;
    }
    return visible;
}

} // namespace

namespace InstallCommand {

const char scriptTemplate[] =
    "do shell script \"/usr/sbin/installer -pkg '%@' -target '%@'\" with administrator privileges";
static_assert(sizeof(scriptTemplate) - 1 == 90, "the script template is 90 characters long");

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

QString shellCommand(const QString &packagePath, const QString &target)
{
    return QLatin1String("/usr/sbin/installer -pkg '") + escapedForSingleQuotes(packagePath) +
           QLatin1String("' -target '") + escapedForSingleQuotes(target) + QLatin1String("'");
}

QString appleScriptSource(const QString &packagePath, const QString &target)
{
    // Split rather than substitute in turn, so that a "%@" inside the package
    // path is not taken for the second place.
    const QStringList pieces = QString::fromLatin1(scriptTemplate).split(QLatin1String("%@"));
    Q_ASSERT(pieces.size() == 3);
    return pieces.at(0) + escapedForAppleScriptString(escapedForSingleQuotes(packagePath)) + pieces.at(1) +
           escapedForAppleScriptString(escapedForSingleQuotes(target)) + pieces.at(2);
}

bool containsControlCharacter(const QString &path)
{
    for (const QChar c : path)
        if (isControlCharacter(c))
            return true;
    return false;
}

bool makeCommand(const QString &packagePath, const QString &target, NativePlatform::PrivilegedCommand &command,
                 QString &error)
{
    if (containsControlCharacter(packagePath)) {
        error = QStringLiteral("The package path \"%1\" contains a control character; it was not installed.")
                    .arg(visiblePath(packagePath));
        return false;
    }
    if (containsControlCharacter(target)) {
        error = QStringLiteral("The installation target \"%1\" contains a control character; nothing was installed.")
                    .arg(visiblePath(target));
        return false;
    }
    command.appleScriptSource = utf8(appleScriptSource(packagePath, target));
    command.shellCommand = utf8(shellCommand(packagePath, target));
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
