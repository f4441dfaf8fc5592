// The HTTP client's helpers that need no connection: the header list, the
// form encoder and the Base64 / uuencode processor.

#include <QBuffer>
#include <QtTest>

#include "ExStrings.h"
#include "UUProcessor.h"
#include "UrlEncoder.h"

namespace {

QByteArray encodeWith(UUMethods method, QByteArray input)
{
    QBuffer in(&input);
    QByteArray encoded;
    QBuffer out(&encoded);
    in.open(QIODevice::ReadOnly);
    in.seek(input.size()); // Encode must start from the beginning anyway
    out.open(QIODevice::WriteOnly);
    TUUProcessor processor;
    processor.Method = method;
    processor.InputStream = &in;
    processor.OutputStream = &out;
    processor.Encode();
    return encoded;
}

// A device that fails on the first read.
class BrokenDevice : public QIODevice {
public:
    BrokenDevice() { open(QIODevice::ReadOnly); }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char*, qint64) override { return -1; }
};

} // namespace

class TestHttpEncoders : public QObject {
    Q_OBJECT
private slots:
    void setHeader();
    void urlEncoding();
    void mimeMatchesBase64AndBreaksEvery45Bytes();
    void uuCodeLines_data();
    void uuCodeLines();
    void endEncodeRunsAfterTheOutputIsRewound();
};

void TestHttpEncoders::setHeader()
{
    TExStringList list;
    // No colon: never a header; a longer name, or a space before the colon,
    // is another header.
    list << "GET /Host:80 HTTP/1.0" << "Host" << "Hostname: x" << "Host : y" << "host: old"
         << "HOST: second";
    list.SetHeader("Host", "new");
    QCOMPARE(list.at(4), QByteArray("Host: new"));
    list.SetHeader("Cookie", "id=7; path=/");
    QCOMPARE(list.last(), QByteArray("Cookie: id=7; path=/"));
    list.SetHeader("host", QByteArray()); // deletes the first match only
    QCOMPARE(list, (QByteArrayList{"GET /Host:80 HTTP/1.0", "Host", "Hostname: x", "Host : y",
                                   "HOST: second", "Cookie: id=7; path=/"}));
}

void TestHttpEncoders::urlEncoding()
{
    TUrlEncoder encoder;
    encoder.InputString = QByteArray("a b&c AZaz09/-_.~\xE9\r\n\0", 21);
    QCOMPARE(encoder.Encode(), QByteArray("a+b%26c+AZaz09%2F%2D%5F%2E%7E%E9%0D%0A%00"));
}

void TestHttpEncoders::mimeMatchesBase64AndBreaksEvery45Bytes()
{
    QByteArray input;
    for (int n = 0; n <= 100; ++n) {
        QByteArray expected;
        for (qsizetype at = 0; at < input.size(); at += 45)
            expected += input.mid(at, 45).toBase64() + "\r\n";
        QCOMPARE(encodeWith(uuMime, input), expected);
        input.append(static_cast<char>((n * 37 + 11) & 0xFF));
    }
}

void TestHttpEncoders::uuCodeLines_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("empty") << QByteArray() << QByteArray("`\r\n");
    QTest::newRow("Cat") << QByteArray("Cat") << QByteArray("#0V%T\r\n`\r\n");
    QTest::newRow("one byte, no padding") << QByteArray("A") << QByteArray("!00\r\n`\r\n");
    QTest::newRow("two bytes, no padding") << QByteArray("AB") << QByteArray("\"04(\r\n`\r\n");
    QTest::newRow("full line of zeros, then one byte")
        << QByteArray(46, '\0') << QByteArray("M" + QByteArray(60, '`') + "\r\n!``\r\n`\r\n");
}

void TestHttpEncoders::uuCodeLines()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QCOMPARE(encodeWith(uuCode, input), expected);
}

void TestHttpEncoders::endEncodeRunsAfterTheOutputIsRewound()
{
    QByteArray plain("user:secret"), encoded;
    QBuffer in(&plain), out(&encoded);
    in.open(QIODevice::ReadOnly);
    out.open(QIODevice::WriteOnly);
    TUUProcessor processor;
    processor.InputStream = &in;
    processor.OutputStream = &out;
    QStringList events;
    processor.OnBeginEncode = [&](QObject*) { events << QStringLiteral("begin"); };
    processor.OnEndEncode = [&](QObject*) { events << QStringLiteral("end at %1").arg(out.pos()); };
    processor.Encode();
    QCOMPARE(events, (QStringList{"begin", "end at 0"}));

    // Also when reading fails.
    BrokenDevice broken;
    processor.InputStream = &broken;
    events.clear();
    QVERIFY_THROWS_EXCEPTION(Exception, processor.Encode());
    QCOMPARE(events, (QStringList{"begin", "end at 0"}));
}

QTEST_GUILESS_MAIN(TestHttpEncoders)
#include "TestHttpEncoders.moc"
