#include "AnswerHeaders.h"

#include "ContentDecoder.h"
#include "ValueText_p.h"
#include "VisibleText.h"

#include <QList>

namespace {

constexpr int shownHeaderLength = 40; // a garbled header is shown up to this length

// The one Content-Length of the answer, or none when it has none. False for a
// value that is not a number of bytes, or for two values that differ; after a
// redirect only the last value is the final answer's.
bool readContentLength(const std::optional<QByteArray> &header, bool redirected, std::optional<qint64> &length)
{
    length.reset();
    if (!header)
        return true;
    QList<QByteArray> values = header->split(',');
    if (redirected)
        values = {values.last()};
    for (const QByteArray &value : values) {
        bool fits = false;
        const qint64 number = value.trimmed().toLongLong(&fits);
        if (!isDecimal(value.trimmed()) || !fits || (length && *length != number)) {
            length.reset();
            return false;
        }
        length = number;
    }
    return true;
}

} // namespace

QString AnswerHeaders::statusRefusal() const
{
    // A 204, 206 or 304 ends without error in Qt, but has no file.
    if (status == 0 || status == 200)
        return QString();
    return QStringLiteral("The server answered %1 %2 instead of sending the file.").arg(status).arg(reasonPhrase);
}

std::optional<qint64> AnswerHeaders::announcedSize() const
{
    const QByteArray encoding = contentEncoding.trimmed().toLower();
    // An encoded body's Content-Length counts the bytes on the wire, not the file.
    return encoding.isEmpty() || encoding == "identity" ? contentLength : std::nullopt;
}

bool AnswerHeaders::read(const Raw &raw, AnswerHeaders &headers, QString &refusal)
{
    headers = AnswerHeaders();
    headers.status = raw.status;
    headers.reasonPhrase = raw.reasonPhrase;
    headers.contentEncoding = raw.contentEncoding;
    if (raw.status >= 400)
        headers.kind = Kind::Error;
    else if (raw.status >= 300 && raw.hasLocation)
        headers.kind = Kind::Redirect;
    const bool lengthRead = readContentLength(raw.contentLength, raw.redirected, headers.contentLength);
    if (headers.kind != Kind::Final)
        return true;
    if (const QString status = headers.statusRefusal(); !status.isEmpty()) {
        refusal = status;
        return false;
    }
    if (!lengthRead) {
        refusal = QStringLiteral("The server's answer is invalid: its Content-Length is \"%1\".")
                      .arg(withVisibleControlCharacters(
                          shortened(QString::fromLatin1(*raw.contentLength), shownHeaderLength)));
        return false;
    }
    return ContentDecoder::isSupported(raw.contentEncoding, refusal);
}
