// Logo decoding: what a squad's server may hand us instead of a good JPEG.

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QtTest>

#include "JpegImage.h"
#include "TestSupport.h"

namespace {

QByteArray readFixture(const QString& name)
{
    QFile file(sourcePath("tests/app/data/" + name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
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

// Rewrites the frame header's size fields: the decoder must refuse the
// picture from its header alone, before allocating anything for it.
QByteArray withDeclaredSize(QByteArray jpeg, quint16 width, quint16 height)
{
    for (int i = 2; i + 9 < jpeg.size(); ++i) {
        const auto marker = quint8(jpeg[i + 1]);
        if (quint8(jpeg[i]) == 0xFF && (marker == 0xC0 || marker == 0xC2)) {
            jpeg[i + 5] = char(height >> 8);
            jpeg[i + 6] = char(height & 0xFF);
            jpeg[i + 7] = char(width >> 8);
            jpeg[i + 8] = char(width & 0xFF);
            return jpeg;
        }
    }
    return {};
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
            const QByteArray data = readFixture(name);
            QVERIFY2(!data.isEmpty(), name);
            QString error;
            const QImage image = JpegImage::decode(data, &error);
            QVERIFY2(!image.isNull(), qPrintable(QString(name) + ": " + error));
            QCOMPARE(image.size(), QSize(40, 30));
        }
        // The CMYK fixture is yellow to green: never dark, never blue.
        const QImage cmyk = JpegImage::decode(readFixture("cmyk.jpg"));
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

    void refusesHugePicturesFromTheirHeader()
    {
        const QByteArray small = baselineJpeg(16, 16);
        QString error;
        QVERIFY(JpegImage::decode(withDeclaredSize(small, 60000, 60000), &error).isNull());
        QVERIFY2(error.contains("60000"), qPrintable(error));
        QVERIFY(JpegImage::decode(withDeclaredSize(small, 65500, 65500)).isNull());
        QVERIFY(JpegImage::decode(withDeclaredSize(small, JpegImage::maxSide + 1, 16)).isNull());
    }

    void loadsFromAFileAndReportsAMissingOne()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("temp.jpg");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(baselineJpeg(8, 8));
        file.close();
        QCOMPARE(JpegImage::load(path).size(), QSize(8, 8));
        QString error;
        QVERIFY(JpegImage::load(dir.filePath("missing.jpg"), &error).isNull());
        QVERIFY(!error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestJpegImage)
#include "TestJpegImage.moc"
