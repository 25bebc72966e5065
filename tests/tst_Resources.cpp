#include <QtTest>

#include <QImage>
#include <QPixmap>
#include <QResource>
#include <QtEndian>

namespace {

// Chunk types of a PNG file, in file order.
QList<QByteArray> pngChunkTypes(const QByteArray &png)
{
    QList<QByteArray> types;
    int at = 8;
    while (at + 12 <= png.size()) {
        const quint32 length = qFromBigEndian<quint32>(png.constData() + at);
        types << png.mid(at + 4, 4);
        at += 12 + int(length);
    }
    return types;
}

QByteArray pngChunk(const QByteArray &png, const QByteArray &type)
{
    int at = 8;
    while (at + 12 <= png.size()) {
        const quint32 length = qFromBigEndian<quint32>(png.constData() + at);
        if (png.mid(at + 4, 4) == type)
            return png.mid(at + 8, int(length));
        at += 12 + int(length);
    }
    return QByteArray();
}

// Value of one tag in the Exif IFD of a big-endian TIFF structure, or -1.
qint64 exifTag(const QByteArray &tiff, quint16 wanted)
{
    if (!tiff.startsWith("MM"))
        return -1;
    const char *data = tiff.constData();
    auto entryValue = [&](quint32 ifd, quint16 tag) -> qint64 {
        const quint16 count = qFromBigEndian<quint16>(data + ifd);
        for (quint16 i = 0; i < count; ++i) {
            const char *entry = data + ifd + 2 + 12 * i;
            if (qFromBigEndian<quint16>(entry) != tag)
                continue;
            const quint16 type = qFromBigEndian<quint16>(entry + 2);
            return type == 3 ? qFromBigEndian<quint16>(entry + 8) : qFromBigEndian<quint32>(entry + 8);
        }
        return -1;
    };
    const quint32 ifd0 = qFromBigEndian<quint32>(data + 4);
    const qint64 exifIfd = entryValue(ifd0, 0x8769);
    return exifIfd < 0 ? -1 : entryValue(quint32(exifIfd), wanted);
}

} // namespace

class tst_Resources : public QObject
{
    Q_OBJECT

private slots:
    void logo_data();
    void logo();
    void outsidePrefixFindsNothing_data();
    void outsidePrefixFindsNothing();
};

void tst_Resources::logo_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("pixels");
    QTest::addColumn<qreal>("devicePixelRatio");

    QTest::newRow("plain") << ":/main/zeph.png" << QSize(77, 72) << 1.0;
    QTest::newRow("high-density") << ":/main/zeph@2x.png" << QSize(154, 144) << 2.0;
}

void tst_Resources::logo()
{
    QFETCH(QString, path);
    QFETCH(QSize, pixels);
    QFETCH(qreal, devicePixelRatio);

    // Registered by the bundle's static initialiser: the test makes no init call.
    const QPixmap pixmap(path);
    QVERIFY2(!pixmap.isNull(), qPrintable(path));
    QCOMPARE(pixmap.size(), pixels);
    QCOMPARE(pixmap.devicePixelRatio(), devicePixelRatio);
    QVERIFY(pixmap.hasAlphaChannel());

    const QImage image(path);
    QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
    QCOMPARE(image.pixelColor(image.width() / 2, image.height() / 2).alpha(), 255);
    int softPixels = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            softPixels += image.pixelColor(x, y).alpha() % 255 != 0;
    QVERIFY2(softPixels > image.width(), "the emblem's edge should be partly transparent");

    QResource resource(path);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
    const QByteArray png = resource.uncompressedData();
    QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
    const QByteArray header = pngChunk(png, "IHDR");
    QCOMPARE(int(quint8(header.at(8))), 8);  // bit depth
    QCOMPARE(int(quint8(header.at(9))), 6);  // colour type RGBA
    QCOMPARE(int(quint8(header.at(12))), 0); // not interlaced
    QCOMPARE(pngChunk(png, "sRGB"), QByteArray(1, '\0'));
    QVERIFY(pngChunkTypes(png).indexOf("eXIf") < pngChunkTypes(png).indexOf("IDAT"));
    const QByteArray exif = pngChunk(png, "eXIf");
    QCOMPARE(exifTag(exif, 0xA001), qint64(1)); // ColorSpace: sRGB
    QCOMPARE(exifTag(exif, 0xA002), qint64(pixels.width()));
    QCOMPARE(exifTag(exif, 0xA003), qint64(pixels.height()));
}

void tst_Resources::outsidePrefixFindsNothing_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("root") << ":/zeph.png";
    QTest::newRow("other-prefix") << ":/images/zeph@2x.png";
    QTest::newRow("prefix-case") << ":/Main/zeph.png";
}

void tst_Resources::outsidePrefixFindsNothing()
{
    QFETCH(QString, path);
    QVERIFY(!QFile::exists(path));
    QVERIFY(QPixmap(path).isNull());
}

QTEST_MAIN(tst_Resources)
#include "tst_Resources.moc"
