#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// What a download takes from one HTTP answer's status and headers, read once
// when they arrive, from the values as Qt hands them on.
struct AnswerHeaders
{
    // What the answer is to the transfer.
    enum class Kind {
        Final,    // what Qt ends the transfer with, as a success: the file, if its status is 200
        Redirect, // 3xx with a Location, which Qt follows or refuses
        Error,    // 400 or above: Qt ends the transfer with its own text; the body is the server's page
    };

    // The answer as the reply shows it. Qt joins a repeated header's values
    // with ", ", and after a redirect it keeps the earlier answers' headers
    // before the final one's (Qt 5.15 gives "107, 200000").
    struct Raw
    {
        int status = 0; // none: 0
        QString reasonPhrase;
        bool hasLocation = false;
        std::optional<QByteArray> contentLength;
        QByteArray contentEncoding;
        bool redirected = false; // an earlier answer was a redirect that Qt followed
    };

    Kind kind = Kind::Final;
    int status = 0;
    QString reasonPhrase;
    std::optional<qint64> contentLength; // the bytes of the body on the wire
    QByteArray contentEncoding;

    // Why this answer, as the final one, is not the file ("The server answered
    // %1 %2 instead of sending the file."); empty for 200 or no status.
    [[nodiscard]] QString statusRefusal() const;
    // The size the file will have, as far as the headers tell it: the
    // Content-Length of a body that is not encoded.
    [[nodiscard]] std::optional<qint64> announcedSize() const;

    // Reads `raw` into `headers` (whatever comes of it). False, with refusal, for a Final answer
    // that cannot be the file: statusRefusal(), a Content-Length that is not
    // one number of bytes ("The server's answer is invalid: …"), or an
    // encoding that ContentDecoder cannot decode. A redirect's or an error's
    // Content-Length is read where it can be, and nothing of it refused.
    [[nodiscard]] static bool read(const Raw &raw, AnswerHeaders &headers, QString &refusal);
};
