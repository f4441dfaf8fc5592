// The HTTP client's helpers that need no connection: the header list, the
// form encoder and the Base64 / uuencode processor.

#include <QBuffer>
#include <QtTest>

#include "ExStrings.h"
#include "UUProcessor.h"
#include "UrlEncoder.h"

namespace {

QByteArray encodeWith(UUMethods method, QByteArray input, QStringList* events = nullptr,
                      qint64* outputPosAtEnd = nullptr)
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
    if (events) {
        processor.OnBeginEncode = [events](QObject*) { events->append(QStringLiteral("begin")); };
        processor.OnEndEncode = [events, &out, outputPosAtEnd](QObject*) {
            events->append(QStringLiteral("end"));
            if (outputPosAtEnd)
                *outputPosAtEnd = out.pos();
        };
    }
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
    void setHeaderReplacesAppendsAndDeletes();
    void setHeaderMatchesOnlyTheWholeName();
    void urlEncoding_data();
    void urlEncoding();
    void mimeMatchesBase64AndBreaksEvery45Bytes();
    void mimeEventsAndRewind();
    void uuCodeLines_data();
    void uuCodeLines();
    void failingInputStillEndsEncoding();
};

void TestHttpEncoders::setHeaderReplacesAppendsAndDeletes()
{
    TExStringList list;
    list << "GET / HTTP/1.0" << "host: old" << "Accept: a" << "HOST: second";
    list.SetHeader("Host", "new");
    QCOMPARE(list, (QByteArrayList{"GET / HTTP/1.0", "Host: new", "Accept: a", "HOST: second"}));

    list.SetHeader("Cookie", "id=7; path=/");
    QCOMPARE(list.last(), QByteArray("Cookie: id=7; path=/"));

    list.SetHeader("host", QByteArray()); // deletes the first match only
    QCOMPARE(list, (QByteArrayList{"GET / HTTP/1.0", "Accept: a", "HOST: second",
                                   "Cookie: id=7; path=/"}));
    list.SetHeader("Missing", QByteArray());
    QCOMPARE(list.size(), 4);
}

void TestHttpEncoders::setHeaderMatchesOnlyTheWholeName()
{
    TExStringList list;
    // No colon: never a header. A longer name or a name with a space before
    // the colon is another header.
    list << "Host" << "Hostname: x" << "Host : y" << "GET /Host:80 HTTP/1.0";
    list.SetHeader("Host", "h");
    QCOMPARE(list.size(), 5);
    QCOMPARE(list.last(), QByteArray("Host: h"));
    QCOMPARE(list.at(1), QByteArray("Hostname: x"));
}

void TestHttpEncoders::urlEncoding_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("form") << QByteArray("a b&c") << QByteArray("a+b%26c");
    QTest::newRow("alnum") << QByteArray("AZaz09") << QByteArray("AZaz09");
    QTest::newRow("slash") << QByteArray("/") << QByteArray("%2F");
    QTest::newRow("unreserved too") << QByteArray("-_.~*") << QByteArray("%2D%5F%2E%7E%2A");
    QTest::newRow("high byte") << QByteArray("\xE9") << QByteArray("%E9");
    QTest::newRow("controls") << QByteArray("\r\n\0+", 4) << QByteArray("%0D%0A%00%2B");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestHttpEncoders::urlEncoding()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    TUrlEncoder encoder;
    encoder.InputString = input;
    QCOMPARE(encoder.Encode(), expected);
}

void TestHttpEncoders::mimeMatchesBase64AndBreaksEvery45Bytes()
{
    QByteArray input;
    for (int n = 0; n <= 100; ++n) {
        const QByteArray encoded = encodeWith(uuMime, input);
        QByteArray expected;
        for (qsizetype at = 0; at < input.size(); at += 45)
            expected += input.mid(at, 45).toBase64() + "\r\n";
        QCOMPARE(encoded, expected);
        input.append(static_cast<char>((n * 37 + 11) & 0xFF));
    }
    QCOMPARE(encodeWith(uuMime, "a"), QByteArray("YQ==\r\n"));
    QCOMPARE(encodeWith(uuMime, "ab"), QByteArray("YWI=\r\n"));
    QCOMPARE(encodeWith(uuMime, "abc"), QByteArray("YWJj\r\n"));
}

void TestHttpEncoders::mimeEventsAndRewind()
{
    QStringList events;
    qint64 pos = -1;
    encodeWith(uuMime, "user:secret", &events, &pos);
    QCOMPARE(events, (QStringList{"begin", "end"}));
    QCOMPARE(pos, 0); // rewound before OnEndEncode
}

void TestHttpEncoders::uuCodeLines_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("empty") << QByteArray() << QByteArray("`\r\n");
    QTest::newRow("Cat") << QByteArray("Cat") << QByteArray("#0V%T\r\n`\r\n");
    QTest::newRow("one byte, no padding") << QByteArray("A") << QByteArray("!00\r\n`\r\n");
    QTest::newRow("two bytes, no padding") << QByteArray("AB") << QByteArray("\"04(\r\n`\r\n");
    QTest::newRow("zeros use the grave accent")
        << QByteArray(3, '\0') << QByteArray("#````\r\n`\r\n");
    QTest::newRow("full line then one byte")
        << QByteArray(46, '\0') << QByteArray("M" + QByteArray(60, '`') + "\r\n!``\r\n`\r\n");
}

void TestHttpEncoders::uuCodeLines()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QCOMPARE(encodeWith(uuCode, input), expected);
}

void TestHttpEncoders::failingInputStillEndsEncoding()
{
    BrokenDevice in;
    QByteArray encoded;
    QBuffer out(&encoded);
    out.open(QIODevice::WriteOnly);
    TUUProcessor processor;
    processor.InputStream = &in;
    processor.OutputStream = &out;
    int ended = 0;
    processor.OnEndEncode = [&](QObject*) { ++ended; };
    QVERIFY_THROWS_EXCEPTION(Exception, processor.Encode());
    QCOMPARE(ended, 1);

    processor.InputStream = nullptr;
    QVERIFY_THROWS_EXCEPTION(Exception, processor.Encode());
}

QTEST_GUILESS_MAIN(TestHttpEncoders)
#include "TestHttpEncoders.moc"
