#include "InstallCommand.h"

#include <QtTest>

class tst_InstallCommand : public QObject
{
    Q_OBJECT

private slots:
    void command_data();
    void command();
    void outcome_data();
    void outcome();
};

void tst_InstallCommand::command_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("expected"); // the AppleScript source, or the refusal

    QTest::newRow("plain") << "/d/Update.pkg"
                           << "/"
                           << "do shell script \"/usr/sbin/installer -pkg '/d/Update.pkg' -target '/'\" with "
                              "administrator privileges";
    QTest::newRow("quotes-backslash-format") << "/t/it's \"q\" \\ %@.pkg"
                                             << "/V/Jo's/"
                                             << "do shell script \"/usr/sbin/installer -pkg '/t/it'\\\\''s \\\"q\\\" "
                                                "\\\\ %@.pkg' -target '/V/Jo'\\\\''s/'\" with administrator privileges";
    QTest::newRow("non-ascii") << QString::fromUtf8("/t/Été 更新.pkg") << "/"
                               << QString::fromUtf8("do shell script \"/usr/sbin/installer -pkg '/t/Été 更新.pkg' "
                                                    "-target '/'\" with administrator privileges");
    QTest::newRow("line-feed") << "/t/a\nb.pkg"
                               << "/"
                               << "The package path \"/t/a\\nb.pkg\" contains a control character; it was not "
                                  "installed.";
    QTest::newRow("delete-and-cr") << QString("/t/\x7f\r") << "/"
                                   << "The package path \"/t/\\x7f\\r\" contains a control character; it was not "
                                      "installed.";
    QTest::newRow("unit-separator-in-target")
        << "/d/Update.pkg" << QString("/V/\x1f\t/")
        << "The installation target \"/V/\\x1f\\t/\" contains a control character; nothing was installed.";
    QTest::newRow("c1-is-not-control") << QString::fromUtf8("/t/\u0085 .pkg") << "/"
                                       << QString::fromUtf8("do shell script \"/usr/sbin/installer -pkg '/t/\u0085 "
                                                            ".pkg' -target '/'\" with administrator privileges");
}

// The shell form is checked by running it: see the end-to-end paths.
void tst_InstallCommand::command()
{
    QFETCH(QString, package);
    QFETCH(QString, target);
    QFETCH(QString, expected);

    NativePlatform::PrivilegedCommand command{"untouched", "untouched"};
    QString error;
    const bool made = InstallCommand::makeCommand(package, target, command, error);
    QCOMPARE(made ? QString::fromStdString(command.appleScriptSource) : error, expected);
    QCOMPARE(command.shellCommand == "untouched", !made);
}

void tst_InstallCommand::outcome_data()
{
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<int>("number");         // 0: none
    QTest::addColumn<QByteArray>("message"); // null: none
    QTest::addColumn<QString>("error");      // null: success, error untouched

    QTest::newRow("success") << true << 1 << QByteArray("ignored") << QString();
    QTest::newRow("cancelled") << false << -128 << QByteArray("User canceled.")
                               << "The administrator password is required to do this.";
    QTest::newRow("message") << false << 1 << QByteArray("installer: damaged \xc3\xa9")
                             << QString::fromUtf8("installer: damaged é");
    QTest::newRow("nothing") << false << 128 << QByteArray() << "";
}

void tst_InstallCommand::outcome()
{
    QFETCH(bool, succeeded);
    QFETCH(int, number);
    QFETCH(QByteArray, message);
    QFETCH(QString, error);

    NativePlatform::ScriptOutcome outcome;
    outcome.succeeded = succeeded;
    if (number != 0)
        outcome.errorNumber = number;
    if (!message.isNull())
        outcome.errorMessage = message.toStdString();
    QString text = QStringLiteral("before");
    QCOMPARE(InstallCommand::interpretOutcome(outcome, text), error.isNull());
    QCOMPARE(text, error.isNull() ? QStringLiteral("before") : error);
}

QTEST_GUILESS_MAIN(tst_InstallCommand)
#include "tst_InstallCommand.moc"
