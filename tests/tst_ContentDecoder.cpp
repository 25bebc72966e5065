#include "ContentDecoder.h"

#include "Chunkings.h"

#include <QtTest>

#include <QRandomGenerator>

#include <zlib.h>

namespace {

constexpr int largestPiece = 1024 * 1024;

// zlib's encoding of plain: windowBits 15 + 16 for gzip, 15 for zlib's wrapper, -15 for raw deflate. A full flush
// halfway makes a second run of blocks that starts on a byte boundary after an empty stored block.
QByteArray deflated(const QByteArray &plain, int windowBits, bool flushHalfway = false)
{
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&z, uLong(plain.size()))) + 64, Qt::Uninitialized);
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    const int half = flushHalfway ? plain.size() / 2 : 0;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(plain.constData()));
    z.avail_in = uInt(half);
    if (flushHalfway)
        deflate(&z, Z_FULL_FLUSH);
    z.avail_in = uInt(plain.size() - half);
    const int result = deflate(&z, Z_FINISH);
    out.resize(int(z.total_out));
    deflateEnd(&z);
    return result == Z_STREAM_END ? out : QByteArray("zlib failed to encode");
}

const auto gzip = [](const QByteArray &plain) { return deflated(plain, 15 + 16); };
const auto zlibWrapped = [](const QByteArray &plain) { return deflated(plain, 15); };
const auto raw = [](const QByteArray &plain) { return deflated(plain, -15); };

// data with the bits of mask flipped in its byte at `at` (from the end when negative).
QByteArray flipped(QByteArray data, int at, char mask)
{
    const int index = at < 0 ? data.size() + at : at;
    data[index] = char(data.at(index) ^ mask);
    return data;
}

const auto undecodable = [](const QString &reason) { return "The download could not be decoded (" + reason + ")."; };

} // namespace

// Bodies encoded here with zlib, decoded in fixed chunkings and in random ones (Chunkings.h).
class tst_ContentDecoder : public QObject
{
    Q_OBJECT

private slots:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("encoding"); // the Content-Encoding header
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("output"); // the body; with an error, what may come of it before
        QTest::addColumn<QString>("error");     // empty: decoded and finished

        QByteArray text;
        for (int line = 0; line < 2000; ++line)
            text += "line " + QByteArray::number(line % 300) + " of the body\n";
        QByteArray noise(4 * 1024, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        const QByteArray zeros(5 * largestPiece + 3, '\0');
        // Raw deflate, a stored block of 29 bytes, whose first two bytes would also do for a zlib header.
        const QByteArray zlibLike =
            QByteArray::fromHex("081d00e2ff") + QByteArray(29, 'p') + QByteArray::fromHex("0300");
        // Its pair a multiple of 31 too, but with a window of 64 KiB, which no zlib header names.
        const QByteArray rawWindow8 =
            QByteArray::fromHex("881c00e3ff") + QByteArray(28, 'q') + QByteArray::fromHex("0300");

        const auto row = [](const char *tag, const QByteArray &encoding, const QByteArray &input,
                            const QByteArray &output, const QString &error = QString()) {
            QTest::newRow(tag) << encoding << input << output << error;
        };
        row("gzip-empty-body", "gzip", gzip(""), "");
        row("gzip-many-mib-from-few-kib", "gzip", gzip(zeros), zeros);
        row("gzip-two-members", "gzip", gzip(text) + gzip(noise), text + noise);
        row("x-gzip-spaced-upper-case", " X-GZIP ", gzip(text), text);
        row("deflate-zlib-flushed-halfway", "Deflate", deflated(text, 15, true), text);
        row("deflate-raw", "deflate", raw(text), text);
        row("deflate-raw-empty-two-bytes", "deflate", raw(""), "");
        row("deflate-raw-one-byte-body", "deflate", raw("a"), "a");
        row("deflate-raw-window-nibble-8", "deflate", rawWindow8, QByteArray(28, 'q'));
        row("deflate-carrying-gzip", "deflate", gzip(text), text);
        row("no-encoding", "", noise, noise);

        const QString early = undecodable("it ends early");
        row("gzip-nothing", "gzip", "", "", early);
        row("gzip-without-trailer", "gzip", gzip(text).chopped(8), text, early);
        row("gzip-second-member-cut", "gzip", gzip(text) + gzip(noise).left(12), text + noise, early);
        row("deflate-zlib-without-check", "deflate", zlibWrapped(text).chopped(4), text, early);
        row("deflate-raw-cut", "deflate", raw(noise).chopped(1), noise, early);
        row("deflate-first-byte-only", "deflate", "\x78", "", early);

        row("gzip-bad-crc", "gzip", flipped(gzip(text), -8, 1), text, undecodable("incorrect data check"));
        row("gzip-zero-padding", "gzip", gzip(text) + QByteArray(700, '\0'), text);
        row("gzip-padding-then-junk", "gzip", gzip(text) + QByteArray(3, '\0') + "j", text,
            undecodable("data after its padding"));
        row("gzip-then-junk", "gzip", gzip(text) + "junk", text, undecodable("incorrect header check"));
        row("zlib-under-gzip", "gzip", zlibWrapped(text), text, "");
        row("deflate-neither-zlib-nor-raw", "deflate", "\xff\xff\xff\xff", "", undecodable("invalid block type"));
        row("deflate-zlib-like-raw", "deflate", zlibLike, "", undecodable("invalid stored block lengths"));
    }

    void decode()
    {
        QFETCH(QByteArray, encoding);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, output);
        QFETCH(QString, error);

        // Whole, after an empty chunk, byte by byte, and with the first byte or two alone: a deflate body's kind is
        // told by its first two bytes, whatever its chunks.
        const QList<QList<QByteArray>> fixed = {{input},
                                                {QByteArray(), input},
                                                Chunkings::of(input, 1),
                                                {input.left(1), input.mid(1)},
                                                {input.left(1), QByteArray(), input.mid(1)},
                                                {input.left(2), input.mid(2)}};
        Chunkings chunkings(input, fixed, 24);
        for (QList<QByteArray> chunks; chunkings.next(chunks);) {
            ContentDecoder decoder(encoding);
            QByteArray decoded;
            int largest = 0; // the largest piece handed on
            const auto sink = [&](const QByteArray &piece) {
                decoded += piece;
                largest = qMax(largest, int(piece.size()));
                return true;
            };
            QString failure;
            const bool ok = std::all_of(chunks.cbegin(), chunks.cend(),
                                        [&](const QByteArray &chunk) { return decoder.decode(chunk, sink, failure); });
            QCOMPARE(ok && decoder.finish(failure) ? QString() : failure, error);
            QVERIFY2(largest <= largestPiece, qPrintable(QString::number(largest)));
            // What a body that fails gave before it failed is still its own.
            QVERIFY(error.isEmpty() ? decoded == output : output.startsWith(decoded));
        }
    }

    void supported_data()
    {
        QTest::addColumn<QByteArray>("encoding");
        QTest::addColumn<QString>("error"); // empty: supported

        const auto row = [](const char *tag, const QByteArray &encoding, const QString &error) {
            QTest::newRow(tag) << encoding << error;
        };
        const QString refused = "The download came in an encoding that cannot be decoded (\"%1\").";
        row("none", "", "");
        row("identity", "identity", "");
        row("x-gzip", "x-gzip", "");
        row("deflate-upper-case", "DEFLATE", "");
        row("brotli", "br", refused.arg("br"));
        row("shown-trimmed-lower-case", " ZSTD ", refused.arg("zstd"));
        row("two-encodings", "gzip, gzip", refused.arg("gzip, gzip"));
        row("long-shown-cut", "x\x01" + QByteArray(45, 'y'), refused.arg("x\\x01" + QString(38, 'y') + "..."));
    }

    void supported()
    {
        QFETCH(QByteArray, encoding);
        QFETCH(QString, error);

        QString message;
        QCOMPARE(ContentDecoder::isSupported(encoding, message) ? QString() : message, error);
    }

    // A sink that refuses the first piece stops the decoding there; its error stands.
    void sinkRefuses()
    {
        ContentDecoder decoder("gzip");
        int pieces = 0;
        QString error;
        const auto refuse = [&](const QByteArray &) {
            error = "disk full";
            return ++pieces > 1;
        };
        QVERIFY(!decoder.decode(gzip(QByteArray(3 * largestPiece, 'z')), refuse, error));
        QCOMPARE(pieces, 1);
        QCOMPARE(error, QStringLiteral("disk full"));
    }
};

QTEST_MAIN(tst_ContentDecoder)
#include "tst_ContentDecoder.moc"
