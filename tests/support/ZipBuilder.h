#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

// Writes ZIP archives for tests. Classic archives come from minizip's own
// writer (zip.h), which writes zip64 records only for archives past 4 GiB;
// zip64 ones from the archivers of Debian's zip and libarchive-tools.
//
//     QString error;
//     QVERIFY2(ZipBuilder().add("Update.pkg", data, ZipBuilder::Method::Stored).write(zipPath, error),
//              qPrintable(error));
class ZipBuilder
{
public:
    enum class Method { Stored, Deflated };
    enum class Format {
        Classic, // minizip
        // zip64 end records and local headers, 32-bit sizes in the central
        // directory (`bsdtar --options zip:zip64`). Every entry is deflated
        // unless all are stored.
        Zip64,
        // Also each entry's uncompressed size in the central directory's
        // zip64 field (`zip -fz`), where `zip` may store an entry that does
        // not shrink.
        Zip64Sizes,
    };

    // Entries are written in the order added, their names stored byte for
    // byte. Classic archives may hold the same name twice; zip64 ones need
    // distinct names that are valid relative file paths.
    ZipBuilder &add(const QByteArray &name, const QByteArray &data, Method method = Method::Deflated);
    ZipBuilder &setFormat(Format format);

    // Writes the archive to `path`, replacing any file there. An archive
    // with no entries is valid. On failure returns false with the reason in
    // `error`.
    [[nodiscard]] bool write(const QString &path, QString &error) const;

private:
    struct Entry
    {
        QByteArray name;
        QByteArray data;
        Method method;
    };

    [[nodiscard]] bool writeClassic(const QString &path, QString &error) const;
    [[nodiscard]] bool writeWithTool(const QString &path, QString &error) const;

    std::vector<Entry> entries;
    Format format = Format::Classic;
};
