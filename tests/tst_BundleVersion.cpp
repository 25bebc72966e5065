#include "BundleVersion.h"

#include <QtTest>

// The version rule of a signed update: the package must install this application, in a newer version.
class tst_BundleVersion : public QObject
{
    Q_OBJECT

private slots:
    void permitsUpdate_data()
    {
        QTest::addColumn<QString>("installed");    // com.example.Example's CFBundleVersion
        QTest::addColumn<QStringList>("packaged"); // "identifier version" of each bundle of the package
        QTest::addColumn<QString>("error");        // empty: permitted

        const QString example = "com.example.Example ";
        const auto row = [&](const char *tag, const QString &installed, const QStringList &packaged,
                             const QString &error = {}) { QTest::newRow(tag) << installed << packaged << error; };
        const auto notNewer = [](const QString &packaged, const QString &installed) {
            return "Update.pkg would install com.example.Example " + packaged +
                   ", which is not newer than the installed " + installed + ".";
        };
        const QString notAVersion = ", which is not a version of one to three numbers such as 42 or 1.2.3.";
        row("newer", "42", {example + "43"});
        row("newer-by-its-minor", "1.2", {example + "1.10"});
        row("newer-by-its-third", "1.2.9", {example + "1.2.10"});
        row("longer-than-64-bits", "99999999999999999999", {example + "100000000000000000000"});
        row("nested-helper-beside", "42", {example + "43", "com.example.Helper 1"});
        row("equal", "42", {example + "42"}, notNewer("42", "42"));
        row("equal-with-missing-zero", "1.2.0", {example + "1.2"}, notNewer("1.2", "1.2.0"));
        row("equal-with-leading-zero", "1.2", {example + "01.02"}, notNewer("01.02", "1.2"));
        row("older", "42", {example + "41"}, notNewer("41", "42"));
        row("older-by-its-minor", "1.10", {example + "1.9"}, notNewer("1.9", "1.10"));
        // Every bundle of the application's identifier must be newer.
        row("one-older-one-newer", "42", {example + "43", example + "41"}, notNewer("41", "42"));
        // Not of Apple's form, on either side.
        for (const char *version : {"1.0b2", "1.2.0.1", "43..1", "43 ", "-43", ""}) {
            const QString shown = QStringLiteral("\"%1\"").arg(version) + notAVersion;
            row(QByteArray("packaged-").append(version).constData(), "42", {example + version},
                "Update.pkg would install com.example.Example " + shown);
            row(QByteArray("installed-").append(version).constData(), version, {example + "43"},
                "The installed com.example.Example has the version " + shown);
        }
        // Each named once, three at most.
        row("other-application", "42",
            {"com.example.Other 43", "com.example.Other 44", "com.example.Other2 1", "com.example.Other3 1",
             "com.example.Other4 1"},
            "Update.pkg does not update com.example.Example: it installs com.example.Other, com.example.Other2, "
            "com.example.Other3.");
        row("identifier-case", "42", {"com.example.example 43"},
            "Update.pkg does not update com.example.Example: it installs com.example.example.");
    }

    void permitsUpdate()
    {
        QFETCH(QString, installed);
        QFETCH(QStringList, packaged);
        QFETCH(QString, error);

        QList<BundleIdentity> bundles;
        for (const QString &bundle : std::as_const(packaged)) {
            const int space = bundle.indexOf(' ');
            bundles.append({bundle.left(space), bundle.mid(space + 1)});
        }
        QString given = QStringLiteral("untouched");
        QCOMPARE(::permitsUpdate("Update.pkg", bundles, {"com.example.Example", installed}, given), error.isEmpty());
        QCOMPARE(given, error.isEmpty() ? QStringLiteral("untouched") : error);
    }
};

QTEST_GUILESS_MAIN(tst_BundleVersion)
#include "tst_BundleVersion.moc"
