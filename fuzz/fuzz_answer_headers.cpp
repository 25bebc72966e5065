// Takes each input as an answer's status and headers as Qt hands them on: a
// mode byte (bits 0-2: the status, bit 3: a Location, bit 4: after a
// redirect), then the Content-Length value (absent when there is no line
// feed) up to a line feed and the Content-Encoding after it.
#include "AnswerHeaders.h"

#include <cstddef>
#include <cstdint>

namespace {

void check(bool holds)
{
    if (!holds)
        __builtin_trap();
}

constexpr int statuses[] = {0, 200, 204, 206, 302, 304, 400, 404};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray rest(reinterpret_cast<const char *>(data) + 1, int(size) - 1);
    AnswerHeaders::Raw raw;
    raw.status = statuses[data[0] & 7];
    raw.reasonPhrase = QStringLiteral("Reason");
    raw.hasLocation = data[0] & 8;
    raw.redirected = data[0] & 16;
    const int lineFeed = rest.indexOf('\n');
    if (lineFeed >= 0)
        raw.contentLength = rest.left(lineFeed);
    raw.contentEncoding = rest.mid(lineFeed + 1);

    AnswerHeaders headers;
    QString refusal = QStringLiteral("untouched");
    const bool read = AnswerHeaders::read(raw, headers, refusal);
    // A refusal says why, within bounds (a value is shown cut, then its
    // control characters spelt out in four characters each); a success
    // writes nothing. Only a final answer is refused.
    check(read ? refusal == QLatin1String("untouched") : !refusal.isEmpty() && refusal.size() < 300);
    check(read || headers.kind == AnswerHeaders::Kind::Final);
    // A length is a number of bytes, and a file's announced size is one.
    check(!headers.contentLength || *headers.contentLength >= 0);
    check(!headers.announcedSize() || headers.announcedSize() == headers.contentLength);
    // Without a redirect and a comma, a length read is the header's number.
    if (headers.contentLength && !raw.redirected && !raw.contentLength->contains(','))
        check(raw.contentLength->trimmed().toLongLong() == *headers.contentLength);
    return 0;
}
