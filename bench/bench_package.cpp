// Times the package signature check over a signed package with one large
// payload, against SHA-256 alone over the same bytes (the digest the updater
// always takes) and against both, one after the other on each chunk, as the
// and through the updater's own road: BackgroundSha256 alone, and with the
// check as its consumer (on a thread of its own beside the digest's).
//     bench_package [MiB] [chunk KiB]   1024 MiB of payload, 64 KiB chunks by default
//     bench_package --write PACKAGE ROOT [MiB]
// The second form only writes the package and the DER of the root it chains to
// (for bench/road.sh, whose updater trusts that root).
// The package is signed at run time by the tests' signer (a test root with
// Apple's markers), with SHA-1 checksums as productbuild writes them; its
// payload is a block of random bytes, repeated, so nothing is held but one
// block. Exits with 1 if the check does not accept the package.
#include "BackgroundSha256.h"
#include "PackageSignatureCheck.h"
#include "PackageSigner.h"
#include "Sha256.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>

#include <cstdio>
#include <functional>

namespace {

constexpr int blockSize = 1024 * 1024;

// The package's bytes in chunks of `chunk` bytes: its signed head, then the payload's blocks.
void stream(const QByteArray &head, const QByteArray &block, int blocks, int chunk,
            const std::function<void(const char *, qsizetype)> &consume)
{
    for (int at = 0; at < head.size(); at += chunk)
        consume(head.constData() + at, qMin<qsizetype>(chunk, head.size() - at));
    for (int i = 0; i < blocks; ++i) {
        for (int at = 0; at < blockSize; at += chunk)
            consume(block.constData() + at, qMin(chunk, blockSize - at));
    }
}

bool write(const QString &path, const std::function<bool(QFile &)> &writeAll)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && writeAll(file) && file.flush();
}

} // namespace

int main(int argc, char *argv[])
{
    const bool writing = argc > 1 && QByteArray(argv[1]) == "--write";
    const int sizeArgument = writing ? 4 : 1;
    const int blocks = argc > sizeArgument ? QByteArray(argv[sizeArgument]).toInt() : 1024;
    const int chunk = (!writing && argc > 2 ? QByteArray(argv[2]).toInt() : 64) * 1024;
    if (blocks <= 0 || chunk <= 0 || blockSize % chunk != 0 || (writing && argc < 4)) {
        std::fprintf(stderr, "usage: bench_package [MiB] [chunk KiB, a divisor of 1024]\n"
                             "       bench_package --write PACKAGE ROOT [MiB]\n");
        return 2;
    }
    QByteArray block(blockSize, Qt::Uninitialized);
    QRandomGenerator(1).fillRange(reinterpret_cast<quint32 *>(block.data()), blockSize / 4);

    const TestPki pki;
    PackageRecipe recipe;
    recipe.pki = &pki;
    recipe.digest = EVP_sha1();
    recipe.signer = pki.installer;
    recipe.chain = {pki.developerIdCa, pki.root};
    recipe.payloadSize = qint64(blocks) * blockSize;
    // Version 2 of the application of bench/road-runs.sh, which has version 1.
    recipe.distribution = "<installer-gui-script><pkg-ref id=\"p\">#Example.pkg</pkg-ref></installer-gui-script>";
    recipe.describing = {
        {"Example.pkg/PackageInfo", "<pkg-info><bundle id=\"com.example.Example\" CFBundleVersion=\"2\"/></pkg-info>"}};
    {
        QByteArray digest(EVP_MAX_MD_SIZE, '\0');
        unsigned int length = 0;
        const auto context = std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)>(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        EVP_DigestInit_ex(context.get(), recipe.digest, nullptr);
        for (int i = 0; i < blocks; ++i)
            EVP_DigestUpdate(context.get(), block.constData(), blockSize);
        EVP_DigestFinal_ex(context.get(), reinterpret_cast<unsigned char *>(digest.data()), &length);
        recipe.payloadChecksum = digest.left(int(length));
    }
    const QByteArray head = signPackage(recipe).bytes;
    if (writing) {
        const bool written = write(QString::fromLocal8Bit(argv[2]),
                                   [&](QFile &file) {
                                       bool ok = file.write(head) == head.size();
                                       for (int i = 0; ok && i < blocks; ++i)
                                           ok = file.write(block) == blockSize;
                                       return ok;
                                   }) &&
                             write(QString::fromLocal8Bit(argv[3]),
                                   [&](QFile &file) { return file.write(pki.rootDer()) == pki.rootDer().size(); });
        return written ? 0 : 1;
    }
    const double mebibytes = (double(head.size()) + double(blocks) * blockSize) / (1024.0 * 1024.0);
    const QDateTime now(QDate(2025, 6, 1), QTime(0, 0), Qt::UTC);

    QElapsedTimer timer;
    const auto report = [&](const char *what) {
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        std::printf("%-24s %8.3f s %9.1f MiB/s\n", what, seconds, mebibytes / seconds);
        return seconds;
    };
    std::printf("%.0f MiB package, %d KiB chunks\n", mebibytes, chunk / 1024);

    timer.start();
    Sha256 alone;
    stream(head, block, blocks, chunk, [&](const char *data, qsizetype size) { alone.addData(data, size); });
    bool digested = !alone.result().isEmpty();
    const double sha256 = report("SHA-256 alone");

    bool accepted = true;
    QString error;
    const auto timeCheck = [&](const char *what, bool withDigest) {
        timer.start();
        Sha256 sha;
        PackageSignatureCheck check(QString::fromLatin1(TestPki::team), pki.rootDer(), now);
        stream(head, block, blocks, chunk, [&](const char *data, qsizetype size) {
            if (withDigest)
                sha.addData(data, size);
            check.consume(data, size);
        });
        accepted = check.verdict(QStringLiteral("Example.pkg"), error) && accepted;
        return report(what);
    };
    timeCheck("check alone", false);
    const double both = timeCheck("SHA-256 then check", true);
    // The road the updater takes: chunks queued to BackgroundSha256, which
    // hands them to the check on a thread of its own.
    const auto timeRoad = [&](const char *what, PackageSignatureCheck *check) {
        timer.start();
        BackgroundSha256 digest(BackgroundSha256::defaultMaxQueuedBytes, check);
        stream(head, block, blocks, chunk,
               [&](const char *data, qsizetype size) { digest.addData(QByteArray::fromRawData(data, size)); });
        digested = !digest.result().isEmpty() && digested;
        if (check)
            accepted = check->verdict(QStringLiteral("Example.pkg"), error) && accepted;
        return report(what);
    };
    const double road = timeRoad("BackgroundSha256", nullptr);
    PackageSignatureCheck roadCheck(QString::fromLatin1(TestPki::team), pki.rootDer(), now);
    const double roadWithCheck = timeRoad("BackgroundSha256 + check", &roadCheck);
    std::printf("the check adds %.0f %% to SHA-256 on one thread, %.0f %% to the updater's digest road\n",
                (both / sha256 - 1) * 100, (roadWithCheck / road - 1) * 100);
    if (!accepted || !digested) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    return 0;
}
