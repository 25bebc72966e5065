#include "AppleRootCertificate.h"
#include "PackageSignatureCheck.h"
#include "PackageSigner.h"

#include <QtTest>

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QScopeGuard>

#include <thread>

namespace {

const QString packageName = QStringLiteral("Example.pkg");
const QString vendorTeam = QStringLiteral("T4SK8ZXCXG"); // the real packages' signer

QDateTime utc(int year, int month = 1, int day = 1)
{
    return QDateTime(QDate(year, month, day), QTime(0, 0), Qt::UTC);
}

QByteArray fixture(const QString &name)
{
    QFile file(QStringLiteral(TARNWICK_TEST_DATA "/packages/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray flipped(QByteArray data, int at)
{
    data[at] = char(data.at(at) ^ 1);
    return data;
}

// data with the big-endian number of `size` bytes at `at` replaced.
QByteArray withNumber(QByteArray data, int at, int size, quint64 number)
{
    for (int i = size - 1; i >= 0; --i, number >>= 8)
        data[at + i] = char(number & 0xff);
    return data;
}

// input in chunks of `length` bytes; with `random`, of random lengths up to `length`, empty ones among them.
QList<QByteArray> chunked(const QByteArray &input, int length, QRandomGenerator *random = nullptr)
{
    QList<QByteArray> chunks;
    for (int at = 0; at < input.size(); at += chunks.last().size())
        chunks.append(input.mid(at, random ? random->bounded(length + 1) : length));
    return chunks;
}

const TestPki &pki()
{
    static const TestPki made;
    return made;
}

} // namespace

// The real packages in tests/data/packages, and packages signed here by a test authority shaped like Apple's,
// each checked whole, byte by byte and in random chunkings: the verdict may not depend on the chunks. The
// random ones come from a seed that changes with every run and is printed when a row fails;
// TARNWICK_SEED=<seed> repeats it.
class tst_PackageSignatureCheck : public QObject
{
    Q_OBJECT

private slots:
    void appleRoot()
    {
        QCOMPARE(QCryptographicHash::hash(appleRootCertificate(), QCryptographicHash::Sha256).toHex(),
                 QByteArray("b0b1730ecbc7ff4505142c49f1295e6eda6bcaed7e2c68c5be91b5a11001f024"));
    }

    void verdict_data()
    {
        QTest::addColumn<QByteArray>("package");
        QTest::addColumn<QString>("team");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QByteArray>("root");
        QTest::addColumn<QString>("error"); // empty: accepted

        const QByteArray apple = appleRootCertificate();
        const QByteArray testRoot = pki().rootDer();
        const QDateTime june2025 = utc(2025, 6);
        const auto refused = [](const QString &reason) { return packageName + ' ' + reason; };
        const auto real = [&](const char *tag, const QByteArray &package, const QString &error,
                              const QDateTime &now = utc(2025, 6), const QString &team = vendorTeam) {
            QTest::newRow(tag) << package << team << now << apple << (error.isEmpty() ? error : refused(error));
        };
        const QByteArray valid = fixture(QStringLiteral("valid.pkg"));
        real("valid-before-expiry", valid, "");
        real("valid-after-expiry-timestamped", valid, "", utc(2029));
        real("valid-other-team", valid, "is signed by the team T4SK8ZXCXG, not by A1B2C3D4E5.", june2025,
             TestPki::team);
        QTest::newRow("valid-under-test-root")
            << valid << vendorTeam << june2025 << testRoot << refused("is refused: its timestamp does not verify.");
        real("valid-cut-short", valid.chopped(1),
             "is not a complete installer package: it ends before the end of the data its table of contents lists.");
        real("valid-trailing-byte", valid + '\0',
             "is refused: bytes follow the last data its table of contents lists.");
        real("bad-signature", fixture(QStringLiteral("bad_signature.pkg")),
             "is refused: its signature does not verify.");
        real("bad-x-signature", fixture(QStringLiteral("bad_x_signature.pkg")),
             "is refused: its CMS signature does not verify.");
        real("bad-both", fixture(QStringLiteral("bad_both.pkg")), "is refused: its signature does not verify.");
        real("payload-xar-not-apple", fixture(QStringLiteral("payload.xar")),
             "is refused: its signing certificate \"Mikkel Krautz\" does not chain to \"Apple Root CA\" (unable to get "
             "local issuer certificate).");

        const QString vendor = QStringLiteral("Developer ID Installer: Test Vendor (A1B2C3D4E5)");
        const auto baseRecipe = [](const EVP_MD *digest) {
            PackageRecipe recipe;
            recipe.pki = &pki();
            recipe.digest = digest;
            recipe.signer = pki().installer;
            recipe.chain = {pki().developerIdCa, pki().root};
            return recipe;
        };
        for (const EVP_MD *digest : {EVP_sha1(), EVP_sha256()}) {
            const QByteArray suffix = digest == EVP_sha1() ? "-sha1" : "-sha256";
            const PackageRecipe base = baseRecipe(digest);
            const SignedPackage plain = signPackage(base);
            const int heap = plain.heap;
            const auto row = [&](const char *tag, const std::function<void(PackageRecipe &)> &change,
                                 const QString &error, const std::function<void(SignedPackage &)> &after = nullptr,
                                 const QByteArray &root = QByteArray()) {
                PackageRecipe recipe = base;
                if (change)
                    change(recipe);
                SignedPackage made = signPackage(recipe);
                if (after)
                    after(made);
                QTest::newRow(tag + suffix)
                    << made.bytes << QString(TestPki::team) << june2025 << (root.isEmpty() ? testRoot : root)
                    << (error.isEmpty() ? error : refused(error));
            };
            const auto toc = [](const QByteArray &from, const QByteArray &to, const QByteArray &from2 = "x!",
                                const QByteArray &to2 = "x!") {
                return [=](PackageRecipe &recipe) {
                    recipe.editToc = [=](QByteArray &xml) { xml.replace(from, to).replace(from2, to2); };
                };
            };
            const QByteArray style = suffix.mid(1);
            const QString number = QString::number(plain.signature); // the checksum's size
            const auto at = [](int offset) { return QString::number(offset); };

            row("signed", nullptr, "");
            row(
                "signed-without-cms", [](PackageRecipe &s) { s.cms = false; }, "");
            const QString tocChanged = "is refused: its table of contents does not match its checksum.";
            row(
                "toc-changed",
                [](PackageRecipe &s) { s.tamperToc = [](QByteArray &xml) { xml.replace("directory", "folder"); }; },
                tocChanged);
            row("checksum-changed", nullptr, tocChanged,
                [&](SignedPackage &p) { p.bytes = flipped(p.bytes, heap + p.checksum + 3); });
            row("signature-changed", nullptr, "is refused: its signature does not verify.",
                [&](SignedPackage &p) { p.bytes = flipped(p.bytes, heap + p.signature + 7); });
            row(
                "cms-over-other-bytes", [](PackageRecipe &s) { s.cmsContent = "other bytes"; },
                "is refused: its CMS signature does not verify.");
            row("payload-changed", nullptr,
                "is refused: its file \"Example.pkg/Payload\" does not match its archived checksum.",
                [&](SignedPackage &p) { p.bytes = flipped(p.bytes, heap + p.payload + 100); });
            row(
                "cms-by-other-leaf", [](PackageRecipe &s) { s.cmsSigner = pki().otherInstaller; },
                "is refused: its CMS signature is made with another certificate than its signature.");
            row(
                "application-certificate", [](PackageRecipe &s) { s.signer = pki().application; },
                "is refused: it is signed with \"Developer ID Application: Test Vendor (A1B2C3D4E5)\", which is not a "
                "Developer ID Installer certificate.");
            row(
                "leaf-is-ca", [](PackageRecipe &s) { s.signer = pki().caLeaf; },
                "is refused: it is signed with \"" + vendor + "\", which is not a Developer ID Installer certificate.");
            row(
                "team-in-ou-only-differs", [](PackageRecipe &s) { s.signer = pki().wrongTeam; },
                "is signed by the team ZZZZZZZZZZ, not by A1B2C3D4E5.");
            row(
                "not-developer-id-ca",
                [](PackageRecipe &s) {
                    s.signer = pki().underOtherCa;
                    s.chain = {pki().otherCa};
                },
                "is refused: its signing certificate \"" + vendor +
                    "\" is not issued by a Developer ID certification authority.");
            row(
                "unknown-critical-extension", [](PackageRecipe &s) { s.signer = pki().oddCritical; },
                "is refused: its signing certificate \"" + vendor +
                    "\" does not chain to \"Tarnwick Test Root CA\" (unhandled critical extension).");
            row("test-package-apple-root", nullptr,
                "is refused: its signing certificate \"" + vendor +
                    "\" does not chain to \"Apple Root CA\" (unable to get local issuer certificate).",
                nullptr, apple);
            const auto expired = [](std::optional<QDateTime> stamped) {
                return [=](PackageRecipe &s) {
                    s.signer = pki().expired;
                    if (stamped)
                        s.stampedAt = stamped->toSecsSinceEpoch();
                };
            };
            row("expired", expired(std::nullopt),
                "is refused: the certificate \"" + vendor +
                    "\" it is signed with is not valid at 2025-06-01T00:00:00Z (certificate has expired), and no "
                    "timestamp shows that it was when it was signed.");
            row("expired-timestamped-in-time", expired(utc(2020, 6)), "");
            row("expired-timestamped-late", expired(utc(2022)),
                "is refused: the certificate \"" + vendor +
                    "\" it is signed with was not valid at 2022-01-01T00:00:00Z, when its timestamp says it was signed "
                    "(certificate has expired).");
            row(
                "timestamp-by-untrusted-authority",
                [&](PackageRecipe &s) {
                    expired(utc(2020, 6))(s);
                    s.stamper = pki().rogueTimestamper;
                },
                "is refused: its timestamp does not verify.");
            row(
                "timestamp-of-other-bytes",
                [&](PackageRecipe &s) {
                    expired(utc(2020, 6))(s);
                    s.stampOtherBytes = true;
                },
                "is refused: its timestamp is not that of its CMS signature.");
            row(
                "unsigned", [](PackageRecipe &s) { s.signature = false; }, "is not signed.");
            row("toc-past-end", toc("<length>3000<", "<length>3100<"),
                "is not a complete installer package: it ends before the end of the data its table of contents lists.");
            row("trailing-bytes", nullptr, "is refused: bytes follow the last data its table of contents lists.",
                [](SignedPackage &p) { p.bytes += "x"; });
            row("two-checksums", toc("<signature ", "<checksum style=\"sha1\"/><signature "),
                "is not an installer package: its table of contents cannot be read (it lists two checksums, line 1).");
            row("two-signatures", toc("<x-signature ", "<signature style=\"RSA\"/><x-signature "),
                "is not an installer package: its table of contents cannot be read (it lists two signatures, line 1).");
            row("overlap",
                toc(">" + QByteArray::number(plain.distribution) + "<",
                    ">" + QByteArray::number(plain.distribution - 1) + "<"),
                "is refused: its table of contents lists overlapping data (at heap offset " +
                    at(plain.distribution - 1) + ").");
            row("gap",
                toc(">" + QByteArray::number(plain.payload) + "<", ">" + QByteArray::number(plain.payload + 1) + "<"),
                "is refused: its heap holds bytes its table of contents does not account for (at heap offset " +
                    at(plain.payload) + ").");
            row("file-md5", toc("<archived-checksum style=\"" + style + '"', "<archived-checksum style=\"md5\""),
                "is refused: its file \"Example.pkg/Payload\" is checked with \"md5\", which is not accepted (SHA-1, "
                "SHA-256 or SHA-512 only).");
            row("signature-of-other-style", toc("style=\"RSA\"", "style=\"DSA\""),
                "is refused: its signature is of the style \"DSA\", not RSA.");
            row("cms-of-other-style", toc("style=\"CMS\"", "style=\"PGP\""),
                "is refused: its second signature is of the style \"PGP\", not CMS.");
            row("no-checksum", toc("<checksum ", "<sum ", "</checksum>", "</sum>"),
                "is refused: its table of contents lists no checksum.");
            row("checksum-size-wrong", toc("<size>" + number.toLatin1() + "<", "<size>99<"),
                "is refused: its checksum is 99 bytes long, not the " + number + " of a " +
                    (digest == EVP_sha1() ? "SHA-1" : "SHA-256") + " digest.");
            row("signature-size-zero", toc("<size>256</size><KeyInfo", "<size>0</size><KeyInfo"),
                "is refused: its signature is 0 bytes long, outside the accepted 1 to 16384.");
            row("certificates-unreadable", toc("<X509Certificate>", "<X509Certificate>AAAA"),
                "is refused: the certificates of its signature cannot be read.");
            row("no-certificate", toc("X509Data>", "Data>"), "is refused: its signature comes with no certificate.");
            row("cms-unreadable", nullptr, "is refused: its CMS signature cannot be read.",
                [&](SignedPackage &p) { p.bytes = flipped(p.bytes, heap + p.cms); });
            row("no-archived-checksum", toc("archived-checksum", "other-checksum"),
                "is refused: its file \"Example.pkg/Payload\" has no archived checksum.");
            row("archived-checksum-too-short",
                toc("<archived-checksum style=\"" + style, "<archived-checksum style=\"sha512"),
                "is refused: the archived checksum of its file \"Example.pkg/Payload\" is not a SHA-512 digest.");
            row("doctype", toc("<xar>", "<!DOCTYPE xar><xar>"),
                "is not an installer package: its table of contents cannot be read (it has a document type "
                "declaration, line 1).");
        }

        // The header and the TOC's inflation, on a SHA-256 package.
        const SignedPackage made = signPackage(baseRecipe(EVP_sha256()));
        const QByteArray &p = made.bytes;
        const quint64 inflated = qFromBigEndian<quint64>(p.constData() + 16);
        const auto row = [&](const char *tag, const QByteArray &package, const QString &error) {
            QTest::newRow(tag) << package << QString(TestPki::team) << june2025 << testRoot
                               << (error.isEmpty() ? error : refused(error));
        };
        const QString notXar = "is not an installer package: it is not a xar archive.";
        row("not-xar", "PK\x03\x04" + QByteArray(60, 'z'), notXar);
        row("empty", QByteArray(), notXar);
        row("header-cut-short", p.left(20), "is not a complete installer package: it ends within its header.");
        row("toc-cut-short", p.left(made.heap - 10),
            "is not a complete installer package: it ends within its table of contents.");
        row("huge-toc", withNumber(p, 8, 8, ~0ULL),
            "is refused: its table of contents is 18446744073709551615 bytes long, more than the 4194304 accepted.");
        row("huge-inflated-toc", withNumber(p, 16, 8, 1ULL << 30),
            "is refused: its table of contents inflates to 1073741824 bytes, more than the 16777216 accepted.");
        const auto checkedWith = [](const QString &algorithm) {
            return "is refused: its table of contents is checked with " + algorithm +
                   ", which is not accepted (SHA-1, SHA-256 or SHA-512 only).";
        };
        row("header-md5", withNumber(p, 24, 4, 2), checkedWith("MD5"));
        row("header-unknown-algorithm", withNumber(p, 24, 4, 9), checkedWith("the unknown algorithm 9"));
        row("header-no-checksum", withNumber(p, 24, 4, 0), "is not signed: its table of contents has no checksum.");
        row("header-names-sha512", withNumber(p, 24, 4, 4),
            "is refused: its table of contents lists a checksum of the style \"sha256\", not the SHA-512 its header "
            "names.");
        row("header-version-2", withNumber(p, 6, 2, 2),
            "is not an installer package: its xar header has version 2, not 1.");
        row("header-longer", withNumber(withNumber(p.left(28), 4, 2, 32), 24, 4, 4) + QByteArray(4, '\0') + p.mid(28),
            "is not an installer package: its xar header is 32 bytes long, which does not fit its checksum algorithm "
            "4.");
        row("header-name-missing", withNumber(p.left(28), 4, 2, 32) + QByteArray(4, '\0') + p.mid(28),
            "is not an installer package: its xar header does not name its checksum algorithm.");
        // xar 1.6 names the digest of its algorithm 3 after the fixed fields.
        row("header-names-sha256", withNumber(p.left(28), 4, 2, 36) + QByteArray("sha256\0\0", 8) + p.mid(28), "");
        row("header-names-md5", withNumber(p.left(28), 4, 2, 32) + QByteArray("md5\0", 4) + p.mid(28),
            checkedWith("\"md5\""));
        row("toc-goes-on", withNumber(p.left(made.heap), 8, 8, made.heap - 28 + 1) + "x" + p.mid(made.heap),
            "is not an installer package: its table of contents goes on after its compressed end.");
        QTest::newRow("root-unreadable") << p << QString(TestPki::team) << june2025 << QByteArray("no certificate")
                                         << refused(
                                                "could not be checked: the trusted root certificate cannot be read.");
        row("toc-corrupt", flipped(p, made.heap - 1),
            "is not an installer package: its table of contents does not inflate (incorrect data check).");
        row("toc-inflates-longer", withNumber(p, 16, 8, inflated - 1),
            "is not an installer package: its table of contents inflates to more than the " +
                QString::number(inflated - 1) + " bytes its header gives.");
        row("toc-inflates-shorter", withNumber(p, 16, 8, inflated + 1),
            "is not an installer package: its table of contents inflates to " + QString::number(inflated) +
                " bytes, not the " + QString::number(inflated + 1) + " its header gives.");
    }

    void verdict()
    {
        QFETCH(QByteArray, package);
        QFETCH(QString, team);
        QFETCH(QDateTime, now);
        QFETCH(QByteArray, root);
        QFETCH(QString, error);

        const quint32 seed = qEnvironmentVariableIsSet("TARNWICK_SEED") ? qgetenv("TARNWICK_SEED").toUInt()
                                                                        : QRandomGenerator::system()->generate();
        QRandomGenerator random(seed);
        int round = 0;
        const auto tell = qScopeGuard([&] {
            if (QTest::currentTestFailed())
                qWarning("Failed in chunking %d; rerun with TARNWICK_SEED=%u", round, seed);
        });
        // Whole (on another thread than the check's own), after an empty chunk, byte by byte, the first byte
        // alone; then random lengths, each chunking on a scale of its own, from 4 bytes to 64 KiB.
        const QList<QList<QByteArray>> fixed = {
            {package}, {QByteArray(), package}, chunked(package, 1), {package.left(1), package.mid(1)}};
        for (; round < 12; ++round) {
            const QList<QByteArray> chunks =
                round < fixed.size() ? fixed.at(round) : chunked(package, 1 << random.bounded(2, 17), &random);
            PackageSignatureCheck check(team, root, now);
            const auto feed = [&] {
                for (const QByteArray &chunk : chunks)
                    check.consume(chunk.constData(), chunk.size());
            };
            if (round == 0)
                std::thread(feed).join();
            else
                feed();
            QString given = QStringLiteral("untouched");
            const bool accepted = check.verdict(packageName, given);
            QCOMPARE(given, error.isEmpty() ? QStringLiteral("untouched") : error);
            QCOMPARE(accepted, error.isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(tst_PackageSignatureCheck)
#include "tst_PackageSignatureCheck.moc"
