#include "InstallCommand.h"

#include <QtTest>

#include <QProcess>

#include <optional>

namespace {

const QString installer = QStringLiteral("/usr/sbin/installer");
const QString scriptHead = QStringLiteral("do shell script \"");
const QString scriptTail = QStringLiteral("\" with administrator privileges");

// The text of an AppleScript string literal, read the way AppleScript reads
// it; nullopt for a literal that ends early or escapes something else.
std::optional<QString> readAppleScriptString(const QString &body)
{
    QString text;
    for (int i = 0; i < body.size(); ++i) {
        const QChar c = body.at(i);
        if (c == QLatin1Char('"'))
            return std::nullopt;
        if (c == QLatin1Char('\\')) {
            if (++i == body.size())
                return std::nullopt;
            const QChar escaped = body.at(i);
            if (escaped != QLatin1Char('\\') && escaped != QLatin1Char('"'))
                return std::nullopt;
            text += escaped;
            continue;
        }
        text += c;
    }
    return text;
}

// The words a POSIX shell makes of `command` after the program name, each a
// separate argument of printf, which writes them back NUL-terminated.
QStringList shellWords(const QString &command, QString &failure)
{
    if (!command.startsWith(installer + QLatin1Char(' '))) {
        failure = QStringLiteral("command does not start with the installer: ") + command;
        return {};
    }
    QProcess shell;
    shell.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), QStringLiteral("printf '%s\\000'") + command.mid(installer.size())});
    if (!shell.waitForFinished(30000) || shell.exitCode() != 0) {
        failure = QStringLiteral("the shell failed: ") + QString::fromUtf8(shell.readAllStandardError());
        return {};
    }
    QStringList words;
    const QList<QByteArray> parts = shell.readAllStandardOutput().split('\0');
    for (int i = 0; i + 1 < parts.size(); ++i)
        words << QString::fromUtf8(parts[i]);
    return words;
}

} // namespace

class tst_InstallCommand : public QObject
{
    Q_OBJECT

private slots:
    void scriptTemplate();
    void exactTexts_data();
    void exactTexts();
    void quoting_data();
    void quoting();
    void controlCharacters_data();
    void controlCharacters();
    void interpretOutcome_data();
    void interpretOutcome();
};

void tst_InstallCommand::scriptTemplate()
{
    const QString text = QString::fromLatin1(InstallCommand::scriptTemplate);
    QCOMPARE(text.size(), 90);
    QCOMPARE(text, scriptHead + QStringLiteral("/usr/sbin/installer -pkg '%@' -target '%@'") + scriptTail);
}

void tst_InstallCommand::exactTexts_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("shell");
    QTest::addColumn<QString>("script");

    QTest::newRow("plain") << "/dir/Update.pkg"
                           << "/"
                           << "/usr/sbin/installer -pkg '/dir/Update.pkg' -target '/'"
                           << "do shell script \"/usr/sbin/installer -pkg '/dir/Update.pkg' -target '/'\" with "
                              "administrator privileges";
    QTest::newRow("spaces") << "/Users/Jo Doe/My Apps/Update 2.pkg"
                            << "/Volumes/Macintosh HD/"
                            << "/usr/sbin/installer -pkg '/Users/Jo Doe/My Apps/Update 2.pkg' -target "
                               "'/Volumes/Macintosh HD/'"
                            << "do shell script \"/usr/sbin/installer -pkg '/Users/Jo Doe/My Apps/Update 2.pkg' "
                               "-target '/Volumes/Macintosh HD/'\" with administrator privileges";
    QTest::newRow("format-signs") << "/tmp/%@ %1 %s.pkg"
                                  << "/%@/"
                                  << "/usr/sbin/installer -pkg '/tmp/%@ %1 %s.pkg' -target '/%@/'"
                                  << "do shell script \"/usr/sbin/installer -pkg '/tmp/%@ %1 %s.pkg' -target '/%@/'\" "
                                     "with administrator privileges";
    QTest::newRow("non-ascii") << QString::fromUtf8("/tmp/Ünïcødé 更新.pkg") << QString::fromUtf8("/Volumes/Données/")
                               << QString::fromUtf8("/usr/sbin/installer -pkg '/tmp/Ünïcødé 更新.pkg' -target "
                                                    "'/Volumes/Données/'")
                               << QString::fromUtf8("do shell script \"/usr/sbin/installer -pkg '/tmp/Ünïcødé "
                                                    "更新.pkg' -target '/Volumes/Données/'\" with administrator "
                                                    "privileges");
    QTest::newRow("single-quote") << "/tmp/it's.pkg"
                                  << "/"
                                  << "/usr/sbin/installer -pkg '/tmp/it'\\''s.pkg' -target '/'"
                                  << "do shell script \"/usr/sbin/installer -pkg '/tmp/it'\\\\''s.pkg' -target '/'\" "
                                     "with administrator privileges";
    QTest::newRow("quotes-and-backslash") << "/tmp/it's \"q\" \\ x.pkg"
                                          << "/"
                                          << "/usr/sbin/installer -pkg '/tmp/it'\\''s \"q\" \\ x.pkg' -target '/'"
                                          << "do shell script \"/usr/sbin/installer -pkg '/tmp/it'\\\\''s \\\"q\\\" "
                                             "\\\\ x.pkg' -target '/'\" with administrator privileges";
    QTest::newRow("quoted-target") << "/dir/Update.pkg"
                                   << "/Volumes/Jo's \"Disk\"/"
                                   << "/usr/sbin/installer -pkg '/dir/Update.pkg' -target '/Volumes/Jo'\\''s \"Disk\"/'"
                                   << "do shell script \"/usr/sbin/installer -pkg '/dir/Update.pkg' -target "
                                      "'/Volumes/Jo'\\\\''s \\\"Disk\\\"/'\" with administrator privileges";
}

void tst_InstallCommand::exactTexts()
{
    QFETCH(QString, package);
    QFETCH(QString, target);
    QFETCH(QString, shell);
    QFETCH(QString, script);

    QCOMPARE(InstallCommand::shellCommand(package, target), shell);
    QCOMPARE(InstallCommand::appleScriptSource(package, target), script);

    NativePlatform::PrivilegedCommand command;
    QString error;
    QVERIFY(InstallCommand::makeCommand(package, target, command, error));
    QVERIFY(error.isEmpty());
    QCOMPARE(QString::fromStdString(command.shellCommand), shell);
    QCOMPARE(QString::fromStdString(command.appleScriptSource), script);

    // Paths without quotes or backslashes go into the template unchanged.
    const QRegularExpression special(QStringLiteral("['\"\\\\]"));
    if (!package.contains(special) && !target.contains(special))
        QCOMPARE(script.size(), 90 - 4 + package.size() + target.size());
}

void tst_InstallCommand::quoting_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("target");

    QTest::newRow("plain") << "/dir/Update.pkg"
                           << "/";
    QTest::newRow("quotes-and-backslash") << "/tmp/it's \"q\" \\ x.pkg"
                                          << "/";
    QTest::newRow("command-substitution") << "/tmp/$(touch pwned).pkg"
                                          << "/";
    QTest::newRow("backticks") << "/tmp/`touch pwned`.pkg"
                               << "/";
    QTest::newRow("quote-breakout") << "/tmp/x'; touch pwned; echo '.pkg"
                                    << "/";
    QTest::newRow("escaped-quote-breakout") << "/tmp/x\\'; touch pwned; '.pkg"
                                            << "/";
    QTest::newRow("applescript-breakout") << "/tmp/x\" & (do shell script \"touch pwned\") & \".pkg"
                                          << "/";
    QTest::newRow("trailing-backslash") << "/tmp/x.pkg\\"
                                        << "/\\";
    QTest::newRow("only-quotes") << "''"
                                 << "\"\"";
    QTest::newRow("variables-and-globs") << "/tmp/$HOME ${PATH} * ?.pkg"
                                         << "/~/";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("target-injection") << "/dir/Update.pkg"
                                      << "/'$(touch pwned)'";
    QTest::newRow("dash-first") << "-pkg"
                                << "-target";
}

// The shell reads each path back as exactly one argument, and AppleScript
// reads back exactly the shell command.
void tst_InstallCommand::quoting()
{
    QFETCH(QString, package);
    QFETCH(QString, target);

    const QString shell = InstallCommand::shellCommand(package, target);
    QString failure;
    const QStringList words = shellWords(shell, failure);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QCOMPARE(words, (QStringList{"-pkg", package, "-target", target}));

    const QString script = InstallCommand::appleScriptSource(package, target);
    QVERIFY(script.startsWith(scriptHead));
    QVERIFY(script.endsWith(scriptTail));
    const std::optional<QString> literal =
        readAppleScriptString(script.mid(scriptHead.size(), script.size() - scriptHead.size() - scriptTail.size()));
    QVERIFY2(literal, qPrintable(script));
    QCOMPARE(*literal, shell);
}

void tst_InstallCommand::controlCharacters_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("error");

    const QString packageRefused =
        QStringLiteral("The package path \"%1\" contains a control character; it was not installed.");
    const QString targetRefused =
        QStringLiteral("The installation target \"%1\" contains a control character; nothing was installed.");

    QTest::newRow("line-feed") << "/tmp/a\nb.pkg"
                               << "/" << packageRefused.arg("/tmp/a\\nb.pkg");
    QTest::newRow("carriage-return") << "/tmp/a\rb.pkg"
                                     << "/" << packageRefused.arg("/tmp/a\\rb.pkg");
    QTest::newRow("nul") << QString("/tmp/a") + QChar(0) + "b.pkg"
                         << "/" << packageRefused.arg("/tmp/a\\x00b.pkg");
    QTest::newRow("unit-separator") << QString("/tmp/a") + QChar(0x1f) + "b.pkg"
                                    << "/" << packageRefused.arg("/tmp/a\\x1fb.pkg");
    QTest::newRow("delete") << QString("/tmp/a") + QChar(0x7f) + "b.pkg"
                            << "/" << packageRefused.arg("/tmp/a\\x7fb.pkg");
    QTest::newRow("escape") << QString("/tmp/") + QChar(0x1b) + "[31m.pkg"
                            << "/" << packageRefused.arg("/tmp/\\x1b[31m.pkg");
    QTest::newRow("tab-in-target") << "/dir/Update.pkg"
                                   << "/Volumes/A\tB/" << targetRefused.arg("/Volumes/A\\tB/");
    QTest::newRow("both-package-first") << "/tmp/\x01.pkg"
                                        << "/\x02" << packageRefused.arg("/tmp/\\x01.pkg");
    // Allowed: the edges just outside the range.
    QTest::newRow("space") << "/tmp/a b.pkg"
                           << "/" << QString();
    QTest::newRow("tilde") << "/tmp/a~b.pkg"
                           << "/" << QString();
    QTest::newRow("c1-next-line") << QString("/tmp/a") + QChar(0x85) + "b.pkg"
                                  << "/" << QString();
    QTest::newRow("no-break-space") << QString("/tmp/a") + QChar(0xa0) + "b.pkg"
                                    << "/" << QString();
}

void tst_InstallCommand::controlCharacters()
{
    QFETCH(QString, package);
    QFETCH(QString, target);
    QFETCH(QString, error);

    const bool refused = !error.isEmpty();
    QCOMPARE(InstallCommand::containsControlCharacter(package) || InstallCommand::containsControlCharacter(target),
             refused);

    NativePlatform::PrivilegedCommand command{"untouched script", "untouched shell"};
    QString message;
    QCOMPARE(InstallCommand::makeCommand(package, target, command, message), !refused);
    QCOMPARE(message, error);
    if (refused) {
        QCOMPARE(command.appleScriptSource, std::string("untouched script"));
        QCOMPARE(command.shellCommand, std::string("untouched shell"));
    } else {
        QCOMPARE(QString::fromStdString(command.shellCommand), InstallCommand::shellCommand(package, target));
    }
}

void tst_InstallCommand::interpretOutcome_data()
{
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<bool>("hasNumber");
    QTest::addColumn<int>("number");
    // A null array stands for no message at all.
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("errorBefore");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("errorAfter");

    const QString password = QStringLiteral("The administrator password is required to do this.");

    QTest::newRow("success") << true << false << 0 << QByteArray() << QString() << true << QString();
    QTest::newRow("success-leaves-error") << true << false << 0 << QByteArray() << "earlier" << true << "earlier";
    QTest::newRow("success-ignores-info")
        << true << true << -128 << QByteArray("User canceled.") << QString() << true << QString();
    QTest::newRow("cancelled") << false << true << -128 << QByteArray("User canceled.") << QString() << false
                               << password;
    QTest::newRow("cancelled-without-message")
        << false << true << -128 << QByteArray() << QString() << false << password;
    QTest::newRow("cancelled-other-message")
        << false << true << -128 << QByteArray("installer: failed") << QString() << false << password;
    QTest::newRow("number-and-message") << false << true << 1 << QByteArray("installer: The package is damaged.")
                                        << QString() << false << "installer: The package is damaged.";
    QTest::newRow("message-only") << false << false << 0 << QByteArray("sh: 1: /usr/sbin/installer: not found")
                                  << QString() << false << "sh: 1: /usr/sbin/installer: not found";
    QTest::newRow("utf8-message") << false << true << 1
                                  << QByteArray("Paket besch\xc3\xa4"
                                                "digt \xe2\x80\x94 \xe6\x9b\xb4")
                                  << QString() << false << QString::fromUtf8("Paket beschädigt — 更");
    QTest::newRow("number-only") << false << true << 5 << QByteArray() << QString() << false << QString();
    QTest::newRow("plus-128") << false << true << 128 << QByteArray() << QString() << false << QString();
    QTest::newRow("nothing") << false << false << 0 << QByteArray() << QString() << false << QString();
    QTest::newRow("empty-message") << false << true << 1 << QByteArray("") << QString() << false << QString();
    QTest::newRow("stale-error-replaced") << false << false << 0 << QByteArray() << "stale" << false << QString();
}

void tst_InstallCommand::interpretOutcome()
{
    QFETCH(bool, succeeded);
    QFETCH(bool, hasNumber);
    QFETCH(int, number);
    QFETCH(QByteArray, message);
    QFETCH(QString, errorBefore);
    QFETCH(bool, result);
    QFETCH(QString, errorAfter);

    NativePlatform::ScriptOutcome outcome;
    outcome.succeeded = succeeded;
    if (hasNumber)
        outcome.errorNumber = number;
    if (!message.isNull())
        outcome.errorMessage = message.toStdString();

    QString error = errorBefore;
    QCOMPARE(InstallCommand::interpretOutcome(outcome, error), result);
    QCOMPARE(error, errorAfter);
}

QTEST_GUILESS_MAIN(tst_InstallCommand)
#include "tst_InstallCommand.moc"
