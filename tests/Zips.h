#pragma once

#include <QFile>
#include <QList>
#include <QPair>

#include <zip.h>

// An archive at `path` made with minizip's writer: each entry's data written `repeat` times, stored (method 0) or
// deflated at `level`, with Zip64 records or without, with `centralExtra` in each central header. False on failure.
inline bool writeZip(const QString &path, const QList<QPair<QByteArray, QByteArray>> &entries, int method = Z_DEFLATED,
                     int level = 1, bool zip64 = false, int repeat = 1, const QByteArray &centralExtra = {})
{
    zipFile zip = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    bool written = zip;
    for (const auto &[name, data] : entries) {
        zip_fileinfo info{};
        written = written && zipOpenNewFileInZip64(zip, name.constData(), &info, nullptr, 0, centralExtra.constData(),
                                                   uInt(centralExtra.size()), nullptr, method, method ? level : 0,
                                                   zip64) == ZIP_OK;
        for (int i = 0; i < repeat; ++i)
            written = written && zipWriteInFileInZip(zip, data.constData(), unsigned(data.size())) == ZIP_OK;
        written = written && zipCloseFileInZip(zip) == ZIP_OK;
    }
    return zip && zipClose(zip, nullptr) == ZIP_OK && written;
}
