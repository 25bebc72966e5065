#include "ContentDecoder.h"

#include <QtTest>

#include <zlib.h>

// Bodies encoded here with zlib, decoded in chunks.
class tst_ContentDecoder : public QObject
{
    Q_OBJECT

private slots:
    void deflateStart_data();
    void deflateStart();
};

namespace {

// zlib's encoding of plain: windowBits 15 + 16 for gzip, 15 for zlib's wrapper,
// -15 for raw deflate. A full flush halfway makes a second run of blocks that
// starts on a byte boundary after an empty stored block.
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

QByteArray gzip(const QByteArray &plain)
{
    return deflated(plain, 15 + 16);
}
QByteArray zlibWrapped(const QByteArray &plain)
{
    return deflated(plain, 15);
}
QByteArray raw(const QByteArray &plain)
{
    return deflated(plain, -15);
}

QString undecodable(const QString &reason)
{
    return "The download could not be decoded (" + reason + ").";
}

struct Decoded
{
    QByteArray output;
    int largest = 0; // the largest piece handed on
    QString error;   // empty: decoded and finished
};

Decoded decodeInChunks(const QByteArray &encoding, const QList<QByteArray> &chunks)
{
    ContentDecoder decoder(encoding);
    Decoded decoded;
    const auto sink = [&decoded](const QByteArray &piece) {
        decoded.output += piece;
        decoded.largest = qMax(decoded.largest, int(piece.size()));
        return true;
    };
    for (const QByteArray &chunk : chunks) {
        if (!decoder.decode(chunk, sink, decoded.error))
            return decoded;
    }
    if (decoder.finish(decoded.error))
        decoded.error.clear();
    return decoded;
}

QList<QByteArray> bytes(const QByteArray &input)
{
    QList<QByteArray> chunks;
    for (const char byte : input)
        chunks.append(QByteArray(1, byte));
    return chunks;
}

} // namespace

// A deflate body's first two bytes tell a zlib or gzip header from raw deflate
// data (which some servers send), however the body is cut into chunks.
void tst_ContentDecoder::deflateStart_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("error"); // empty: decoded and finished

    const QByteArray body = "an installer package", rawBody = raw(body), wrapped = zlibWrapped(body);
    // Raw deflate data, a stored block of 29 bytes, whose first two bytes
    // would also do for a zlib header: taken for one, whatever the chunks.
    const QByteArray zlibLike = QByteArray::fromHex("081d00e2ff") + QByteArray(29, 'p') + QByteArray::fromHex("0300");
    const auto row = [](const char *tag, const QList<QByteArray> &chunks, const QByteArray &output,
                        const QString &error = QString()) { QTest::newRow(tag) << chunks << output << error; };
    row("raw-after-empty-chunk", {"", rawBody}, body);
    row("raw-first-byte-alone", {rawBody.left(1), rawBody.mid(1)}, body);
    row("raw-byte-by-byte", bytes(rawBody), body);
    row("zlib-first-byte-alone", {wrapped.left(1), "", wrapped.mid(1)}, body);
    row("gzip-first-byte-alone", {gzip(body).left(1), gzip(body).mid(1)}, body);
    row("zlib-like-raw-whole", {zlibLike}, "", undecodable("invalid stored block lengths"));
    row("zlib-like-raw-after-two-bytes", {zlibLike.left(2), zlibLike.mid(2)}, "",
        undecodable("invalid stored block lengths"));
}

void tst_ContentDecoder::deflateStart()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QByteArray, output);
    QFETCH(QString, error);

    const Decoded decoded = decodeInChunks("deflate", chunks);
    QCOMPARE(decoded.error, error);
    QCOMPARE(decoded.output, output);
}

QTEST_MAIN(tst_ContentDecoder)
#include "tst_ContentDecoder.moc"
