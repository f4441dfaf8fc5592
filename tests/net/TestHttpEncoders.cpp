// The HTTP client's helpers that need no connection: the header list, the
// form encoder and the Base64 / uuencode processor.

#include <QBuffer>
#include <QtTest>

#include "ExStrings.h"
#include "UUProcessor.h"
#include "UrlEncoder.h"

namespace {

// A device that fails on the first read.
class BrokenDevice : public QIODevice {
public:
    BrokenDevice() { open(QIODevice::ReadOnly); }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char*, qint64) override { return -1; }
};

// Encodes input (or reads from failing, when given), recording the events.
QByteArray encodeWith(UUMethods method, QByteArray input, QStringList* events = nullptr,
                      QIODevice* failing = nullptr)
{
    QBuffer in(&input);
    QByteArray encoded;
    QBuffer out(&encoded);
    in.open(QIODevice::ReadOnly);
    in.seek(input.size()); // Encode must start from the beginning anyway
    out.open(QIODevice::WriteOnly);
    TUUProcessor processor;
    processor.Method = method;
    processor.InputStream = failing ? failing : &in;
    processor.OutputStream = &out;
    if (events) {
        processor.OnBeginEncode = [&](QObject*) { *events << QStringLiteral("begin"); };
        processor.OnEndEncode = [&](QObject*) { *events << QStringLiteral("end at %1").arg(out.pos()); };
    }
    processor.Encode();
    return encoded;
}

} // namespace

class TestHttpEncoders : public QObject {
    Q_OBJECT
private slots:
    void setHeader()
    {
        TExStringList list;
        // No colon: never a header; a longer name, or a space before the colon,
        // is another header.
        list << "GET /Host:80 HTTP/1.0" << "Host" << "Hostname: x" << "Host : y" << "host: old" << "HOST: second";
        list.SetHeader("Host", "new");
        QCOMPARE(list.at(4), QByteArray("Host: new"));
        list.SetHeader("Cookie", "id=7; path=/");
        QCOMPARE(list.last(), QByteArray("Cookie: id=7; path=/"));
        list.SetHeader("host", QByteArray()); // deletes the first match only
        QCOMPARE(list, (QByteArrayList{"GET /Host:80 HTTP/1.0", "Host", "Hostname: x", "Host : y", "HOST: second",
                                       "Cookie: id=7; path=/"}));
    }

    void urlEncoding()
    {
        TUrlEncoder encoder;
        encoder.InputString = QByteArray("a b&c AZaz09/-_.~\xE9\r\n\0", 21);
        QCOMPARE(encoder.Encode(), QByteArray("a+b%26c+AZaz09%2F%2D%5F%2E%7E%E9%0D%0A%00"));
    }

    void mimeMatchesBase64AndBreaksEvery45Bytes()
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

    void uuCodeLines()
    {
        QCOMPARE(encodeWith(uuCode, ""), QByteArray("`\r\n"));
        QCOMPARE(encodeWith(uuCode, "Cat"), QByteArray("#0V%T\r\n`\r\n"));
        // One and two bytes: no padding.
        QCOMPARE(encodeWith(uuCode, "A"), QByteArray("!00\r\n`\r\n"));
        QCOMPARE(encodeWith(uuCode, "AB"), QByteArray("\"04(\r\n`\r\n"));
        // A full line of zeros, then one byte.
        QCOMPARE(encodeWith(uuCode, QByteArray(46, '\0')), "M" + QByteArray(60, '`') + "\r\n!``\r\n`\r\n");
    }

    // OnEndEncode runs after the output is rewound, also when reading fails.
    void endEncodeRunsAfterTheOutputIsRewound()
    {
        QStringList events;
        encodeWith(uuMime, "user:secret", &events);
        QCOMPARE(events, (QStringList{"begin", "end at 0"}));
        events.clear();
        BrokenDevice broken;
        QVERIFY_THROWS_EXCEPTION(Exception, encodeWith(uuMime, "", &events, &broken));
        QCOMPARE(events, (QStringList{"begin", "end at 0"}));
    }
};

QTEST_GUILESS_MAIN(TestHttpEncoders)
#include "TestHttpEncoders.moc"
