#include "ZipDamage.h"

#include <QFile>
#include <QtEndian>

#include <functional>
#include <optional>

namespace {

constexpr quint32 endOfCentralDirectorySignature = 0x06054b50;
constexpr quint32 centralHeaderSignature = 0x02014b50;
constexpr quint32 localHeaderSignature = 0x04034b50;
constexpr int endOfCentralDirectorySize = 22;
constexpr int centralHeaderSize = 46;
constexpr int localHeaderSize = 30;

// Where one entry's records lie in the archive.
struct EntryLayout
{
    int localHeader;
    int centralHeader;
    int data;
};

quint16 read16(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<quint16>(bytes.constData() + offset);
}

quint32 read32(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}

void write32(QByteArray &bytes, int offset, quint32 value)
{
    qToLittleEndian(value, bytes.data() + offset);
}

void write16(QByteArray &bytes, int offset, quint16 value)
{
    qToLittleEndian(value, bytes.data() + offset);
}

std::optional<EntryLayout> findEntry(const QByteArray &zip, const QByteArray &name)
{
    int end = zip.size() - endOfCentralDirectorySize;
    while (end >= 0 && read32(zip, end) != endOfCentralDirectorySignature)
        --end;
    if (end < 0)
        return std::nullopt;
    const int count = read16(zip, end + 10);
    int central = read32(zip, end + 16);
    for (int i = 0; i < count; ++i) {
        if (central + centralHeaderSize > zip.size() || read32(zip, central) != centralHeaderSignature)
            return std::nullopt;
        const int nameLength = read16(zip, central + 28);
        const int extraLength = read16(zip, central + 30);
        const int commentLength = read16(zip, central + 32);
        if (zip.mid(central + centralHeaderSize, nameLength) == name) {
            const int local = read32(zip, central + 42);
            if (local + localHeaderSize > zip.size() || read32(zip, local) != localHeaderSignature)
                return std::nullopt;
            const int data = local + localHeaderSize + read16(zip, local + 26) + read16(zip, local + 28);
            return EntryLayout{local, central, data};
        }
        central += centralHeaderSize + nameLength + extraLength + commentLength;
    }
    return std::nullopt;
}

// Reads the archive, lets `edit` change its bytes, writes it back.
bool editEntry(const QString &zipPath, const QByteArray &entryName,
               const std::function<bool(QByteArray &, const EntryLayout &)> &edit)
{
    QFile file(zipPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray zip = file.readAll();
    file.close();
    const std::optional<EntryLayout> layout = findEntry(zip, entryName);
    if (!layout || !edit(zip, *layout))
        return false;
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(zip) == zip.size();
}

} // namespace

namespace ZipDamage {

bool setField(const QString &zipPath, const QByteArray &entryName, Field field, quint32 value)
{
    return editEntry(zipPath, entryName, [field, value](QByteArray &zip, const EntryLayout &layout) {
        switch (field) {
        case Field::Method:
            write16(zip, layout.localHeader + 8, static_cast<quint16>(value));
            write16(zip, layout.centralHeader + 10, static_cast<quint16>(value));
            return true;
        case Field::Crc32:
            write32(zip, layout.localHeader + 14, value);
            write32(zip, layout.centralHeader + 16, value);
            return true;
        case Field::CompressedSize:
            write32(zip, layout.localHeader + 18, value);
            write32(zip, layout.centralHeader + 20, value);
            return true;
        case Field::UncompressedSize:
            write32(zip, layout.localHeader + 22, value);
            write32(zip, layout.centralHeader + 24, value);
            return true;
        }
        return false;
    });
}

bool flipDataByte(const QString &zipPath, const QByteArray &entryName, int offset)
{
    return editEntry(zipPath, entryName, [offset](QByteArray &zip, const EntryLayout &layout) {
        const int at = layout.data + offset;
        if (offset < 0 || qint64(offset) >= read32(zip, layout.centralHeader + 20) || at >= zip.size())
            return false;
        zip[at] = static_cast<char>(~zip.at(at));
        return true;
    });
}

bool overwriteData(const QString &zipPath, const QByteArray &entryName, int offset, const QByteArray &bytes)
{
    return editEntry(zipPath, entryName, [offset, &bytes](QByteArray &zip, const EntryLayout &layout) {
        if (offset < 0 || qint64(offset) + bytes.size() > read32(zip, layout.centralHeader + 20))
            return false;
        zip.replace(layout.data + offset, bytes.size(), bytes);
        return true;
    });
}

bool breakLocalHeader(const QString &zipPath, const QByteArray &entryName)
{
    return editEntry(zipPath, entryName, [](QByteArray &zip, const EntryLayout &layout) {
        zip[layout.localHeader] = 'X';
        return true;
    });
}

} // namespace ZipDamage
