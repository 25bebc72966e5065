#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

// Decodes a body that a server sent with Content-Encoding gzip or deflate, as
// it arrives, handing the decoded bytes on in pieces of bounded size: memory
// stays flat whatever a small body inflates to.
class ContentDecoder
{
public:
    // Takes the encoding named by the answer's Content-Encoding header; none
    // or "identity" is passed through as it is.
    explicit ContentDecoder(const QByteArray &contentEncoding = QByteArray());
    ~ContentDecoder();
    ContentDecoder(ContentDecoder &&) noexcept;
    ContentDecoder &operator=(ContentDecoder &&) noexcept;

    // False, with error, for an encoding (a Content-Encoding header) that this
    // cannot decode.
    [[nodiscard]] static bool isSupported(const QByteArray &contentEncoding, QString &error);
    // Decodes input and hands the result to sink in pieces of at most 1 MiB.
    // False, with error set, for data that does not decode, or when sink
    // returns false (which sets error itself).
    [[nodiscard]] bool decode(const QByteArray &input, const std::function<bool(const QByteArray &)> &sink,
                              QString &error);
    // The body has ended: false, with error, when its encoded stream has not.
    // Zero bytes after a gzip member are padding, as gzip(1) takes them.
    [[nodiscard]] bool finish(QString &error) const;

private:
    struct Stream;
    std::unique_ptr<Stream> stream; // none when nothing is to be decoded
};
