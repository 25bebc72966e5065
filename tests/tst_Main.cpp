#include <QtTest>

#include <QProcess>

// The real executable, started as a person's shell would start it.
class tst_Main : public QObject
{
    Q_OBJECT

private slots:
    void wrongArgumentCount_data();
    void wrongArgumentCount();
};

void tst_Main::wrongArgumentCount_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("none") << QStringList();
    QTest::newRow("one") << QStringList{"/Applications/Example.app"};
    QTest::newRow("three") << QStringList{"/Applications/Example.app", "http://127.0.0.1:9/Update.zip", "extra"};
    QTest::newRow("three-empty") << QStringList{"", "", ""};
}

void tst_Main::wrongArgumentCount()
{
    QFETCH(QStringList, arguments);

    QProcess process;
    // A display is offered: a window would appear if the count check came late.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(TARNWICK_BINARY), arguments);
    QVERIFY2(process.waitForFinished(30000), qPrintable(process.errorString()));

    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 255);
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    QCOMPARE(process.readAllStandardError(), QByteArray());
}

QTEST_GUILESS_MAIN(tst_Main)
#include "tst_Main.moc"
