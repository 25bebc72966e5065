#pragma once

#include "FileIdentity.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class ChunkConsumer;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class QUrl;

// Fetches one URL over HTTP(S) into a file, written chunk by chunk as the data
// arrives (file mode), or into a caller's QByteArray once the transfer is
// complete (byte-array mode). Everything happens on the thread the downloader
// lives in (the GUI thread); download() only prepares and issues the request.
//
// Only http and https URLs are fetched, and only a final 200 answer is taken
// for the file. Redirects are followed while they are not less safe (http to
// http or https, https to https); an https to http redirect ends in
// errorOccurred. The file is written only as a regular file, never through a
// symbolic link. Messages never show a URL's password.
//
// A URL may pin its download in its fragment (see DownloadPin): its size, held
// against Content-Length when the headers arrive and against the body as it
// grows and when it ends, and its SHA-256, computed as the body is written and
// compared before finished(). A download refused by the updater itself (its
// pin, its status, its size or Content-Length, an encoding that does not
// decode, data that could not be written) is stopped and its file removed;
// after a failed transfer (Qt's errors, a body cut short, a stall) the
// partial file is kept. A transfer that receives nothing for the stall limit
// (60 s) fails, and one whose size is known before the body (from the pin or
// Content-Length) fails at once when the destination has less free space.
//
// A limit of Qt 5.15's HTTP layer that the downloader cannot see past: a body
// without Content-Length (chunked, or ended by the close) that the server cuts
// exactly at a chunk boundary can be taken for complete; only a pinned size
// catches it. A body cut short of its Content-Length is caught: see
// errorOccurred.
class FileDownloader : public QObject
{
    Q_OBJECT

public:
    explicit FileDownloader(QObject *parent);
    ~FileDownloader() override;

    // File mode. Creates dirPath with its missing parents, sets filePath to
    // dirPath + "/" + the URL's decoded file name and empties or creates that
    // file. False, with error set, when the URL's pin cannot be read, its
    // scheme is not http or https or its file name holds a control character
    // (nothing made, filePath untouched), when the directory (filePath
    // untouched) or the file (filePath already set; a link or anything but a
    // regular file there is refused and left as it is) cannot be made; no
    // signal follows then.
    bool download(QString url, QString dirPath, QString &filePath, QString &error);
    // Byte-array mode. *target receives the whole body just before finished();
    // the caller keeps it alive until then or the next download. True unless
    // the URL is refused as above, for its pin or its scheme (error set, no
    // request sent).
    bool download(QString url, QByteArray *target, QString &error);
    // The request step alone: issues the GET with no destination, so the body
    // is only counted for progress and finished() never comes. True unless
    // the URL is refused as above.
    bool download(QString url, QString &error);

    // Releases everything of the current download (by deleteLater) without a
    // signal; the file is closed and kept. Signals of the abandoned reply no
    // longer reach the downloader.
    void clean();

    // How long a transfer may receive nothing (while connecting, waiting for
    // the answer or within the body) before it fails; 60 s unless changed here.
    void setStallLimit(std::chrono::milliseconds limit);

    // File mode: whether the bytes written are hashed (the default; always
    // when the pin has a digest). May be changed after download() until the
    // first chunk is written.
    void setHashingFile(bool wanted);
    // File mode: every byte written is also handed to `consumer`, in order,
    // on the digest's helper thread (see WrittenFile::setConsumer); it has
    // seen them all when finished() is emitted. May be set after download()
    // until the first chunk is written; the consumer outlives the transfer.
    void setWrittenBytesConsumer(ChunkConsumer *consumer);
    // File mode, after finished(): the SHA-256 (32 bytes) of the bytes this
    // download wrote, computed as they were written (empty when not hashed),
    // and the file as it was left when it was closed. Empty otherwise.
    [[nodiscard]] QByteArray fileSha256() const { return writtenSha256; }
    [[nodiscard]] std::optional<FileIdentity> fileIdentity() const { return writtenIdentity; }

signals:
    // The whole body is in its destination: the file is written and closed,
    // or the array is assigned. Never after errorOccurred for the same download.
    void finished();
    // Qt's text for a failed transfer; "Incomplete download (%1 of %2 bytes)."
    // for a body that ended short of its Content-Length while Qt saw no error;
    // "I/O failure (%1)" for data that could not be written to the file;
    // "The server answered %1 %2 instead of sending the file." for a final
    // answer other than 200 that Qt takes for a success; "The server's answer
    // is invalid: …" for a Content-Length that is not one number of bytes;
    // PinCheck's texts for a body that its pin refuses; "Nothing arrived for
    // 60 seconds." after a stall; "Not enough free space in …" when the
    // announced or pinned size does not fit.
    void errorOccurred(QString error);
    // Emitted for each chunk before it is written. bytesTotal is Content-Length
    // when known, else 0 or 18446744073709551615 (the reply's -1).
    void downloadProgress(qulonglong bytesReceived, qulonglong bytesTotal);

private slots:
    void dataReady(QNetworkReply *reply);
    void partialDataReady();
    void on_download_progress(qint64 bytesReceived, qint64 bytesTotal);

private:
    struct Transfer;
    enum class FileFate { Keep, Remove };

    // Issues the GET of url for `next`, which becomes the current transfer.
    void start(const QUrl &url, std::unique_ptr<Transfer> next);
    // An answer's headers are in (read once, see AnswerHeaders); the final
    // one's are held to the pin and the free space.
    void headersArrived();
    void stalled();
    // The one end of a transfer: lets go of its reply (aborted if still
    // running, released with the manager by clean()); without a failure
    // delivers the body and emits finished(), else keeps (closed) or removes
    // what came and emits errorOccurred(failure).
    void end(const std::optional<QString> &failure, FileFate fate);
    // The body is complete: the last bytes are taken, the body kept whole and
    // held to its pin, then delivered.
    void complete(const QByteArray &rest);
    // Hands the answer's next bytes on the wire to the sink: a final answer's
    // decoded and held to the pin, an error answer's page as it is up to a
    // bound, a redirect's not at all. False, with error, when they do not
    // decode, the pin refuses them or the sink does not keep them.
    [[nodiscard]] bool take(const QByteArray &data, QString &error);

    std::unique_ptr<Transfer> transfer;
    QNetworkAccessManager *manager = nullptr;
    QTimer *stallTimer;
    bool hashingFile = true;
    QByteArray writtenSha256;
    std::optional<FileIdentity> writtenIdentity;
};
