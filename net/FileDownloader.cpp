#include "FileDownloader.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslConfiguration>
#include <QStorageInfo>
#include <QTimer>
#include <QUrl>

#include <limits>
#include <optional>

namespace {

// Bound on what a file-mode reply buffers ahead of our writes. Without it Qt's
// network thread reads the socket as fast as loopback allows and the unread data
// piles up in the reply (about 1 GB resident for a 1 GiB file, see the README).
constexpr qint64 fileModeReadBufferSize = 1024 * 1024;

constexpr std::chrono::milliseconds defaultStallLimit{60000};

// Writes all of data. A short write (a disk filling up) is followed by one for
// the rest, so that a failure is the one the system reports, with its text in
// errorString(), and never a file shorter than the bytes counted and hashed.
bool writeAll(QFile &file, const QByteArray &data)
{
    qint64 done = 0;
    while (done < data.size()) {
        const qint64 written = file.write(data.constData() + done, data.size() - done);
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
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
    , file(nullptr)
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

    // A QDir on the empty path is the current directory, so a relative dirPath
    // is taken relative to it; mkpath succeeds when the directory exists.
    if (!QDir(QString()).mkpath(dirPath)) {
        error = QStringLiteral("The directory %1 is not accessible.").arg(dirPath);
        return false;
    }

    const QUrl parsed(url, QUrl::TolerantMode);
    filePath = dirPath + QLatin1Char('/') + parsed.fileName(QUrl::FullyDecoded);

    file = new QFile(filePath, this);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = QStringLiteral("Failed to create %1 (%2).").arg(filePath).arg(file->errorString());
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
    if (file) {
        // Closed (and its buffer flushed) now rather than at its deletion: a new
        // download of the same path truncates and writes the file before that,
        // and a late flush would put the old bytes over the new ones.
        file->close();
        file->deleteLater();
        file = nullptr;
    }
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
    if (file) {
        file->close();
        if (removeFile)
            file->remove();
    }
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
    // when it ends, carries the file.
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= 300)
        return;
    headersChecked = true;

    const std::optional<qint64> announced = announcedSize(reply);
    QString error;
    if (announced && !pinCheck.checkAnnounced(*announced, error)) {
        stop(error, true);
        return;
    }
    const std::optional<qint64> needed = pinCheck.pin().size ? pinCheck.pin().size : announced;
    if (file && needed && !checkSpace(*needed, error))
        stop(error, false);
}

bool FileDownloader::checkSpace(qint64 needed, QString &error) const
{
    // Asked before the body is written, so the space of a file emptied by
    // this download counts as free.
    const QString directory = QFileInfo(*file).absolutePath();
    const QStorageInfo storage(directory);
    const qint64 available = storage.bytesAvailable();
    if (!storage.isValid() || available < 0 || needed <= available)
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
        // stops one that grows past it.
        if (!pinCheck.checkGrowth(reply->bytesAvailable(), error))
            stop(error, false);
        return;
    }

    // Empty when a receiver's nested event loop let a later call take the data.
    const QByteArray chunk = reply->readAll();
    if (chunk.isEmpty())
        return;
    if (!pinCheck.add(chunk, error)) {
        stop(error, true);
        return;
    }
    if (!writeAll(*file, chunk)) {
        // Detached before the signal: while its receivers run (perhaps a nested
        // event loop), the reply can deliver neither another chunk, which would
        // leave a hole in the file, nor its completion, which would emit finished().
        detach(reply);
        currentReply = nullptr;
        emit errorOccurred(QStringLiteral("I/O failure (%1)").arg(file->errorString()));
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
        emit errorOccurred(reply->errorString());
        // Unless a receiver has meanwhile cleaned up or started another download,
        // which clean() would tear down.
        if (guard && guard == currentReply)
            clean();
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
            file->write(body);
        QPointer<QNetworkReply> guard(reply);
        emit errorOccurred(QStringLiteral("Incomplete download (%1 of %2 bytes).").arg(delivered).arg(announced));
        if (guard && guard == currentReply)
            clean();
        return;
    }

    QString error;
    if (target) {
        if (!pinCheck.add(body, error) || !pinCheck.checkComplete(error)) {
            emit errorOccurred(error);
            return;
        }
        *target = body;
        emit finished();
    } else if (file) {
        if (!pinCheck.add(body, error)) {
            file->remove();
            emit errorOccurred(error);
            return;
        }
        // Closing flushes the file's buffer: a small download is written only
        // now, and a write that fails here leaves the file as incomplete as a
        // failed chunk does.
        const bool written = writeAll(*file, body);
        file->close();
        if (!written || file->error() != QFileDevice::NoError) {
            emit errorOccurred(QStringLiteral("I/O failure (%1)").arg(file->errorString()));
            return;
        }
        // Compared only now that every byte is on disk: the file that
        // finished() hands on is the one checked.
        if (!pinCheck.checkComplete(error)) {
            file->remove();
            emit errorOccurred(error);
            return;
        }
        emit finished();
    }
}
