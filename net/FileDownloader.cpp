#include "FileDownloader.h"

#include "FreeSpace.h"
#include "Sha256.h"
#include "VisibleText.h"
#include "WrittenFile.h"

#include <QByteArray>
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
#include <limits>
#include <optional>

namespace {

// Bound on what a file-mode reply buffers ahead of our writes. Without it Qt's
// network thread reads the socket as fast as loopback allows and the unread data
// piles up in the reply (about 1 GB resident for a 1 GiB file, see the README).
constexpr qint64 fileModeReadBufferSize = 1024 * 1024;

constexpr std::chrono::milliseconds defaultStallLimit{60000};

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

// The Content-Length of the reply's final answer, 0 when it has none.
// After a redirect on a kept-alive connection Qt 5.15 sometimes sends the first
// request once more and merges that answer's headers into the reply; then the
// raw header reads "107, 200000" (the redirect page's length first, the final
// answer's last) and QNetworkReply::header() still gives the 107.
qulonglong contentLength(const QNetworkReply *reply)
{
    const QByteArray raw = reply->rawHeader("Content-Length");
    if (raw.contains(','))
        return raw.mid(raw.lastIndexOf(',') + 1).trimmed().toULongLong();
    return reply->header(QNetworkRequest::ContentLengthHeader).toULongLong();
}

// The size of the file as the final answer's headers announce it, if they do.
// An encoded body's Content-Length counts the bytes on the wire, not the file.
std::optional<qint64> announcedSize(const QNetworkReply *reply)
{
    if (!reply->hasRawHeader("Content-Length"))
        return std::nullopt;
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return std::nullopt;
    return qint64(qMin<qulonglong>(contentLength(reply), std::numeric_limits<qint64>::max()));
}

} // namespace

FileDownloader::FileDownloader(QObject *parent)
    : QObject(parent)
    , target(nullptr)
    , manager(nullptr)
    , currentReply(nullptr)
    , stallTimer(new QTimer(this))
{
    stallTimer->setSingleShot(true);
    // A coarse timer may fire 5 % early: a minute must be a whole minute.
    stallTimer->setTimerType(Qt::PreciseTimer);
    stallTimer->setInterval(defaultStallLimit);
    connect(stallTimer, &QTimer::timeout, this, &FileDownloader::stalled);
}

// Qt's parent-child ownership deletes the manager (with its replies) and the file.
FileDownloader::~FileDownloader() = default;

bool FileDownloader::download(QString url, QString dirPath, QString &filePath, QString &error)
{
    clean();

    // Read first: a pin that cannot be read refuses the download before
    // anything is made or sent.
    DownloadPin pin;
    if (!DownloadPin::read(QUrl(url, QUrl::TolerantMode), pin, error))
        return false;

    // Nothing else is fetched, and nothing is written for another scheme.
    const QUrl parsed(url, QUrl::TolerantMode);
    const QString scheme = parsed.scheme().toLower();
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
    file = std::make_unique<WrittenFile>();
    if (!file->open(filePath, reason, hashingFile || !pin.sha256.isEmpty())) {
        error = QStringLiteral("Failed to create %1 (%2).").arg(filePath, reason);
        clean();
        return false;
    }

    pinCheck = PinCheck(pin);
    return download(url, error);
}

bool FileDownloader::download(QString url, QByteArray *target, QString &error)
{
    clean();
    DownloadPin pin;
    if (!DownloadPin::read(QUrl(url, QUrl::TolerantMode), pin, error))
        return false;
    this->target = target;
    pinCheck = PinCheck(pin);
    return download(url, error);
}

bool FileDownloader::download(QString url, QString &error)
{
    Q_UNUSED(error)

    manager = new QNetworkAccessManager(this);
    connect(manager, &QNetworkAccessManager::finished, this, &FileDownloader::dataReady);

    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setSslConfiguration(QSslConfiguration::defaultConfiguration());
    // Follow http -> http/https and https -> https; Qt refuses https -> http with
    // InsecureRedirectError. Unfollowed, a redirect's own body (a "moved" page)
    // would be handed on as the downloaded file.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // Qt's own value. Set by us, it stops Qt from inflating an encoded body in
    // memory (without bound): ContentDecoder inflates it piece by piece.
    request.setRawHeader("Accept-Encoding", "gzip, deflate");
    decoder = ContentDecoder();

    currentReply = manager->get(request);
    // Only where partialDataReady drains the reply: in byte-array mode (and for
    // the bare request step) the body must wait in the reply until it finishes,
    // and a bounded buffer would stall the transfer.
    if (file)
        currentReply->setReadBufferSize(fileModeReadBufferSize);

    total = 0;
    received = 0;
    headersChecked = false;

    connect(currentReply, &QIODevice::readyRead, this, &FileDownloader::partialDataReady);
    connect(currentReply, &QNetworkReply::downloadProgress, this, &FileDownloader::on_download_progress);
    connect(currentReply, &QNetworkReply::metaDataChanged, this, &FileDownloader::headersArrived);
    stallTimer->start();
    return true;
}

void FileDownloader::clean()
{
    if (manager) {
        disconnect(manager, nullptr, this, nullptr);
        manager->deleteLater();
        manager = nullptr;
    }
    if (currentReply) {
        detach(currentReply);
        currentReply->deleteLater();
        currentReply = nullptr;
    }
    target = nullptr;
    // Closed now: a new download of the same path empties and writes it next.
    file.reset();
    writtenSha256.clear();
    pinCheck = PinCheck();
    stallTimer->stop();
}

void FileDownloader::setStallLimit(std::chrono::milliseconds limit)
{
    stallTimer->setInterval(limit);
}

void FileDownloader::detach(QNetworkReply *reply)
{
    disconnect(reply, nullptr, this, nullptr);
    if (manager)
        disconnect(manager, nullptr, this, nullptr);
    stallTimer->stop();
}

void FileDownloader::stop(const QString &message, bool removeFile)
{
    QNetworkReply *reply = currentReply;
    detach(reply);
    currentReply = nullptr;
    // Aborted now, so that nothing more is read (an endless body stops here),
    // and deleted later: this may run inside one of the reply's own signals.
    reply->abort();
    reply->deleteLater();
    if (file && removeFile)
        file->remove();
    else if (file)
        file->close();
    emit errorOccurred(message);
}

void FileDownloader::stalled()
{
    if (currentReply)
        stop(QStringLiteral("Nothing arrived for %1 seconds.").arg(stallTimer->intervalAsDuration().count() / 1000.0),
             false);
}

void FileDownloader::headersArrived()
{
    QNetworkReply *reply = currentReply;
    if (!reply)
        return;
    stallTimer->start();
    if (headersChecked)
        return;
    // Neither a redirect that Qt follows nor an error answer, which Qt reports
    // when it ends, carries the file; any other answer but 200 is refused now.
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400 || (status >= 300 && reply->hasRawHeader("Location")))
        return;
    headersChecked = true;
    if (const QString refusal = statusRefusal(reply); !refusal.isEmpty()) {
        stop(refusal, false);
        return;
    }

    QString error;
    decoder = ContentDecoder(reply->rawHeader("Content-Encoding"));
    if (!decoder.isSupported(error)) {
        stop(error, true);
        return;
    }
    const std::optional<qint64> announced = announcedSize(reply);
    if (announced && !pinCheck.checkAnnounced(*announced, error)) {
        stop(error, true);
        return;
    }
    const std::optional<qint64> needed = pinCheck.pin().size ? pinCheck.pin().size : announced;
    if (file && needed && !checkSpace(*needed, error))
        stop(error, false);
}

bool FileDownloader::writeDecoded(const QByteArray &data, bool &writeFailed, QString &error)
{
    return decoder.decode(
        data,
        [&](const QByteArray &piece) {
            if (!pinCheck.add(piece, error))
                return false;
            writeFailed = !file->write(piece);
            return !writeFailed;
        },
        error);
}

bool FileDownloader::checkSpace(qint64 needed, QString &error) const
{
    // Asked before the body is written, so the space of a file emptied by
    // this download counts as free.
    const QString directory = QFileInfo(file->path()).absolutePath();
    qint64 available = 0;
    if (hasRoomFor(directory, quint64(needed), available))
        return true;
    error = QStringLiteral("Not enough free space in %1 for the download: %2 bytes needed, %3 bytes free.")
                .arg(directory, QString::number(needed), QString::number(available));
    return false;
}

void FileDownloader::partialDataReady()
{
    QNetworkReply *reply = currentReply;
    if (!reply)
        return;
    stallTimer->start();

    const qulonglong announced = contentLength(reply);
    if (announced != 0)
        total = qint64(announced);
    received += reply->bytesAvailable();

    // A receiver may run a nested event loop (a modal box) and call clean() or
    // start another download meanwhile; then this reply is no longer ours.
    QPointer<QNetworkReply> guard(reply);
    emit downloadProgress(static_cast<qulonglong>(received), static_cast<qulonglong>(total));
    if (!guard || reply != currentReply)
        return;

    QString error;
    if (!file) {
        // The body waits in the reply until it ends; a pinned size still
        // stops one that grows past it (an encoded one is held to it decoded).
        if (!reply->hasRawHeader("Content-Encoding") && !pinCheck.checkGrowth(reply->bytesAvailable(), error))
            stop(error, false);
        return;
    }

    // Empty when a receiver's nested event loop let a later call take the data.
    const QByteArray chunk = reply->readAll();
    if (chunk.isEmpty())
        return;
    bool writeFailed = false;
    if (!writeDecoded(chunk, writeFailed, error) && !writeFailed) {
        stop(error, true); // refused by its pin, or not decodable: never kept as the update
        return;
    }
    if (writeFailed) {
        // Detached before the signal: while its receivers run (perhaps a nested
        // event loop), the reply can deliver neither another chunk, which would
        // leave a hole in the file, nor its completion, which would emit finished().
        // The partial file goes: on a full disk it would keep the disk full.
        detach(reply);
        currentReply = nullptr;
        const QString message = QStringLiteral("I/O failure (%1)").arg(file->errorString());
        file->remove();
        emit errorOccurred(message);
        if (guard)
            guard->deleteLater();
    }
}

void FileDownloader::on_download_progress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived)
    total = bytesTotal;
    if (currentReply)
        stallTimer->start();
}

void FileDownloader::dataReady(QNetworkReply *reply)
{
    if (reply != currentReply)
        return;
    stallTimer->stop();

    if (reply->error() != QNetworkReply::NoError) {
        QPointer<QNetworkReply> guard(reply);
        emit errorOccurred(withoutPasswords(reply->errorString(), reply));
        // Unless a receiver has meanwhile cleaned up or started another download,
        // which clean() would tear down.
        if (guard && guard == currentReply)
            clean();
        return;
    }

    if (const QString refusal = statusRefusal(reply); !refusal.isEmpty()) {
        stop(refusal, false);
        return;
    }

    const QByteArray body = reply->readAll();

    // Qt 5.15 can end a reply without error when the server closes the
    // connection before the announced Content-Length (its HTTP channel takes
    // the close for the end of the body). A short body is not the whole file.
    // (Qt drops Content-Length when it decompresses a body for us.)
    const qulonglong announced = contentLength(reply);
    const auto delivered = qulonglong(file ? received + body.size() : body.size());
    if ((target || file) && delivered < announced) {
        if (file)
            static_cast<void>(file->write(body)); // kept as far as it came, like any cut transfer
        QPointer<QNetworkReply> guard(reply);
        emit errorOccurred(QStringLiteral("Incomplete download (%1 of %2 bytes).").arg(delivered).arg(announced));
        if (guard && guard == currentReply)
            clean();
        return;
    }

    QString error;
    if (target) {
        QByteArray decoded;
        const auto collect = [&decoded](const QByteArray &piece) { return decoded += piece, true; };
        if (!decoder.decode(body, collect, error) || !decoder.finish(error) || !pinCheck.add(decoded, error) ||
            !pinCheck.checkComplete(Sha256::hash(decoded), error)) {
            emit errorOccurred(error);
            return;
        }
        *target = decoded;
        emit finished();
    } else if (file) {
        bool writeFailed = false;
        if ((!writeDecoded(body, writeFailed, error) || !decoder.finish(error)) && !writeFailed) {
            file->remove();
            emit errorOccurred(error);
            return;
        }
        if (!file->close() || writeFailed) {
            const QString message = QStringLiteral("I/O failure (%1)").arg(file->errorString());
            file->remove();
            emit errorOccurred(message);
            return;
        }
        // Compared only now that every byte is on disk: the file that
        // finished() hands on is the one checked.
        writtenSha256 = file->sha256();
        if (!pinCheck.checkComplete(writtenSha256, error)) {
            file->remove();
            emit errorOccurred(error);
            return;
        }
        emit finished();
    }
}
