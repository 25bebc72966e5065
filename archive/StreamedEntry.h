#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// An archive's entry as StreamingUnzipper wrote it while the archive
// downloaded: what its local header, its data and any data descriptor said
// (for Unzipper::adopt to hold against the central directory), and the file
// written.
struct StreamedEntry
{
    QString path;                 // the package file
    quint64 dataOffset = 0;       // where the entry's data begins in the archive
    quint64 compressedSize = 0;   // the data's length there
    quint64 uncompressedSize = 0; // the bytes written
    quint32 crc = 0;              // their CRC-32, as the entry records it
    quint16 method = 0;           // stored (0) or deflated (8)
    quint16 flags = 0;            // the local header's general purpose flags
    QByteArray sha256;            // of the bytes written, as they were written
};
