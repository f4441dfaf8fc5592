// Hostile logos: every limit of the decoder holds before the work or the
// memory it guards is spent, and no mangled file ends the process.

#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

#include "JpegImage.h"
#include "TestSupport.h"

namespace
{

QByteArray fixture(const QString& name)
{
    QFile file(sourcePath("tests/app/data/" + name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The offset of the first marker of this kind, or -1. Markers are found by
// walking the segments, so that bytes inside them are never taken for one.
qsizetype findMarker(const QByteArray& jpeg, quint8 wanted)
{
    qsizetype i = 2;
    while (i + 4 <= jpeg.size() && quint8(jpeg[i]) == 0xFF) {
        const auto marker = quint8(jpeg[i + 1]);
        if (marker == wanted)
            return i;
        if (marker == 0xDA || marker == 0xD9)
            return -1;
        i += 2 + (quint8(jpeg[i + 2]) << 8 | quint8(jpeg[i + 3]));
    }
    return -1;
}

} // namespace

class TestJpegFaults : public QObject
{
    Q_OBJECT
private slots:
    void tenThousandScansAreRefused()
    {
        // The fixture's last scan (its header and entropy data, up to the end
        // marker) repeated: a file of 10,000 progressive scans, each of which
        // would cost a pass over the whole picture.
        const QByteArray progressive = fixture("progressive.jpg");
        QVERIFY(progressive.endsWith("\xFF\xD9"));
        const qsizetype lastScan = progressive.lastIndexOf("\xFF\xDA");
        QVERIFY(lastScan > 0);
        const QByteArray scan = progressive.mid(lastScan, progressive.size() - 2 - lastScan);
        QByteArray many = progressive.left(progressive.size() - 2);
        for (int i = 1; i < 10000; ++i)
            many += scan;
        many += "\xFF\xD9";

        QString error;
        QVERIFY(JpegImage::decode(many, &error).isNull());
        QCOMPARE(error, QStringLiteral("too many scans"));
        // The same file with a few repeated scans is still a picture.
        QByteArray some = progressive.left(progressive.size() - 2) + scan + scan + "\xFF\xD9";
        QCOMPARE(JpegImage::decode(some).size(), QSize(40, 30));
    }

    void memoryBeyondTheLimitIsRefusedBeforeDecoding()
    {
        // 8192 x 8192 is within the side limit, but a progressive picture of
        // that size without subsampling needs 8192 * 8192 * 3 coefficients of
        // 2 bytes (384 MiB) held at once: refused when the decoder plans its
        // memory, before a pixel is decoded or the picture is allocated.
        QByteArray jpeg = fixture("progressive.jpg");
        const qsizetype sof = findMarker(jpeg, 0xC2);
        QVERIFY(sof > 0);
        jpeg[sof + 5] = char(0x20); // height 8192
        jpeg[sof + 6] = char(0x00);
        jpeg[sof + 7] = char(0x20); // width 8192
        jpeg[sof + 8] = char(0x00);
        const int components = quint8(jpeg[sof + 9]);
        QCOMPARE(components, 3);
        for (int c = 0; c < components; ++c)
            jpeg[sof + 11 + 3 * c] = char(0x11); // no subsampling
        QVERIFY(8192LL * 8192 * 3 * 2 > JpegImage::maxMemory);
        QString error;
        QVERIFY(JpegImage::decode(jpeg, &error).isNull());
        // libjpeg's word for "more than max_memory_to_use, and nowhere to
        // put the rest".
        QCOMPARE(error, QStringLiteral("Backing store not supported"));
    }

    void mangledFilesNeverEndTheProcess()
    {
        // Each of these was once a good logo; bytes overwritten, cut off or
        // repeated at random. The decoder may give a picture or none, but
        // never crashes, hangs or reads outside its buffer (the sanitizer
        // build checks that last one).
        QRandomGenerator random(20240611);
        const QList<QByteArray> originals{fixture("progressive.jpg"), fixture("cmyk.jpg"),
                                          fixture("gray.jpg")};
        int decoded = 0;
        for (const QByteArray& original : originals) {
            QVERIFY(!original.isEmpty());
            for (int round = 0; round < 300; ++round) {
                QByteArray mangled = original;
                const int edits = 1 + random.bounded(8);
                for (int e = 0; e < edits; ++e) {
                    const int at = random.bounded(int(mangled.size()));
                    switch (random.bounded(3)) {
                    case 0:
                        mangled[at] = char(random.bounded(256));
                        break;
                    case 1:
                        mangled.truncate(qMax(at, 2));
                        break;
                    default:
                        mangled.insert(at, mangled.mid(at, random.bounded(64)));
                        break;
                    }
                }
                const QImage image = JpegImage::decode(mangled);
                if (!image.isNull()) {
                    ++decoded;
                    QVERIFY(image.width() <= JpegImage::maxSide &&
                            image.height() <= JpegImage::maxSide);
                }
            }
        }
        QVERIFY(decoded > 0); // the mangling left some of them pictures
    }
};

QTEST_GUILESS_MAIN(TestJpegFaults)
#include "TestJpegFaults.moc"
