#include "FileDownloader.h"

#include "AnswerHeaders.h"
#include "ContentDecoder.h"
#include "FileSink_p.h"
#include "MemorySink_p.h"
#include "PinCheck.h"
#include "VisibleText.h"
#include "WrittenFile.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>

#include <algorithm>

// Everything of one transfer, from download() to its end.
struct FileDownloader::Transfer
{
    QPointer<QNetworkReply> reply;
    std::unique_ptr<BodySink> sink;
    WrittenFile *file = nullptr; // file mode: the sink's file, for what only a file has
    bool finishes = true;        // false for the request step alone, which only counts its body
    PinCheck pinCheck;
    ContentDecoder decoder;
    AnswerHeaders headers;    // of the latest answer
    bool headersRead = false; // of any answer
    bool checked = false;     // the final answer's headers have been held to the pin and the free space
    qint64 replyTotal = 0;    // the reply's own total, for progress without Content-Length
    qint64 received = 0;      // bytes on the wire so far
    qint64 errorPageKept = 0; // bytes of an error answer's page written
};

namespace {

// Bound on what a reply buffers ahead of our writes. Without it Qt's network
// thread reads the socket as fast as loopback allows and the unread data piles
// up in the reply (about 1 GB resident for a 1 GiB file, see bench/README.md).
constexpr qint64 readBufferSize = 1024 * 1024;

constexpr std::chrono::milliseconds defaultStallLimit{60000};

// What is kept of an error answer's page: enough to read it, never a full
// disk (or memory), whatever its server sends.
constexpr qint64 errorPageLimit = 64 * 1024;

// The request step alone: its body is counted for progress, then let go.
class CountedOnly final : public BodySink
{
public:
    [[nodiscard]] bool hasRoomFor(qint64, QString &) const override { return true; }
    [[nodiscard]] bool write(const QByteArray &, QString &) override { return true; }
    [[nodiscard]] bool close(QString &) override { return true; }
    [[nodiscard]] QByteArray sha256() override { return QByteArray(); }
    void deliver() override {}
    void abandon(bool) override {}
};

// url as it is to be fetched, with its pin. False, with error, when it must
// not be: its pin cannot be read, or its scheme is not http or https.
bool readUrl(const QString &url, QUrl &parsed, DownloadPin &pin, QString &error)
{
    parsed = QUrl(url, QUrl::TolerantMode);
    if (!DownloadPin::read(parsed, pin, error))
        return false;
    const QString scheme = parsed.scheme().toLower();
    if (scheme.isEmpty()) {
        error = QStringLiteral("The URL \"%1\" has no scheme: only http and https URLs are downloaded.")
                    .arg(withVisibleControlCharacters(parsed.toString(QUrl::RemovePassword)));
        return false;
    }
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        error = QStringLiteral("Only http and https URLs are downloaded, not \"%1\".").arg(parsed.scheme());
        return false;
    }
    return true;
}

// Qt's error text shows the URL as it was asked for, password included.
QString withoutPasswords(QString text, const QNetworkReply *reply)
{
    for (const QUrl &url : {reply->request().url(), reply->url()}) {
        if (!url.password().isEmpty())
            text.replace(url.toString(), url.toString(QUrl::RemovePassword));
    }
    return text;
}

AnswerHeaders::Raw rawHeaders(const QNetworkReply *reply)
{
    AnswerHeaders::Raw raw;
    raw.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    raw.reasonPhrase = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    raw.hasLocation = reply->hasRawHeader("Location");
    if (reply->hasRawHeader("Content-Length"))
        raw.contentLength = reply->rawHeader("Content-Length");
    raw.contentEncoding = reply->rawHeader("Content-Encoding");
    raw.redirected = reply->url() != reply->request().url();
    return raw;
}

} // namespace

FileDownloader::FileDownloader(QObject *parent)
    : QObject(parent)
    , stallTimer(new QTimer(this))
{
    stallTimer->setSingleShot(true);
    // A coarse timer may fire 5 % early: a minute must be a whole minute.
    stallTimer->setTimerType(Qt::PreciseTimer);
    stallTimer->setInterval(defaultStallLimit);
    connect(stallTimer, &QTimer::timeout, this, &FileDownloader::stalled);
}

// Qt's parent-child ownership deletes the manager (with its replies).
FileDownloader::~FileDownloader() = default;

bool FileDownloader::download(QString url, QString dirPath, QString &filePath, QString &error)
{
    clean();
    // Read first: a URL that is refused makes nothing and sends nothing.
    QUrl parsed;
    DownloadPin pin;
    if (!readUrl(url, parsed, pin, error))
        return false;
    // A control character would cut the name short or hide part of it.
    const QString fileName = parsed.fileName(QUrl::FullyDecoded);
    if (containsControlCharacter(fileName)) {
        error = QStringLiteral("The file name \"%1\" contains a control character.")
                    .arg(withVisibleControlCharacters(fileName));
        return false;
    }

    auto file = std::make_unique<WrittenFile>();
    const bool created = file->create(dirPath, fileName, error, hashingFile || !pin.sha256.isEmpty());
    // Handed back as soon as the folder is there, even when the file cannot be made.
    if (!file->path().isEmpty())
        filePath = file->path();
    if (!created)
        return false;
    auto next = std::make_unique<Transfer>();
    next->file = file.get();
    next->sink = std::make_unique<FileSink>(std::move(file));
    next->pinCheck = PinCheck(pin);
    start(parsed, std::move(next));
    return true;
}

bool FileDownloader::download(QString url, QByteArray *target, QString &error)
{
    clean();
    QUrl parsed;
    DownloadPin pin;
    if (!readUrl(url, parsed, pin, error))
        return false;
    auto next = std::make_unique<Transfer>();
    next->sink = std::make_unique<MemorySink>(target);
    next->pinCheck = PinCheck(pin);
    start(parsed, std::move(next));
    return true;
}

bool FileDownloader::download(QString url, QString &error)
{
    QUrl parsed;
    DownloadPin pin;
    if (!readUrl(url, parsed, pin, error))
        return false;
    auto next = std::make_unique<Transfer>();
    next->sink = std::make_unique<CountedOnly>();
    next->finishes = false;
    next->pinCheck = PinCheck(pin);
    start(parsed, std::move(next));
    return true;
}

void FileDownloader::start(const QUrl &url, std::unique_ptr<Transfer> next)
{
    // One transfer at a time, also for the request step called on its own.
    clean();
    transfer = std::move(next);
    manager = new QNetworkAccessManager(this);
    connect(manager, &QNetworkAccessManager::finished, this, &FileDownloader::dataReady);

    QNetworkRequest request(url);
    request.setSslConfiguration(QSslConfiguration::defaultConfiguration());
    // Follow http -> http/https and https -> https; Qt refuses https -> http with
    // InsecureRedirectError. Unfollowed, a redirect's own body (a "moved" page)
    // would be handed on as the downloaded file.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // HTTP/1.1 with either toolkit (Qt 6 offers HTTP/2 over TLS by default):
    // one large body gains nothing from HTTP/2, and the bounded read buffer,
    // the progress and the stall limit are proven over HTTP/1.1.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    // Qt's own value. Set by us, it stops Qt from inflating an encoded body in
    // memory (without bound): ContentDecoder inflates it piece by piece.
    request.setRawHeader("Accept-Encoding", "gzip, deflate");

    QNetworkReply *reply = manager->get(request);
    transfer->reply = reply;
    // Bounded, as partialDataReady takes all that came every time.
    reply->setReadBufferSize(readBufferSize);
    connect(reply, &QIODevice::readyRead, this, &FileDownloader::partialDataReady);
    connect(reply, &QNetworkReply::downloadProgress, this, &FileDownloader::on_download_progress);
    connect(reply, &QNetworkReply::metaDataChanged, this, &FileDownloader::headersArrived);
    stallTimer->start();
}

void FileDownloader::clean()
{
    if (manager) {
        disconnect(manager, nullptr, this, nullptr);
        manager->deleteLater();
        manager = nullptr;
    }
    if (transfer && transfer->reply) {
        disconnect(transfer->reply, nullptr, this, nullptr);
        transfer->reply->deleteLater();
    }
    // Closed now: a new download of the same path empties and writes it next.
    transfer.reset();
    writtenSha256.clear();
    writtenIdentity.reset();
    stallTimer->stop();
}

void FileDownloader::setStallLimit(std::chrono::milliseconds limit)
{
    stallTimer->setInterval(limit);
}

void FileDownloader::setHashingFile(bool wanted)
{
    hashingFile = wanted;
    if (transfer && transfer->file)
        transfer->file->setHashed(wanted || !transfer->pinCheck.pin().sha256.isEmpty());
}

void FileDownloader::setWrittenBytesConsumer(ChunkConsumer *consumer)
{
    if (transfer && transfer->file)
        transfer->file->setConsumer(consumer);
}

void FileDownloader::end(const std::optional<QString> &failure, FileFate fate)
{
    // Taken out first: a receiver may start another download, or clean up,
    // from within the signal (a modal box runs a nested event loop).
    const std::unique_ptr<Transfer> ended = std::move(transfer);
    stallTimer->stop();
    if (QNetworkReply *reply = ended->reply) {
        disconnect(reply, nullptr, this, nullptr);
        // One still running is aborted now, so that nothing more is read (an
        // endless body stops here). Either way it is left to its manager,
        // which clean() releases: this may run inside the reply's own signal,
        // where a receiver's nested event loop could run a deleteLater (as
        // QTest::qWait does) under Qt's feet, and Qt may still have queued
        // calls that read a finished one (an insecure redirect finishes its
        // reply twice).
        if (!reply->isFinished())
            reply->abort();
    }
    if (failure)
        ended->sink->abandon(fate == FileFate::Remove);
    else
        ended->sink->deliver();
    if (failure)
        emit errorOccurred(*failure);
    else
        emit finished();
}

void FileDownloader::stalled()
{
    if (transfer)
        end(QStringLiteral("Nothing arrived for %1 seconds.").arg(stallTimer->intervalAsDuration().count() / 1000.0),
            FileFate::Keep);
}

void FileDownloader::headersArrived()
{
    if (!transfer)
        return;
    stallTimer->start();
    QString refusal;
    const bool readable = AnswerHeaders::read(rawHeaders(transfer->reply), transfer->headers, refusal);
    transfer->headersRead = true;
    // A redirect that Qt follows and an error answer, which Qt reports when
    // it ends, carry no file; the final answer is checked once.
    if (transfer->headers.kind != AnswerHeaders::Kind::Final || transfer->checked)
        return;
    transfer->checked = true;
    const std::optional<qint64> announced = transfer->headers.announcedSize();
    const std::optional<qint64> pinned = transfer->pinCheck.pin().size;
    const std::optional<qint64> needed = pinned ? pinned : announced;
    if (!readable || (announced && !transfer->pinCheck.checkAnnounced(*announced, refusal)) ||
        (needed && !transfer->sink->hasRoomFor(*needed, refusal))) {
        end(refusal, FileFate::Remove);
        return;
    }
    transfer->decoder = ContentDecoder(transfer->headers.contentEncoding);
}

bool FileDownloader::take(const QByteArray &data, QString &error)
{
    Transfer &current = *transfer;
    switch (current.headers.kind) {
    case AnswerHeaders::Kind::Final:
        return current.decoder.decode(
            data,
            [&current, &error](const QByteArray &piece) {
                return current.pinCheck.add(piece, error) && current.sink->write(piece, error);
            },
            error);
    case AnswerHeaders::Kind::Error: {
        // The server's page, as it came and as far as a page goes: Qt's error
        // text follows, which says more than any pin or decoding could.
        const QByteArray page = data.left(int(std::max<qint64>(0, errorPageLimit - current.errorPageKept)));
        current.errorPageKept += page.size();
        return page.isEmpty() || current.sink->write(page, error);
    }
    case AnswerHeaders::Kind::Redirect:
        break;
    }
    return true;
}

void FileDownloader::partialDataReady()
{
    if (!transfer)
        return;
    stallTimer->start();
    QNetworkReply *reply = transfer->reply;
    transfer->received += reply->bytesAvailable();
    const std::optional<qint64> length = transfer->headers.contentLength;
    const qint64 total = length && *length != 0 ? *length : transfer->replyTotal;

    // A receiver may run a nested event loop (a modal box) and call clean() or
    // start another download meanwhile; then this reply is no longer ours.
    QPointer<QNetworkReply> guard(reply);
    emit downloadProgress(static_cast<qulonglong>(transfer->received), static_cast<qulonglong>(total));
    if (!guard || !transfer || transfer->reply != reply)
        return;

    // Empty when a receiver's nested event loop let a later call take the data.
    // Read in one piece: readAll() grows its array 16 KiB at a time.
    const QByteArray chunk = reply->read(reply->bytesAvailable());
    QString error;
    // Refused by its pin, not decodable or not written: never kept as the
    // update, and on a full disk a partial file would keep the disk full.
    if (!chunk.isEmpty() && !take(chunk, error))
        end(error, FileFate::Remove);
}

void FileDownloader::on_download_progress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived)
    if (!transfer)
        return;
    transfer->replyTotal = bytesTotal;
    stallTimer->start();
}

void FileDownloader::dataReady(QNetworkReply *reply)
{
    if (!transfer || reply != transfer->reply)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        end(withoutPasswords(reply->errorString(), reply), FileFate::Keep);
        return;
    }
    if (!transfer->headersRead) {
        headersArrived();
        if (!transfer)
            return;
    }
    if (const QString refusal = transfer->headers.statusRefusal(); !refusal.isEmpty()) {
        end(refusal, FileFate::Remove);
        return;
    }
    // The request step alone is over; nothing more is awaited.
    if (!transfer->finishes) {
        stallTimer->stop();
        return;
    }

    const QByteArray rest = reply->readAll();
    // Qt 5.15 can end a reply without error when the server closes the
    // connection before the announced Content-Length (its HTTP channel takes
    // the close for the end of the body). A short body is not the whole file.
    const auto announced = quint64(transfer->headers.contentLength.value_or(0));
    const auto delivered = quint64(transfer->received + rest.size());
    if (delivered < announced) {
        QString ignored;
        static_cast<void>(take(rest, ignored)); // kept as far as it came, like any cut transfer
        end(QStringLiteral("Incomplete download (%1 of %2 bytes).").arg(delivered).arg(announced), FileFate::Keep);
        return;
    }
    complete(rest);
}

void FileDownloader::complete(const QByteArray &rest)
{
    QString error;
    BodySink &sink = *transfer->sink;
    if (!take(rest, error) || !transfer->decoder.finish(error) || !sink.close(error)) {
        end(error, FileFate::Remove);
        return;
    }
    // Compared only now that every byte is kept: the file that finished()
    // hands on is the one checked.
    const QByteArray sha256 = sink.sha256();
    if (!transfer->pinCheck.checkComplete(sha256, error)) {
        end(error, FileFate::Remove);
        return;
    }
    if (transfer->file) {
        writtenSha256 = sha256;
        writtenIdentity = transfer->file->identity();
    }
    end(std::nullopt, FileFate::Keep);
}
