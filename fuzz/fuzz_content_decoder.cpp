// Takes each input as a body sent with Content-Encoding gzip or deflate and
// decodes it twice: in one chunk, and in the chunks the downloader might see.
// The first byte picks the encoding (bit 0) and the largest chunk (1 << bits
// 1-4), the second seeds the chunk lengths; the rest is the body.
#include "ContentDecoder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

constexpr int largestPiece = 1024 * 1024;
constexpr int mostChunks = 64; // the rest of the body comes as one more

struct Decoded
{
    QByteArray output;
    QString error; // empty: decoded and finished
};

void check(bool holds)
{
    if (!holds)
        __builtin_trap();
}

// Decodes body in chunks of the given lengths, then whatever is left in one.
Decoded decode(const QByteArray &encoding, const QByteArray &body, const std::vector<int> &lengths)
{
    ContentDecoder decoder(encoding);
    Decoded decoded;
    const auto sink = [&decoded](const QByteArray &piece) {
        check(piece.size() <= largestPiece);
        decoded.output += piece;
        return true;
    };
    int at = 0;
    for (std::size_t i = 0; i <= lengths.size(); ++i) {
        const int length = i < lengths.size() ? lengths[i] : body.size() - at;
        const bool ok = decoder.decode(body.mid(at, length), sink, decoded.error);
        // A failure always says why, a success never says anything.
        check(ok == decoded.error.isEmpty());
        if (!ok)
            return decoded;
        at += length;
    }
    const bool finished = decoder.finish(decoded.error);
    check(finished == decoded.error.isEmpty());
    QString again;
    check(decoder.finish(again) == finished && again == decoded.error);
    return decoded;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const QByteArray encoding = data[0] & 1 ? "deflate" : "gzip";
    const int largestChunk = 1 << ((data[0] >> 1) & 15);
    const QByteArray body(reinterpret_cast<const char *>(data) + 2, int(size) - 2);

    // xorshift32, seeded by the second byte.
    std::uint32_t state = 0x9e3779b9u ^ data[1];
    std::vector<int> lengths;
    for (int at = 0; at < body.size() && int(lengths.size()) < mostChunks;) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        lengths.push_back(std::min(int(state % std::uint32_t(largestChunk + 1)), body.size() - at));
        at += lengths.back();
    }

    const Decoded whole = decode(encoding, body, {});
    const Decoded chunked = decode(encoding, body, lengths);
    // The chunks change nothing: the same success, the same failure, and the
    // same bytes (a failing body may hand on more of them before failing in
    // some chunkings, but never other ones).
    check(whole.error == chunked.error);
    if (whole.error.isEmpty())
        check(whole.output == chunked.output);
    else
        check(whole.output.size() <= chunked.output.size() ? chunked.output.startsWith(whole.output)
                                                           : whole.output.startsWith(chunked.output));
    return 0;
}
