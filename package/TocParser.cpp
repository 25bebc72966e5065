#include "TocParser_p.h"

#include "ShownText_p.h"

#include <QXmlStreamReader>

namespace {

constexpr int deepestFile = 64;             // files in files: deeper is no package
constexpr qint64 largestNumber = 1LL << 62; // offsets and sizes: their sums cannot overflow

// Recursive descent over QXmlStreamReader: each read* function starts on its
// element's start and returns on its end, false once an error is raised.
class TocReader
{
public:
    explicit TocReader(const QByteArray &xml)
        : xml(xml)
    {
    }

    bool read(Toc &toc, QString &refusal)
    {
        readDocument(toc);
        if (!xml.hasError())
            return true;
        refusal = QStringLiteral("is not an installer package: its table of contents cannot be read (%1, line %2).")
                      .arg(xml.errorString(), QString::number(xml.lineNumber()));
        return false;
    }

private:
    bool fail(const QString &message)
    {
        if (!xml.hasError())
            xml.raiseError(message);
        return false;
    }

    void readDocument(Toc &toc)
    {
        // A DTD could declare entities; a TOC never has one.
        while (!xml.atEnd() && xml.readNext() != QXmlStreamReader::StartElement) {
            if (xml.tokenType() == QXmlStreamReader::DTD) {
                fail(QStringLiteral("it has a document type declaration"));
                return;
            }
        }
        if (xml.hasError())
            return;
        if (xml.name() != QLatin1String("xar")) {
            fail(QStringLiteral("its root is not <xar>"));
            return;
        }
        bool seenToc = false;
        while (xml.readNextStartElement()) {
            if (xml.name() != QLatin1String("toc")) {
                xml.skipCurrentElement();
                continue;
            }
            if (seenToc) {
                fail(QStringLiteral("it has two <toc> elements"));
                return;
            }
            seenToc = true;
            if (!readTocElement(toc))
                return;
        }
        if (!xml.hasError() && !seenToc)
            fail(QStringLiteral("it has no <toc> element"));
        while (!xml.hasError() && !xml.atEnd())
            xml.readNext(); // the rest must be well-formed too
    }

    bool readTocElement(Toc &toc)
    {
        while (xml.readNextStartElement()) {
            const auto name = xml.name();
            if (name == QLatin1String("checksum")) {
                if (toc.checksumStyle)
                    return fail(QStringLiteral("it lists two checksums"));
                toc.checksumStyle = xml.attributes().value(QLatin1String("style")).toString();
                if (!readRegion(toc.checksum, QStringLiteral("<checksum>")))
                    return false;
            } else if (name == QLatin1String("signature") || name == QLatin1String("x-signature")) {
                const bool cms = name == QLatin1String("x-signature");
                std::optional<TocSignature> &signature = cms ? toc.cmsSignature : toc.signature;
                if (signature)
                    return fail(cms ? QStringLiteral("it lists two <x-signature> elements")
                                    : QStringLiteral("it lists two signatures"));
                signature.emplace();
                signature->style = xml.attributes().value(QLatin1String("style")).toString();
                if (!readSignature(*signature))
                    return false;
            } else if (name == QLatin1String("file")) {
                if (!readFile(toc, 1))
                    return false;
            } else {
                xml.skipCurrentElement();
            }
        }
        return !xml.hasError();
    }

    // The <offset> and the size (the element named sizeName: <size>, or
    // <length> for a file's data) of the current element, each exactly once;
    // other children are handed to `other`.
    template<typename Other>
    bool readRegion(TocRegion &region, const QString &where, const QString &sizeName, Other other)
    {
        while (xml.readNextStartElement()) {
            const auto name = xml.name();
            qint64 *value = name == QLatin1String("offset") ? &region.offset
                            : name == sizeName              ? &region.size
                                                            : nullptr;
            if (!value) {
                if (!other())
                    return false;
                continue;
            }
            if (*value >= 0)
                return fail(QStringLiteral("%1 has two <%2> elements").arg(where, name.toString()));
            if (!readNumber(*value))
                return false;
        }
        if (xml.hasError())
            return false;
        if (region.offset < 0 || region.size < 0)
            return fail(QStringLiteral("%1 lacks its <offset> or <%2>").arg(where, sizeName));
        return true;
    }

    bool readRegion(TocRegion &region, const QString &where)
    {
        return readRegion(region, where, QStringLiteral("size"), [this] {
            xml.skipCurrentElement();
            return true;
        });
    }

    bool readNumber(qint64 &value)
    {
        const QString text = xml.readElementText().trimmed();
        if (xml.hasError())
            return false;
        bool ok = !text.isEmpty() && text.size() <= 19;
        for (const QChar c : text)
            ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
        value = ok ? text.toLongLong(&ok) : -1;
        if (!ok || value > largestNumber)
            return fail(QStringLiteral("\"%1\" is not a size or offset").arg(shownText(text)));
        return true;
    }

    bool readSignature(TocSignature &signature)
    {
        return readRegion(signature.region, QStringLiteral("a signature"), QStringLiteral("size"), [&] {
            if (xml.name() != QLatin1String("KeyInfo")) {
                xml.skipCurrentElement();
                return true;
            }
            while (xml.readNextStartElement()) {
                if (xml.name() != QLatin1String("X509Data")) {
                    xml.skipCurrentElement();
                    continue;
                }
                while (xml.readNextStartElement()) {
                    if (xml.name() != QLatin1String("X509Certificate")) {
                        xml.skipCurrentElement();
                        continue;
                    }
                    QByteArray text = xml.readElementText().toLatin1();
                    text.replace('\n', QByteArray()).replace('\r', QByteArray()).replace(' ', QByteArray());
                    const auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
                    if (!decoded || decoded.decoded.isEmpty())
                        return fail(QStringLiteral("a certificate is not base64"));
                    signature.certificates.append(decoded.decoded);
                }
            }
            return !xml.hasError();
        });
    }

    // An archived checksum: its style and hex digits, once per element.
    bool readChecksum(TocFileData &data, bool &seen)
    {
        if (seen)
            return fail(QStringLiteral("a file lists two archived checksums"));
        seen = true;
        data.checksumStyle = xml.attributes().value(QLatin1String("style")).toString();
        const QString text = xml.readElementText().trimmed();
        if (xml.hasError())
            return false;
        bool ok = !text.isEmpty() && text.size() % 2 == 0;
        for (const QChar c : text) {
            const char16_t u = c.unicode();
            ok = ok && ((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F'));
        }
        if (!ok)
            return fail(QStringLiteral("\"%1\" is not a hex checksum").arg(shownText(text)));
        data.checksum = QByteArray::fromHex(text.toLatin1());
        return true;
    }

    // A <data> element, or an <ea> (an extended attribute, whose data lies in
    // the heap too, named by a <name> of its own): a heap region and the
    // checksum it must have. Its path is set by the enclosing file: empty for
    // the file's data, ":" and the name for an attribute.
    bool readData(Toc &toc, bool attribute)
    {
        TocFileData data;
        bool seenChecksum = false;
        const bool read = readRegion(data.region, QStringLiteral("a file's data"), QStringLiteral("length"), [&] {
            const auto element = xml.name();
            if (element == QLatin1String("archived-checksum"))
                return readChecksum(data, seenChecksum);
            if (element == QLatin1String("encoding") && !attribute) {
                if (!data.encoding.isEmpty())
                    return fail(QStringLiteral("a file's data has two encodings"));
                data.encoding = xml.attributes().value(QLatin1String("style")).toString();
                xml.skipCurrentElement();
                return !xml.hasError();
            }
            if (attribute && element == QLatin1String("name") && data.path.isEmpty()) {
                data.path = QLatin1Char(':') + xml.readElementText();
                return !xml.hasError();
            }
            xml.skipCurrentElement();
            return true;
        });
        if (read)
            toc.files.push_back(data);
        return read;
    }

    bool readFile(Toc &toc, int depth)
    {
        if (depth > deepestFile)
            return fail(QStringLiteral("its files are nested more than %1 deep").arg(deepestFile));
        QString name;
        bool seenData = false;
        const std::size_t first = toc.files.size();
        while (xml.readNextStartElement()) {
            const auto element = xml.name();
            if (element == QLatin1String("name")) {
                // Real packages repeat the name. Two names that differ would let
                // two readers of one signed TOC see two files.
                const QString text = xml.readElementText();
                if (!name.isEmpty() && text != name)
                    return fail(
                        QStringLiteral("a file is named both \"%1\" and \"%2\"").arg(shownText(name), shownText(text)));
                name = text;
            } else if (element == QLatin1String("data")) {
                if (seenData)
                    return fail(QStringLiteral("a file has two <data> elements"));
                seenData = true;
                if (!readData(toc, false))
                    return false;
            } else if (element == QLatin1String("ea")) {
                if (!readData(toc, true))
                    return false;
            } else if (element == QLatin1String("file")) {
                if (!readFile(toc, depth + 1))
                    return false;
            } else {
                xml.skipCurrentElement();
            }
        }
        if (xml.hasError())
            return false;
        // The name may follow the data and the nested files: their paths are
        // completed once it is known.
        if (name.isEmpty())
            name = QStringLiteral("?");
        for (std::size_t i = first; i < toc.files.size(); ++i) {
            QString &path = toc.files[i].path;
            path = path.isEmpty() ? name : path.startsWith(QLatin1Char(':')) ? name + path : name + '/' + path;
        }
        return true;
    }

    QXmlStreamReader xml;
};

} // namespace

bool readToc(const QByteArray &xml, Toc &toc, QString &refusal)
{
    Toc read;
    if (!TocReader(xml).read(read, refusal))
        return false;
    toc = std::move(read);
    return true;
}
