// Logo decoding: the kinds of JPEG found on the web, and what a squad's server
// may hand us instead. Every limit of the decoder holds before the work or the
// memory it guards is spent, and no mangled file ends the process.

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QRandomGenerator>
#include <QtTest>

#include "HostileJpeg.h"
#include "JpegImage.h"
#include "TestSupport.h"

namespace {

QByteArray fixture(const QString& name)
{
    QFile file(sourcePath("tests/app/data/" + name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray baselineJpeg(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(qRgb(200, 30, 30));
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 90);
    return data;
}

// The offset of the frame header (baseline or progressive), or -1. Markers
// are found by walking the segments, so that bytes inside them are never
// taken for one.
qsizetype frameHeader(const QByteArray& jpeg)
{
    qsizetype i = 2;
    while (i + 4 <= jpeg.size() && quint8(jpeg[i]) == 0xFF) {
        const auto marker = quint8(jpeg[i + 1]);
        if (marker == 0xC0 || marker == 0xC2)
            return i;
        if (marker == 0xDA || marker == 0xD9)
            return -1;
        i += 2 + (quint8(jpeg[i + 2]) << 8 | quint8(jpeg[i + 3]));
    }
    return -1;
}

// Rewrites the frame header's size fields.
QByteArray withDeclaredSize(QByteArray jpeg, quint16 width, quint16 height)
{
    const qsizetype sof = frameHeader(jpeg);
    if (sof < 0)
        return {};
    jpeg[sof + 5] = char(height >> 8);
    jpeg[sof + 6] = char(height & 0xFF);
    jpeg[sof + 7] = char(width >> 8);
    jpeg[sof + 8] = char(width & 0xFF);
    return jpeg;
}

} // namespace

class TestJpegImage : public QObject {
    Q_OBJECT
private slots:
    void decodesTheKindsOfJpegFoundOnTheWeb()
    {
        const QImage baseline = JpegImage::decode(baselineJpeg(64, 48));
        QCOMPARE(baseline.size(), QSize(64, 48));
        QVERIFY(qRed(baseline.pixel(10, 10)) > 150);

        for (const char* name : {"progressive.jpg", "cmyk.jpg", "gray.jpg"}) {
            const QByteArray data = fixture(name);
            QVERIFY2(!data.isEmpty(), name);
            QString error;
            const QImage image = JpegImage::decode(data, &error);
            QVERIFY2(!image.isNull(), qPrintable(QString(name) + ": " + error));
            QCOMPARE(image.size(), QSize(40, 30));
        }
        // The CMYK fixture is yellow to green: never dark, never blue.
        const QImage cmyk = JpegImage::decode(fixture("cmyk.jpg"));
        QVERIFY(qGreen(cmyk.pixel(20, 15)) > 100);
        QVERIFY(qBlue(cmyk.pixel(20, 15)) < 100);
    }

    void refusesWhatIsNoDecodableJpeg()
    {
        QString error;
        QVERIFY(JpegImage::decode(QByteArray(), &error).isNull());
        QVERIFY(JpegImage::decode("<html><body>404 Not Found</body></html>", &error).isNull());
        QVERIFY(!error.isEmpty());

        QByteArray random(4096, Qt::Uninitialized);
        quint32 seed = 12345;
        for (char& c : random)
            c = char((seed = seed * 1103515245u + 12345u) >> 24);
        QVERIFY(JpegImage::decode(random).isNull());
        random[0] = char(0xFF);
        random[1] = char(0xD8); // a JPEG start followed by noise
        QVERIFY(JpegImage::decode(random).isNull());

        // A truncated file still decodes what is there (libjpeg pads the
        // rest) or fails cleanly; either way the process goes on.
        const QByteArray full = baselineJpeg(200, 200);
        const QImage truncated = JpegImage::decode(full.left(full.size() / 2));
        QVERIFY(truncated.isNull() || truncated.size() == QSize(200, 200));
        QVERIFY(JpegImage::decode(full.left(100)).isNull());
    }

    // Refused from the header alone, before anything is allocated for it.
    void refusesHugePicturesFromTheirHeader()
    {
        const QByteArray small = baselineJpeg(16, 16);
        QString error;
        QVERIFY(JpegImage::decode(withDeclaredSize(small, 65500, 65500), &error).isNull());
        QVERIFY2(error.contains("65500"), qPrintable(error));
        QVERIFY(JpegImage::decode(withDeclaredSize(small, JpegImage::maxSide + 1, 16)).isNull());
    }

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
        const QByteArray head = progressive.left(progressive.size() - 2);

        QString error;
        QVERIFY(JpegImage::decode(head + scan.repeated(9999) + "\xFF\xD9", &error).isNull());
        QCOMPARE(error, QStringLiteral("too many scans"));
        // The same file with a few repeated scans is still a picture.
        QCOMPARE(JpegImage::decode(head + scan + scan + "\xFF\xD9").size(), QSize(40, 30));
    }

    // Pixels times scans: the scans are counted as they are read, and the
    // decode ends at the first one beyond the budget.
    void theWorkBudgetHolds_data()
    {
        QTest::addColumn<int>("side");
        QTest::addColumn<int>("scans");
        QTest::addColumn<qint64>("budget");
        QTest::addColumn<QString>("error"); // empty: decodes
        const qint64 mega = 1024 * 1024;
        QTest::newRow("16 scans of 16 megapixels, budget 256") << 4096 << 16 << 256 * mega << "";
        QTest::newRow("17 scans of 16 megapixels, budget 256") << 4096 << 17 << 256 * mega << "too much work";
        QTest::newRow("704 scans of 64 megapixels") << 8192 << 704 << JpegImage::maxWork << "too much work";
        QTest::newRow("704 scans of a small picture") << 64 << 704 << JpegImage::maxWork << "";
        QTest::newRow("baseline larger than the budget") << 1024 << 0 << mega - 1 << "too much work";
    }

    void theWorkBudgetHolds()
    {
        QFETCH(int, side);
        QFETCH(int, scans);
        QFETCH(qint64, budget);
        QFETCH(QString, error);
        const QByteArray jpeg = scans > 0 ? HostileJpeg::make(side, scans) : baselineJpeg(side, side);
        QVERIFY(!jpeg.isEmpty());
        JpegImage::Limits limits;
        limits.maxWork = budget;
        QString why;
        const QImage image = JpegImage::decode(jpeg, &why, limits);
        QCOMPARE(why, error);
        QCOMPARE(image.isNull(), !error.isEmpty());
        if (!image.isNull())
            QCOMPARE(image.size(), QSize(side, side));
    }

    void aCancelledDecodeEnds()
    {
        const std::atomic_bool cancel = true;
        JpegImage::Limits limits;
        limits.cancel = &cancel;
        QString error;
        QVERIFY(JpegImage::decode(HostileJpeg::make(256, 20), &error, limits).isNull());
        QCOMPARE(error, QStringLiteral("cancelled"));
    }

    void memoryBeyondTheLimitIsRefusedBeforeDecoding()
    {
        // 8192 x 8192 is within the side limit, but a progressive picture of
        // that size without subsampling needs 8192 * 8192 * 3 coefficients of
        // 2 bytes (384 MiB) held at once: refused when the decoder plans its
        // memory, before a pixel is decoded or the picture is allocated.
        QByteArray jpeg = withDeclaredSize(fixture("progressive.jpg"), 8192, 8192);
        const qsizetype sof = frameHeader(jpeg);
        QVERIFY(sof > 0 && quint8(jpeg[sof + 1]) == 0xC2);
        QCOMPARE(int(jpeg[sof + 9]), 3); // components
        for (int c = 0; c < 3; ++c)
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
        int decoded = 0;
        for (const char* name : {"progressive.jpg", "cmyk.jpg", "gray.jpg"}) {
            const QByteArray original = fixture(name);
            QVERIFY(!original.isEmpty());
            for (int round = 0; round < 300; ++round) {
                QByteArray mangled = original;
                for (int edits = 1 + random.bounded(8); edits > 0; --edits) {
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
                    QVERIFY(image.width() <= JpegImage::maxSide && image.height() <= JpegImage::maxSide);
                }
            }
        }
        QVERIFY(decoded > 0); // the mangling left some of them pictures
    }

    void loadsFromAFileAndReportsAMissingOne()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("temp.jpg");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(baselineJpeg(8, 8)) > 0);
        file.close();
        QCOMPARE(JpegImage::load(path).size(), QSize(8, 8));
        QString error;
        QVERIFY(JpegImage::load(dir.filePath("missing.jpg"), &error).isNull());
        QVERIFY(!error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestJpegImage)
#include "TestJpegImage.moc"
