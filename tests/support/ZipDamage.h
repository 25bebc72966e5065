#pragma once

#include <QByteArray>
#include <QString>

// Byte edits that damage one entry of a classic (not zip64) archive in one
// known way, such as one written by ZipBuilder. The entry is found by its
// exact name in the central directory. Each function returns false when the
// archive cannot be read or written or has no such entry.
namespace ZipDamage {

// Fields that the local header and the central directory both record; both
// copies are set, so that minizip's consistency check still passes.
enum class Field { Method, Crc32, CompressedSize, UncompressedSize };

[[nodiscard]] bool setField(const QString &zipPath, const QByteArray &entryName, Field field, quint32 value);

// XORs the byte at `offset` of the entry's data as stored (compressed, if it is).
[[nodiscard]] bool flipDataByte(const QString &zipPath, const QByteArray &entryName, int offset);

// Overwrites the entry's data as stored, from `offset` on, with `bytes`.
[[nodiscard]] bool overwriteData(const QString &zipPath, const QByteArray &entryName, int offset,
                                 const QByteArray &bytes);

// Spoils the signature of the entry's local header.
[[nodiscard]] bool breakLocalHeader(const QString &zipPath, const QByteArray &entryName);

} // namespace ZipDamage
