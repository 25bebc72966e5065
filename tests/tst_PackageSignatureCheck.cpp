#include "AppleRootCertificate.h"
#include "PackageSignatureCheck.h"
#include "PackageSigner.h"

#include "Chunkings.h"

#include <QtTest>

#include <QCryptographicHash>

#include <thread>

namespace {

const QString packageName = QStringLiteral("Example.pkg");

QDateTime utc(int year, int month = 1)
{
    return QDateTime(QDate(year, month, 1), QTime(0, 0), Qt::UTC);
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

const TestPki &pki()
{
    static const TestPki made;
    return made;
}

using Recipe = std::function<void(PackageRecipe &)>;

Recipe tocEdit(const QByteArray &from, const QByteArray &to)
{
    return [=](PackageRecipe &r) { r.editToc = [=](QByteArray &xml) { xml.replace(from, to); }; };
}

Recipe expiredStamped(std::optional<QDateTime> at, std::optional<TestCertificate> stamper = {}, bool other = false)
{
    return [=](PackageRecipe &r) {
        r.signer = pki().expired;
        r.stampedAt = at ? std::optional(at->toSecsSinceEpoch()) : std::nullopt;
        r.stamper = stamper;
        r.stampOtherBytes = other;
    };
}

} // namespace

// The real package of tests/data/packages, and packages signed here by a test authority shaped like Apple's, each
// checked whole, byte by byte and in random chunkings (Chunkings.h): the verdict may not depend on the chunks.
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
        // Of an accepted package, what packagedBundles() gives: "identifier version" of each bundle joined by ", ",
        // or the refusal; empty: not asked.
        QTest::addColumn<QString>("bundles");

        const QByteArray apple = appleRootCertificate(), testRoot = pki().rootDer();
        const auto row = [&](const QByteArray &tag, const QByteArray &package, const QString &error,
                             const QByteArray &root = {}, const QDateTime &now = utc(2025, 6),
                             const QString &team = TestPki::team, const QString &bundles = {}) {
            QTest::newRow(tag.constData()) << package << team << now << (root.isEmpty() ? testRoot : root)
                                           << (error.isEmpty() ? error : packageName + ' ' + error) << bundles;
        };
        PackageRecipe base;
        base.pki = &pki();
        base.signer = pki().installer;
        base.chain = {pki().developerIdCa, pki().root};
        const auto made = [&](const Recipe &change) {
            PackageRecipe recipe = base;
            if (change)
                change(recipe);
            return signPackage(recipe);
        };
        const SignedPackage plain = made(nullptr);
        const QByteArray &p = plain.bytes;
        const int heap = plain.heap;
        const auto signedRow = [&](const char *tag, const QString &error, const Recipe &change = nullptr) {
            row(tag, made(change).bytes, error);
        };
        const QString R = "is refused: ", N = "is not an installer package: ";
        const QString C = "is not a complete installer package: ", U = N + "its table of contents cannot be read (";
        const QString vendor = "\"Developer ID Installer: Test Vendor (A1B2C3D4E5)\"";
        const QString notInstaller = ", which is not a Developer ID Installer certificate.";
        const auto signedBy = [](const TestCertificate &c) { return Recipe([c](PackageRecipe &r) { r.signer = c; }); };

        // Real packages (tests/data/packages): signed by the vendor on 2024-01-03, whose certificate expires in 2028;
        // accepted before and, as the timestamp shows it was valid, after that; refused for another team.
        const auto real = [&](const char *tag, const char *file, const QString &error, QDateTime now = utc(2025, 6),
                              const QString &team = "T4SK8ZXCXG", const QString &bundles = {}) {
            QFile package(QStringLiteral(TARNWICK_TEST_DATA "/packages/") + file);
            QVERIFY(package.open(QIODevice::ReadOnly));
            row(tag, package.readAll(), error, apple, now, team, bundles);
        };
        // A launch agent's package: its Distribution refers to a component whose PackageInfo names no bundle.
        real("real-before-expiry", "valid.pkg", "", utc(2025, 6), "T4SK8ZXCXG",
             packageName + " names no application bundle that it installs.");
        real("real-timestamped-after-expiry", "valid.pkg", "", utc(2029));
        real("real-other-team", "valid.pkg", "is signed by the team T4SK8ZXCXG, not by A1B2C3D4E5.", utc(2025, 6),
             "A1B2C3D4E5");
        real("real-bad-signature", "bad_signature.pkg", R + "its signature does not verify.");
        real("real-bad-cms", "bad_x_signature.pkg", R + "its CMS signature does not verify.");
        real("real-bad-both", "bad_both.pkg", R + "its signature does not verify.");
        real("real-not-apple", "payload.xar",
             R + "its signing certificate \"Mikkel Krautz\" does not chain to \"Apple Root CA\" (unable to get local "
                 "issuer certificate).");

        // The digest is that of the header's algorithm and of the RSA signature's DigestInfo.
        for (const EVP_MD *md : {EVP_sha1(), EVP_sha256(), EVP_sha512()}) {
            const int bytes = EVP_MD_size(md);
            const QByteArray name = "SHA-" + QByteArray::number(bytes == 20 ? 1 : bytes * 8),
                             size = QByteArray::number(bytes);
            const Recipe digest = [=](PackageRecipe &r) { r.digest = md; };
            row("signed-" + name.toLower(), made(digest).bytes, "");
            row("checksum-size-wrong-" + name.toLower(), made([=](PackageRecipe &r) {
                                                             digest(r);
                                                             tocEdit("<size>" + size + "<", "<size>99<")(r);
                                                         }).bytes,
                R + "its checksum is 99 bytes long, not the " + size + " of a " + name + " digest.");
        }
        signedRow("signed-without-cms", "", [](PackageRecipe &r) { r.cms = false; });
        signedRow("toc-changed", R + "its table of contents does not match its checksum.",
                  [](PackageRecipe &r) { r.tamperToc = [](QByteArray &xml) { xml.replace("directory", "folder"); }; });
        row("checksum-changed", flipped(p, heap + plain.checksum + 3),
            R + "its table of contents does not match its checksum.");
        row("signature-changed", flipped(p, heap + plain.signature + 7), R + "its signature does not verify.");
        row("payload-changed", flipped(p, heap + plain.payload + 100),
            R + "its file \"Example.pkg/Payload\" does not match its archived checksum.");
        row("cms-unreadable", flipped(p, heap + plain.cms), R + "its CMS signature cannot be read.");
        signedRow("cms-over-other-bytes", R + "its CMS signature does not verify.",
                  [](PackageRecipe &r) { r.cmsContent = "other bytes"; });
        signedRow("cms-carries-its-content", R + "its CMS signature does not verify.",
                  [](PackageRecipe &r) { r.cmsCarriesContent = true; });
        signedRow("cms-digest-sha512", "", [](PackageRecipe &r) { r.cmsDigest = EVP_sha512(); });
        signedRow("cms-digest-md5", R + "its CMS signature uses the digest MD5, which is not accepted.",
                  [](PackageRecipe &r) { r.cmsDigest = EVP_md5(); });
        signedRow("cms-by-other-leaf", R + "its CMS signature is made with another certificate than its signature.",
                  [](PackageRecipe &r) { r.cmsSigner = pki().otherInstaller; });
        signedRow("application-certificate",
                  R + "it is signed with \"Developer ID Application: Test Vendor (A1B2C3D4E5)\"" + notInstaller,
                  signedBy(pki().application));
        signedRow("leaf-is-ca", R + "it is signed with " + vendor + notInstaller, signedBy(pki().caLeaf));
        signedRow("leaf-unmarked", R + "it is signed with " + vendor + notInstaller, signedBy(pki().unmarked));
        signedRow("leaf-usage-not-installer", R + "it is signed with " + vendor + notInstaller,
                  signedBy(pki().otherUsage));
        signedRow("ec-key", R + "its signature does not verify.", signedBy(pki().ecInstaller));
        signedRow("other-team", "is signed by the team ZZZZZZZZZZ, not by A1B2C3D4E5.", signedBy(pki().wrongTeam));
        signedRow("not-developer-id-ca",
                  R + "its signing certificate " + vendor + " is not issued by a Developer ID certification authority.",
                  [](PackageRecipe &r) {
                      r.signer = pki().underOtherCa;
                      r.chain = {pki().otherCa};
                  });
        signedRow("unknown-critical-extension",
                  R + "its signing certificate " + vendor +
                      " does not chain to \"Tarnwick Test Root CA\" (unhandled critical extension).",
                  signedBy(pki().oddCritical));
        row("apple-root", p,
            R + "its signing certificate " + vendor +
                " does not chain to \"Apple Root CA\" (unable to get local issuer certificate).",
            apple);
        signedRow("expired",
                  R + "the certificate " + vendor +
                      " it is signed with is not valid at 2025-06-01T00:00:00Z (certificate has expired), and no "
                      "timestamp shows that it was when it was signed.",
                  expiredStamped(std::nullopt));
        signedRow("expired-timestamped-in-time", "", expiredStamped(utc(2020, 6)));
        signedRow("expired-timestamped-late",
                  R + "the certificate " + vendor +
                      " it is signed with was not valid at 2022-01-01T00:00:00Z, when its timestamp says it was signed "
                      "(certificate has expired).",
                  expiredStamped(utc(2022)));
        signedRow("timestamp-by-untrusted-authority", R + "its timestamp does not verify.",
                  expiredStamped(utc(2020, 6), pki().rogueTimestamper));
        signedRow("timestamp-of-other-bytes", R + "its timestamp is not that of its CMS signature.",
                  expiredStamped(utc(2020, 6), std::nullopt, true));
        signedRow("unsigned", "is not signed.", [](PackageRecipe &r) { r.signature = false; });
        // Its last file empty: it ends where that file starts.
        signedRow("empty-payload", "", [](PackageRecipe &r) { r.payload.clear(); });
        row("trailing-bytes", p + "x", R + "bytes follow the last data its table of contents lists.");

        // The TOC's own checks, each on an edit of its XML before it is signed.
        const auto tocRow = [&](const char *tag, const QByteArray &from, const QByteArray &to, const QString &error) {
            signedRow(tag, error, tocEdit(from, to));
        };
        const auto offset = [](int at) { return ">" + QByteArray::number(at) + "<"; };
        tocRow("toc-past-end", "<length>3000<", "<length>3100<",
               C + "it ends before the end of the data its table of contents lists.");
        tocRow("two-checksums", "<signature ", "<checksum style=\"sha1\"/><signature ",
               U + "it lists two checksums, line 1).");
        tocRow("two-signatures", "<x-signature ", "<signature style=\"RSA\"/><x-signature ",
               U + "it lists two signatures, line 1).");
        tocRow("no-toc", "toc>", "tic>", U + "it has no <toc> element, line 1).");
        tocRow("two-tocs", "</toc>", "</toc><toc/>", U + "it has two <toc> elements, line 1).");
        tocRow("doctype", "<xar>", "<!DOCTYPE xar><xar>", U + "it has a document type declaration, line 1).");
        tocRow("overlap", offset(plain.distribution), offset(plain.distribution - 1),
               R + "its table of contents lists overlapping data (at heap offset " +
                   QString::number(plain.distribution - 1) + ").");
        tocRow("gap", offset(plain.payload), offset(plain.payload + 1),
               R + "its heap holds bytes its table of contents does not account for (at heap offset " +
                   QString::number(plain.payload) + ").");
        tocRow("file-md5", "<archived-checksum style=\"sha256\"", "<archived-checksum style=\"md5\"",
               R + "its file \"Example.pkg/Payload\" is checked with \"md5\", which is not accepted (SHA-1, SHA-256 or "
                   "SHA-512 only).");
        tocRow("archived-checksum-too-short", "<archived-checksum style=\"sha256", "<archived-checksum style=\"sha512",
               R + "the archived checksum of its file \"Example.pkg/Payload\" is not a SHA-512 digest.");
        tocRow("no-archived-checksum", "archived-checksum", "other-checksum",
               R + "its file \"Example.pkg/Payload\" has no archived checksum.");
        tocRow("checksum-with-other-element", "<offset>0</offset><size>32</size></checksum>",
               "<offset>0</offset><note/><size>32</size></checksum>", "");
        tocRow("checksum-offset-twice", "<offset>0</offset><size>32</size></checksum>",
               "<offset>0</offset><offset>0</offset><size>32</size></checksum>",
               U + "<checksum> has two <offset> elements, line 1).");
        // 2^62, the largest number read, and one more.
        tocRow("checksum-offset-largest", "<offset>0</offset><size>32</size></checksum>",
               "<offset>4611686018427387904</offset><size>32</size></checksum>",
               R + "its heap holds bytes its table of contents does not account for (at heap offset 0).");
        tocRow("checksum-offset-too-large", "<offset>0</offset><size>32</size></checksum>",
               "<offset>4611686018427387905</offset><size>32</size></checksum>",
               U + "\"4611686018427387905\" is not a size or offset, line 1).");
        tocRow("ea-without-region", "<type>file</type><name>Payload</name>",
               "<type>file</type><name>Payload</name><ea><name>x</name></ea>",
               U + "a file's data lacks its <offset> or <length>, line 1).");
        // An extended attribute's data is a file's like any other: here an empty one, after the payload.
        tocRow("empty-attribute", "<type>file</type><name>Payload</name>",
               "<type>file</type><name>Payload</name><ea><name>com.apple.FinderInfo</name><offset>" +
                   QByteArray::number(plain.payload + 3000) +
                   "</offset><length>0</length><archived-checksum style=\"sha256\">" +
                   QCryptographicHash::hash("", QCryptographicHash::Sha256).toHex() + "</archived-checksum></ea>",
               "");
        tocRow("signature-of-other-style", "style=\"RSA\"", "style=\"DSA\"",
               R + "its signature is of the style \"DSA\", not RSA.");
        tocRow("cms-of-other-style", "style=\"CMS\"", "style=\"PGP\"",
               R + "its second signature is of the style \"PGP\", not CMS.");
        // Hex digits only, two to a byte.
        for (const QByteArray &given : {QByteArray(62, '0') + "zz", QByteArray(63, '0')})
            signedRow(given.endsWith('z') ? "archived-checksum-not-hex" : "archived-checksum-odd",
                      U + "\"" + given + "\" is not a hex checksum, line 1).", [given](PackageRecipe &r) {
                          r.editToc = [given](QByteArray &xml) {
                              const int text = int(xml.indexOf('>', xml.indexOf("<archived-checksum"))) + 1;
                              xml.replace(text, int(xml.indexOf('<', text)) - text, given);
                          };
                      });
        signedRow("no-checksum", R + "its table of contents lists no checksum.", [](PackageRecipe &r) {
            r.editToc = [](QByteArray &xml) { xml.replace("<checksum ", "<sum ").replace("</checksum>", "</sum>"); };
        });
        tocRow("signature-size-zero", "<size>256</size><KeyInfo", "<size>0</size><KeyInfo",
               R + "its signature is 0 bytes long, outside the accepted 1 to 16384.");
        tocRow("certificates-unreadable", "<X509Certificate>", "<X509Certificate>AAAA",
               R + "the certificates of its signature cannot be read.");
        tocRow("no-certificate", "X509Data>", "Data>", R + "its signature comes with no certificate.");

        // What the package installs, as its signed PackageInfo files say.
        const QByteArray app = "<bundle id=\"com.example.Example\" CFBundleVersion=\"43\" path=\"./Example.app\">"
                               "<bundle id=\"com.example.Helper\" CFBundleVersion=\"7.1\" path=\"./Contents/H.app\"/>"
                               "</bundle>";
        const auto info = [](const QByteArray &bundles) {
            return "<?xml version=\"1.0\" encoding=\"utf-8\"?><pkg-info format-version=\"2\" identifier=\"p\">" +
                   bundles + "<bundle-version><bundle id=\"com.example.Unversioned\"/></bundle-version></pkg-info>";
        };
        const QString both = "com.example.Example 43, com.example.Helper 7.1";
        const auto refers = [](const QByteArray &components) {
            return "<installer-gui-script><pkg-ref id=\"a\"><bundle-version/></pkg-ref>" + components +
                   "</installer-gui-script>";
        };
        const auto describedRow = [&](const char *tag, const QString &error, const QString &bundles,
                                      const QByteArray &distribution, QList<QPair<QByteArray, QByteArray>> files,
                                      const Recipe &more = nullptr) {
            row(tag, made([&](PackageRecipe &r) {
                         r.distribution = distribution;
                         r.describing = files;
                         if (more)
                             more(r);
                     }).bytes,
                error, {}, utc(2025, 6), TestPki::team, bundles.startsWith(' ') ? packageName + bundles : bundles);
        };
        describedRow("component", "", both, "", {{"PackageInfo", info(app)}});
        describedRow("component-stored", "", both, "", {{"PackageInfo", info(app)}},
                     [](PackageRecipe &r) { r.describingStored = true; });
        // Only the components the Distribution refers to, the name percent-encoded; one outside the archive.
        describedRow("product", "", both,
                     refers("<pkg-ref id=\"b\">#Missing.pkg</pkg-ref><pkg-ref id=\"c\"> #Example%2Epkg </pkg-ref>"),
                     {{"PackageInfo", info("<bundle id=\"com.example.Other\" CFBundleVersion=\"9\"/>")},
                      {"Example.pkg/PackageInfo", info(app)}});
        describedRow("product-refers-to-none", "", " is refused: it holds no PackageInfo that says what it installs.",
                     refers(""), {{"Example.pkg/PackageInfo", info(app)}});
        describedRow("no-bundle", "", " names no application bundle that it installs.", "",
                     {{"PackageInfo", info("")}});
        const auto nested = [](int depth) {
            QByteArray bundles;
            for (int i = 0; i < depth; ++i)
                bundles.prepend("<bundle id=\"com.example.N" + QByteArray::number(i) + "\" CFBundleVersion=\"1\">")
                    .append("</bundle>");
            return bundles;
        };
        QStringList deepest;
        for (int i = 63; i >= 0; --i)
            deepest << QString("com.example.N%1 1").arg(i);
        describedRow("bundles-64-deep", "", deepest.join(", "), "", {{"PackageInfo", info(nested(64))}});
        describedRow(
            "bundles-65-deep", "",
            " is refused: its file \"PackageInfo\" cannot be read (its bundles are nested more than 64 deep, line 1).",
            "", {{"PackageInfo", info(nested(65))}});
        const auto archivedAs = [](std::function<void(QByteArray &)> edit) {
            return [edit](PackageRecipe &r) { r.editDescribing = edit; };
        };
        describedRow("package-info-cut-short", "",
                     " is refused: its file \"PackageInfo\" does not inflate (it is cut short).", "",
                     {{"PackageInfo", info(app)}}, archivedAs([](QByteArray &data) { data.chop(6); }));
        describedRow("package-info-goes-on", "",
                     " is refused: its file \"PackageInfo\" does not inflate (it goes on after its end).", "",
                     {{"PackageInfo", info(app)}}, archivedAs([](QByteArray &data) { data.append('x'); }));
        describedRow("package-info-unreadable", "",
                     " is refused: its file \"PackageInfo\" cannot be read (Opening and ending tag mismatch., line 1).",
                     "", {{"PackageInfo", "<pkg-info><bundle></pkg-info>"}});
        describedRow("package-info-doctype", "",
                     " is refused: its file \"PackageInfo\" cannot be read (it has a document type declaration, line "
                     "1).",
                     "", {{"PackageInfo", "<!DOCTYPE pkg-info><pkg-info/>"}});
        describedRow("distribution-of-other-root", "",
                     " is refused: its file \"Distribution\" cannot be read (its root is not <installer-gui-script>, "
                     "line 1).",
                     "<pkg-info/>", {{"Example.pkg/PackageInfo", info(app)}});
        describedRow(
            "inflates-to-the-limit", "", both, "",
            {{"PackageInfo", info(app + "<!--" + QByteArray((8 << 20) - int(info(app).size()) - 7, ' ') + "-->")}});
        describedRow("inflates-too-far", "",
                     " is refused: its Distribution and PackageInfo files inflate to more than the 8388608 bytes "
                     "accepted.",
                     "", {{"PackageInfo", info("<!--" + QByteArray(8 << 20, ' ') + "-->")}});
        // At the limit, and a byte past it.
        for (const int past : {0, 1})
            describedRow(past ? "too-large" : "largest",
                         past ? R + "its Distribution and PackageInfo files are more than the 1048576 bytes accepted."
                              : "",
                         past ? "" : both, "",
                         {{"PackageInfo", info(app + QByteArray((1 << 20) + past - int(info(app).size()), ' '))}},
                         [](PackageRecipe &r) { r.describingStored = true; });
        describedRow("two-package-infos", R + "it holds two files \"PackageInfo\".", "", "",
                     {{"PackageInfo", info(app)}, {"PackageInfo", info("")}});
        // A top file named with a slash of its own is no PackageInfo: their limit does not hold it.
        describedRow("rooted-name-not-read", "", both, "",
                     {{"PackageInfo", info(app)}, {"/PackageInfo", QByteArray((1 << 20) + 1, ' ')}},
                     [](PackageRecipe &r) { r.describingStored = true; });
        {
            PackageRecipe recipe = base;
            recipe.describing = {{"Example.pkg/PackageInfo", info(app)}};
            const SignedPackage described = signPackage(recipe);
            row("package-info-changed", flipped(described.bytes, described.heap + described.describing[0] + 20),
                R + "its file \"Example.pkg/PackageInfo\" does not match its archived checksum.");
        }
        tocRow("names-differ", "<name>Payload</name>", "<name>Payload</name><name>PackageInfo</name>",
               U + "a file is named both \"Payload\" and \"PackageInfo\", line 1).");

        // The header and the TOC's inflation.
        const quint64 inflated = qFromBigEndian<quint64>(p.constData() + 16);
        const auto longer = [&](int size, const QByteArray &name, quint64 algorithm = 3) {
            return withNumber(withNumber(p.left(28), 4, 2, size), 24, 4, algorithm) + name + p.mid(28);
        };
        const auto checkedWith = [&](const QString &algorithm) {
            return R + "its table of contents is checked with " + algorithm +
                   ", which is not accepted (SHA-1, SHA-256 or SHA-512 only).";
        };
        row("not-xar", "PK\x03\x04" + QByteArray(60, 'z'), N + "it is not a xar archive.");
        row("empty", QByteArray(), N + "it is not a xar archive.");
        row("header-cut-short", p.left(20), C + "it ends within its header.");
        row("magic-only", p.left(4), C + "it ends within its header.");
        row("toc-cut-short", p.left(heap - 10), C + "it ends within its table of contents.");
        row("huge-toc", withNumber(p, 8, 8, ~0ULL),
            R + "its table of contents is 18446744073709551615 bytes long, more than the 4194304 accepted.");
        row("huge-inflated-toc", withNumber(p, 16, 8, 1ULL << 30),
            R + "its table of contents inflates to 1073741824 bytes, more than the 16777216 accepted.");
        row("header-md5", withNumber(p, 24, 4, 2), checkedWith("MD5"));
        row("header-unknown-algorithm", withNumber(p, 24, 4, 9), checkedWith("the unknown algorithm 9"));
        row("header-no-checksum", withNumber(p, 24, 4, 0), "is not signed: its table of contents has no checksum.");
        row("header-names-sha512", withNumber(p, 24, 4, 4),
            R + "its table of contents lists a checksum of the style \"sha256\", not the SHA-512 its header names.");
        row("header-version-2", withNumber(p, 6, 2, 2), N + "its xar header has version 2, not 1.");
        row("header-longer", longer(32, QByteArray(4, '\0'), 4),
            N + "its xar header is 32 bytes long, which does not fit its checksum algorithm 4.");
        row("header-name-unaligned", longer(35, QByteArray("sha256\0", 7)),
            N + "its xar header is 35 bytes long, which does not fit its checksum algorithm 3.");
        row("header-name-missing", longer(32, QByteArray(4, '\0')),
            N + "its xar header does not name its checksum algorithm.");
        // xar 1.6 names the digest of its algorithm 3 after the fixed fields.
        row("header-names-sha256", longer(36, QByteArray("sha256\0\0", 8)), "");
        row("header-names-md5", longer(32, QByteArray("md5\0", 4)), checkedWith("\"md5\""));
        row("toc-goes-on", withNumber(p.left(heap), 8, 8, heap - 28 + 1) + "x" + p.mid(heap),
            N + "its table of contents goes on after its compressed end.");
        row("root-unreadable", p, "could not be checked: the trusted root certificate cannot be read.",
            "no certificate");
        row("toc-corrupt", flipped(p, heap - 1), N + "its table of contents does not inflate (incorrect data check).");
        row("toc-inflates-longer", withNumber(p, 16, 8, inflated - 1),
            N + "its table of contents inflates to more than the " + QString::number(inflated - 1) +
                " bytes its header gives.");
        row("toc-inflates-shorter", withNumber(p, 16, 8, inflated + 1),
            N + "its table of contents inflates to " + QString::number(inflated) + " bytes, not the " +
                QString::number(inflated + 1) + " its header gives.");
    }

    void verdict()
    {
        QFETCH(QByteArray, package);
        QFETCH(QString, team);
        QFETCH(QDateTime, now);
        QFETCH(QByteArray, root);
        QFETCH(QString, error);
        QFETCH(QString, bundles);

        // Whole (on another thread than the check's own), after an empty chunk, byte by byte, the first byte alone.
        const QList<QList<QByteArray>> fixed = {
            {package}, {QByteArray(), package}, Chunkings::of(package, 1), {package.left(1), package.mid(1)}};
        Chunkings chunkings(package, fixed, 12);
        for (QList<QByteArray> chunks; chunkings.next(chunks);) {
            PackageSignatureCheck check(team, root, now);
            const auto feed = [&] {
                for (const QByteArray &chunk : chunks)
                    check.consume(chunk.constData(), chunk.size());
            };
            chunkings.current() == 0 ? std::thread(feed).join() : feed();
            QString given = QStringLiteral("untouched");
            const bool accepted = check.verdict(packageName, given);
            QCOMPARE(given, error.isEmpty() ? QStringLiteral("untouched") : error);
            QCOMPARE(accepted, error.isEmpty());
            if (bundles.isEmpty())
                continue;
            QList<BundleIdentity> found;
            QString named;
            if (check.packagedBundles(packageName, found, named)) {
                for (const BundleIdentity &bundle : std::as_const(found))
                    named += (named.isEmpty() ? "" : ", ") + bundle.identifier + ' ' + bundle.version;
            }
            QCOMPARE(named, bundles);
        }
    }
};

QTEST_GUILESS_MAIN(tst_PackageSignatureCheck)
#include "tst_PackageSignatureCheck.moc"
