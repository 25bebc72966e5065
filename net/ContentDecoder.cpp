#include "ContentDecoder.h"

#include "ValueText_p.h"
#include "VisibleText.h"

#include <zlib.h>

#include <algorithm>
#include <utility>

namespace {

constexpr int pieceSize = 1024 * 1024;
constexpr int shownEncodingLength = 40;

// inflate's window bits: 15 plus 32 reads a gzip or a zlib header, whichever
// comes; -15 reads raw deflate data, which some servers send as "deflate".
constexpr int gzipOrZlib = 15 + 32;
constexpr int rawDeflate = -15;

QString undecodable(const char *reason)
{
    return QStringLiteral("The download could not be decoded (%1).").arg(QString::fromLatin1(reason));
}

// Whether a "deflate" body that starts with these two bytes has a wrapper:
// gzip's magic, or a zlib header (RFC 1950: method 8, a window of at most
// 32 KiB, and a check that makes the pair a multiple of 31).
bool isWrapped(unsigned char first, unsigned char second)
{
    const bool gzip = first == 0x1f && second == 0x8b;
    const bool zlib = (first & 0x0f) == Z_DEFLATED && (first >> 4) <= 7 && (first * 256 + second) % 31 == 0;
    return gzip || zlib;
}

QByteArray normalized(const QByteArray &contentEncoding)
{
    return contentEncoding.trimmed().toLower();
}

} // namespace

struct ContentDecoder::Stream
{
    explicit Stream(bool deflate)
        : deflate(deflate)
    {
        ok = inflateInit2(&z, gzipOrZlib) == Z_OK;
    }
    ~Stream() { inflateEnd(&z); }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    z_stream z{};
    bool ok = false;
    bool deflate;
    bool sniffed = false; // a "deflate" body's first two bytes have told its kind
    QByteArray head;      // until then, the bytes that came
    bool ended = false;
    bool padded = false; // zero bytes have followed the end
    // inflate's output, allocated once: a body can come in thousands of tiny chunks.
    QByteArray piece = QByteArray(pieceSize, Qt::Uninitialized);
};

ContentDecoder::ContentDecoder(const QByteArray &contentEncoding)
{
    const QByteArray encoding = normalized(contentEncoding);
    if (encoding == "gzip" || encoding == "x-gzip" || encoding == "deflate")
        stream = std::make_unique<Stream>(encoding == "deflate");
}

ContentDecoder::~ContentDecoder() = default;
ContentDecoder::ContentDecoder(ContentDecoder &&) noexcept = default;
ContentDecoder &ContentDecoder::operator=(ContentDecoder &&) noexcept = default;

bool ContentDecoder::isSupported(const QByteArray &contentEncoding, QString &error)
{
    const QByteArray encoding = normalized(contentEncoding);
    if (encoding.isEmpty() || encoding == "identity" || encoding == "gzip" || encoding == "x-gzip" ||
        encoding == "deflate")
        return true;
    // Shown on one line and cut short: the header is the server's to fill.
    error = QStringLiteral("The download came in an encoding that cannot be decoded (\"%1\").")
                .arg(withVisibleControlCharacters(shortened(QString::fromLatin1(encoding), shownEncodingLength)));
    return false;
}

bool ContentDecoder::decode(const QByteArray &input, const std::function<bool(const QByteArray &)> &sink,
                            QString &error)
{
    if (!stream)
        return sink(input);
    Stream &s = *stream;
    if (!s.ok) {
        error = undecodable("no memory");
        return false;
    }
    QByteArray data = input;
    if (s.deflate && !s.sniffed) {
        // Told by the first two bytes alone, so that the chunks the body
        // comes in do not change how it is read.
        s.head += input;
        if (s.head.size() < 2)
            return true;
        data = std::exchange(s.head, QByteArray());
        if (!isWrapped(uchar(data.at(0)), uchar(data.at(1))))
            inflateReset2(&s.z, rawDeflate);
        s.sniffed = true;
    }
    s.z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    s.z.avail_in = uInt(data.size());
    for (;;) {
        if (s.ended && s.z.avail_in > 0) {
            // Zero bytes after the end are padding (gzip(1) takes them, as
            // tape blocks were filled up with them), to the end of the body.
            const Bytef *const rest = s.z.next_in;
            if (s.padded || *rest == 0) {
                s.padded = true;
                if (std::all_of(rest, rest + s.z.avail_in, [](Bytef byte) { return byte == 0; }))
                    return true;
                error = undecodable("data after its padding");
                return false;
            }
            // A second gzip member follows the first: decoded as its continuation.
            inflateReset(&s.z);
            s.ended = false;
        }
        s.z.next_out = reinterpret_cast<Bytef *>(s.piece.data());
        s.z.avail_out = pieceSize;
        const int result = inflate(&s.z, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
            error = undecodable(s.z.msg ? s.z.msg : "corrupt data");
            return false;
        }
        s.ended = result == Z_STREAM_END;
        const int produced = pieceSize - int(s.z.avail_out);
        if (produced > 0 && !sink(QByteArray(s.piece.constData(), produced)))
            return false;
        // Done when the input is used up and inflate had room to give all it had.
        if (s.z.avail_in == 0 && (s.z.avail_out > 0 || s.ended))
            break;
        if (result == Z_BUF_ERROR && produced == 0) {
            error = undecodable("no progress");
            return false;
        }
    }
    return true;
}

bool ContentDecoder::finish(QString &error) const
{
    if (!stream || stream->ended)
        return true;
    error = undecodable("it ends early");
    return false;
}
