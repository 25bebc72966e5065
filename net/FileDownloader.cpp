#include "FileDownloader.h"

#include "ContentDecoder.h"
#include "FreeSpace.h"
#include "PinCheck.h"
#include "Sha256.h"
#include "ValueText_p.h"
#include "VisibleText.h"
#include "WrittenFile.h"

#include <QDir>
#include <QFileInfo>
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
    std::unique_ptr<WrittenFile> file; // file mode
    QByteArray *target = nullptr;      // byte-array mode
    PinCheck pinCheck;
    ContentDecoder decoder;
    qint64 total = 0;    // for progress: Content-Length, or the reply's own total
    qint64 received = 0; // bytes on the wire so far
    bool headersChecked = false;
};

namespace {

// Bound on what a file-mode reply buffers ahead of our writes. Without it Qt's
// network thread reads the socket as fast as loopback allows and the unread data
// piles up in the reply (about 1 GB resident for a 1 GiB file, see the README).
constexpr qint64 fileModeReadBufferSize = 1024 * 1024;

constexpr std::chrono::milliseconds defaultStallLimit{60000};

constexpr int shownHeaderLength = 40; // a garbled header is shown up to this length

QString ioFailure(const QString &reason)
{
    return QStringLiteral("I/O failure (%1)").arg(reason);
}

// Why the reply's final answer is not the file, or nothing when it is: only a
// 200 answer is (a 204, 206 or 304 ends without error in Qt, but has no file).
QString statusRefusal(const QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || status.toInt() == 200)
        return QString();
    return QStringLiteral("The server answered %1 %2 instead of sending the file.")
        .arg(status.toInt())
        .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
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

// The Content-Length of the reply's final answer: none when it has none, else
// its one value. False, with error, for a value that is not a number of bytes
// or for two values that differ. Qt joins repeated headers with ", ", and
// after a redirect it also keeps the earlier answers' headers before the final
// one's (seen with Qt 5.15 as "107, 200000"): then only the last value counts.
bool readContentLength(const QNetworkReply *reply, std::optional<qint64> &length, QString &error)
{
    length.reset();
    if (!reply->hasRawHeader("Content-Length"))
        return true;
    const QByteArray header = reply->rawHeader("Content-Length");
    QList<QByteArray> values = header.split(',');
    if (reply->url() != reply->request().url())
        values = {values.last()};
    for (const QByteArray &value : values) {
        bool fits = false;
        const qint64 number = value.trimmed().toLongLong(&fits);
        if (!isDecimal(value.trimmed()) || !fits || (length && *length != number)) {
            const QString shown = shortened(QString::fromLatin1(header), shownHeaderLength);
            error = QStringLiteral("The server's answer is invalid: its Content-Length is \"%1\".")
                        .arg(withVisibleControlCharacters(shown));
            length.reset();
            return false;
        }
        length = number;
    }
    return true;
}

// The Content-Length for progress and for a body cut short: none when absent
// or invalid (an invalid one has ended the transfer already).
std::optional<qint64> contentLength(const QNetworkReply *reply)
{
    std::optional<qint64> length;
    QString ignored;
    return readContentLength(reply, length, ignored) ? length : std::nullopt;
}

// An encoded body's Content-Length counts the bytes on the wire, not the file.
bool isIdentityEncoded(const QNetworkReply *reply)
{
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    return encoding.isEmpty() || encoding == "identity";
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

    // Read first: a pin that cannot be read refuses the download before
    // anything is made or sent.
    const QUrl parsed(url, QUrl::TolerantMode);
    auto next = std::make_unique<Transfer>();
    DownloadPin pin;
    if (!DownloadPin::read(parsed, pin, error))
        return false;
    next->pinCheck = PinCheck(pin);

    // Nothing else is fetched, and nothing is written for another scheme.
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
    // A control character would cut the name short or hide part of it.
    const QString fileName = parsed.fileName(QUrl::FullyDecoded);
    if (containsControlCharacter(fileName)) {
        error = QStringLiteral("The file name \"%1\" contains a control character.")
                    .arg(withVisibleControlCharacters(fileName));
        return false;
    }

    // A QDir on the empty path is the current directory, so a relative dirPath
    // is taken relative to it; mkpath succeeds when the directory exists.
    if (!QDir(QString()).mkpath(dirPath)) {
        error = QStringLiteral("The directory %1 is not accessible.").arg(dirPath);
        return false;
    }

    filePath = dirPath + QLatin1Char('/') + fileName;
    QString reason;
    next->file = std::make_unique<WrittenFile>();
    if (!next->file->open(filePath, reason, hashingFile || !pin.sha256.isEmpty())) {
        error = QStringLiteral("Failed to create %1 (%2).").arg(filePath, reason);
        return false;
    }
    start(parsed, std::move(next));
    return true;
}

bool FileDownloader::download(QString url, QByteArray *target, QString &error)
{
    clean();
    const QUrl parsed(url, QUrl::TolerantMode);
    DownloadPin pin;
    if (!DownloadPin::read(parsed, pin, error))
        return false;
    auto next = std::make_unique<Transfer>();
    next->target = target;
    next->pinCheck = PinCheck(pin);
    start(parsed, std::move(next));
    return true;
}

bool FileDownloader::download(QString url, QString &error)
{
    Q_UNUSED(error)
    start(QUrl(url, QUrl::TolerantMode), std::make_unique<Transfer>());
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
    // Only where partialDataReady drains the reply: in byte-array mode (and for
    // the bare request step) the body must wait in the reply until it finishes,
    // and a bounded buffer would stall the transfer.
    if (transfer->file)
        reply->setReadBufferSize(fileModeReadBufferSize);
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
        // endless body stops here), and deleted later: this may run inside its
        // own signal. One that Qt has finished is left to its manager, which
        // clean() releases: Qt may still have queued calls that read it (an
        // insecure redirect finishes its reply twice).
        if (!reply->isFinished()) {
            reply->abort();
            reply->deleteLater();
        }
    }
    if (ended->file && fate == FileFate::Remove)
        ended->file->remove();
    else if (ended->file)
        ended->file->close();
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
    QNetworkReply *reply = transfer->reply;
    if (transfer->headersChecked)
        return;
    // Neither a redirect that Qt follows nor an error answer, which Qt reports
    // when it ends, carries the file; any other answer but 200 is refused now.
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400 || (status >= 300 && reply->hasRawHeader("Location")))
        return;
    transfer->headersChecked = true;

    QString error = statusRefusal(reply);
    std::optional<qint64> length;
    if (!error.isEmpty() || !readContentLength(reply, length, error)) {
        end(error, FileFate::Remove);
        return;
    }
    transfer->decoder = ContentDecoder(reply->rawHeader("Content-Encoding"));
    const std::optional<qint64> announced = isIdentityEncoded(reply) ? length : std::nullopt;
    if (!ContentDecoder::isSupported(reply->rawHeader("Content-Encoding"), error) ||
        (announced && !transfer->pinCheck.checkAnnounced(*announced, error))) {
        end(error, FileFate::Remove);
        return;
    }
    const std::optional<qint64> needed = transfer->pinCheck.pin().size ? transfer->pinCheck.pin().size : announced;
    qint64 available = 0;
    // Asked before the body is written, so the space of a file emptied by this
    // download counts as free.
    const QString directory = transfer->file ? QFileInfo(transfer->file->path()).absolutePath() : QString();
    if (transfer->file && needed && !hasRoomFor(directory, quint64(*needed), available)) {
        end(QStringLiteral("Not enough free space in %1 for the download: %2 bytes needed, %3 bytes free.")
                .arg(directory, QString::number(*needed), QString::number(available)),
            FileFate::Remove);
    }
}

bool FileDownloader::writeDecoded(const QByteArray &data, QString &error)
{
    return transfer->decoder.decode(
        data,
        [this, &error](const QByteArray &piece) {
            if (!transfer->pinCheck.add(piece, error))
                return false;
            if (transfer->file->write(piece))
                return true;
            error = ioFailure(transfer->file->errorString());
            return false;
        },
        error);
}

void FileDownloader::partialDataReady()
{
    if (!transfer)
        return;
    stallTimer->start();
    QNetworkReply *reply = transfer->reply;
    if (const std::optional<qint64> length = contentLength(reply); length && *length != 0)
        transfer->total = *length;
    transfer->received += reply->bytesAvailable();

    // A receiver may run a nested event loop (a modal box) and call clean() or
    // start another download meanwhile; then this reply is no longer ours.
    QPointer<QNetworkReply> guard(reply);
    emit downloadProgress(static_cast<qulonglong>(transfer->received), static_cast<qulonglong>(transfer->total));
    if (!guard || !transfer || transfer->reply != reply)
        return;

    QString error;
    if (!transfer->file) {
        // The body waits in the reply until it ends; a pinned size still
        // stops one that grows past it (an encoded one is held to it decoded).
        if (!reply->hasRawHeader("Content-Encoding") && !transfer->pinCheck.checkGrowth(reply->bytesAvailable(), error))
            end(error, FileFate::Keep);
        return;
    }
    // Empty when a receiver's nested event loop let a later call take the data.
    const QByteArray chunk = reply->readAll();
    // Refused by its pin, not decodable or not written: never kept as the
    // update, and on a full disk a partial file would keep the disk full.
    if (!chunk.isEmpty() && !writeDecoded(chunk, error))
        end(error, FileFate::Remove);
}

void FileDownloader::on_download_progress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived)
    if (!transfer)
        return;
    transfer->total = bytesTotal;
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
    if (const QString refusal = statusRefusal(reply); !refusal.isEmpty()) {
        end(refusal, FileFate::Remove);
        return;
    }
    if (!transfer->file && !transfer->target)
        return; // the request step alone: counted, never finished

    const QByteArray rest = reply->readAll();
    // Qt 5.15 can end a reply without error when the server closes the
    // connection before the announced Content-Length (its HTTP channel takes
    // the close for the end of the body). A short body is not the whole file.
    const auto announced = quint64(contentLength(reply).value_or(0));
    const auto delivered = quint64(transfer->file ? transfer->received + rest.size() : rest.size());
    if (delivered < announced) {
        if (transfer->file)
            static_cast<void>(transfer->file->write(rest)); // kept as far as it came, like any cut transfer
        end(QStringLiteral("Incomplete download (%1 of %2 bytes).").arg(delivered).arg(announced), FileFate::Keep);
        return;
    }
    complete(rest);
}

void FileDownloader::complete(const QByteArray &rest)
{
    QString error;
    if (transfer->target) {
        QByteArray decoded;
        const auto collect = [&decoded](const QByteArray &piece) { return decoded += piece, true; };
        if (!transfer->decoder.decode(rest, collect, error) || !transfer->decoder.finish(error) ||
            !transfer->pinCheck.add(decoded, error) ||
            !transfer->pinCheck.checkComplete(Sha256::hash(decoded), error)) {
            end(error, FileFate::Keep);
            return;
        }
        *transfer->target = decoded;
        end(std::nullopt, FileFate::Keep);
        return;
    }
    WrittenFile &file = *transfer->file;
    if (!writeDecoded(rest, error) || !transfer->decoder.finish(error)) {
        end(error, FileFate::Remove);
        return;
    }
    if (!file.close()) {
        end(ioFailure(file.errorString()), FileFate::Remove);
        return;
    }
    // Compared only now that every byte is on disk: the file that finished()
    // hands on is the one checked.
    const QByteArray sha256 = file.sha256();
    if (!transfer->pinCheck.checkComplete(sha256, error)) {
        end(error, FileFate::Remove);
        return;
    }
    writtenSha256 = sha256;
    writtenIdentity = file.identity();
    end(std::nullopt, FileFate::Keep);
}
