#include "PackageInfoReader_p.h"

#include "ShownText_p.h"

#include <QScopeGuard>
#include <QUrl>
#include <QXmlStreamReader>

#include <zlib.h>

#include <algorithm>

namespace {

constexpr int deepestBundle = 64;

// The file's text as archived, inflated when xar compressed it. zlib's or
// gzip's framing, told by its header. `budget` is what may still be inflated.
bool inflated(const DescribingFile &file, qint64 &budget, QByteArray &text, QString &refusal)
{
    const QString path = shownText(file.path);
    if (file.encoding.isEmpty() || file.encoding == QLatin1String("application/octet-stream")) {
        if (file.archived.size() > budget)
            return false;
        budget -= file.archived.size();
        text = file.archived;
        return true;
    }
    if (file.encoding != QLatin1String("application/x-gzip")) {
        refusal = QStringLiteral("is refused: its file \"%1\" is encoded as \"%2\", which is not read.")
                      .arg(path, shownText(file.encoding));
        return false;
    }
    z_stream z{};
    if (inflateInit2(&z, 15 + 32) != Z_OK) {
        refusal = QStringLiteral("could not be checked: zlib cannot inflate its file \"%1\".").arg(path);
        return false;
    }
    const auto end = qScopeGuard([&z] { inflateEnd(&z); });
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(file.archived.constData()));
    z.avail_in = static_cast<uInt>(file.archived.size());
    char buffer[16384];
    int result = Z_OK;
    while (result == Z_OK) {
        z.next_out = reinterpret_cast<Bytef *>(buffer);
        z.avail_out = sizeof buffer;
        result = inflate(&z, Z_NO_FLUSH);
        const qint64 produced = qint64(sizeof buffer - z.avail_out);
        if (produced > budget)
            return false;
        budget -= produced;
        text.append(buffer, int(produced));
        if (result == Z_BUF_ERROR && z.avail_in == 0)
            break; // cut short: reported below
    }
    if (result != Z_STREAM_END || z.avail_in != 0) {
        const QString reason = result == Z_STREAM_END  ? QStringLiteral("it goes on after its end")
                               : result == Z_BUF_ERROR ? QStringLiteral("it is cut short")
                               : z.msg                 ? QString::fromLatin1(z.msg)
                                                       : QStringLiteral("zlib error %1").arg(result);
        refusal = QStringLiteral("is refused: its file \"%1\" does not inflate (%2).").arg(path, reason);
        return false;
    }
    return true;
}

// QXmlStreamReader, refusing a DTD: a PackageInfo or Distribution never has one.
class DescriptionReader
{
public:
    DescriptionReader(const QByteArray &text, const QString &path)
        : xml(text)
        , path(shownText(path))
    {
    }

    // Moves to the root element; false when there is none or it is not `root`.
    bool enterRoot(const QLatin1String &root)
    {
        while (!xml.atEnd() && xml.readNext() != QXmlStreamReader::StartElement) {
            if (xml.tokenType() == QXmlStreamReader::DTD)
                xml.raiseError(QStringLiteral("it has a document type declaration"));
        }
        if (!xml.hasError() && xml.name() != root)
            xml.raiseError(QStringLiteral("its root is not <%1>").arg(root));
        return !xml.hasError();
    }

    // The components a Distribution refers to: the file names of its
    // <pkg-ref>s whose text is "#" and a percent-encoded name.
    void readComponents(QStringList &components)
    {
        while (!xml.atEnd() && !xml.hasError()) {
            if (xml.readNext() != QXmlStreamReader::StartElement || xml.name() != QLatin1String("pkg-ref"))
                continue;
            const QString text = xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
            if (text.startsWith(QLatin1Char('#')))
                components.append(QUrl::fromPercentEncoding(text.mid(1).toUtf8()));
        }
    }

    // The <bundle>s of a <pkg-info>, from its start to its end.
    void readBundles(QList<BundleIdentity> &bundles, int depth = 1)
    {
        while (xml.readNextStartElement()) {
            if (xml.name() != QLatin1String("bundle")) {
                xml.skipCurrentElement(); // <bundle-version>, <relocate>, ...: identifiers without versions
                continue;
            }
            if (depth > deepestBundle) {
                xml.raiseError(QStringLiteral("its bundles are nested more than %1 deep").arg(deepestBundle));
                return;
            }
            const QXmlStreamAttributes attributes = xml.attributes();
            bundles.append({attributes.value(QLatin1String("id")).toString(),
                            attributes.value(QLatin1String("CFBundleVersion")).toString()});
            readBundles(bundles, depth + 1);
        }
    }

    bool finish(QString &refusal)
    {
        while (!xml.atEnd() && !xml.hasError())
            xml.readNext(); // the rest must be well-formed too
        if (!xml.hasError())
            return true;
        refusal = QStringLiteral("is refused: its file \"%1\" cannot be read (%2, line %3).")
                      .arg(path, xml.errorString(), QString::number(xml.lineNumber()));
        return false;
    }

private:
    QXmlStreamReader xml;
    const QString path;
};

} // namespace

bool readPackagedBundles(const std::vector<DescribingFile> &files, QList<BundleIdentity> &bundles, QString &refusal)
{
    qint64 budget = largestInflatedDescriptions;
    const auto textOf = [&](const DescribingFile &file, QByteArray &text) {
        if (inflated(file, budget, text, refusal))
            return true;
        if (refusal.isEmpty())
            refusal = QStringLiteral("is refused: its Distribution and PackageInfo files inflate to more than the %1 "
                                     "bytes accepted.")
                          .arg(largestInflatedDescriptions);
        return false;
    };
    const auto named = [&files](const QString &path) {
        const auto found =
            std::find_if(files.begin(), files.end(), [&path](const DescribingFile &file) { return file.path == path; });
        return found == files.end() ? nullptr : &*found;
    };

    // A product archive installs the components its Distribution refers to;
    // a component package, itself.
    QStringList packageInfos{QStringLiteral("PackageInfo")};
    if (const DescribingFile *distribution = named(QStringLiteral("Distribution"))) {
        QByteArray text;
        if (!textOf(*distribution, text))
            return false;
        DescriptionReader reader(text, distribution->path);
        QStringList components;
        if (reader.enterRoot(QLatin1String("installer-gui-script")))
            reader.readComponents(components);
        if (!reader.finish(refusal))
            return false;
        packageInfos.clear();
        components.removeDuplicates();
        for (const QString &component : components)
            packageInfos.append(component + QStringLiteral("/PackageInfo"));
    }
    QList<BundleIdentity> read;
    bool described = false;
    for (const QString &path : packageInfos) {
        const DescribingFile *packageInfo = named(path);
        if (!packageInfo)
            continue; // a component outside the archive, or one that names nothing
        described = true;
        QByteArray text;
        if (!textOf(*packageInfo, text))
            return false;
        DescriptionReader reader(text, packageInfo->path);
        if (reader.enterRoot(QLatin1String("pkg-info")))
            reader.readBundles(read);
        if (!reader.finish(refusal))
            return false;
    }
    if (!described) {
        refusal = QStringLiteral("is refused: it holds no PackageInfo that says what it installs.");
        return false;
    }
    bundles = read;
    return true;
}
