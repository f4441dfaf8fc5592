// Replies that no honest server sends, and disks that refuse the reply: the
// HTTP client must end each of them with an exception, never with a header or
// body that passes for a good reply.

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "HttpClient.h"
#include "ScriptedPeer.h"

namespace
{

template <class F> QString thrown(F&& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    return QStringLiteral("<none>");
}

// One request: reads the request header to its empty line, sends the reply
// and closes.
void answerOnce(ScriptedPeer& peer, const QByteArray& reply)
{
    peer.expectLine().run([&peer, reply] {
        if (peer.lines().last() != "\r\n")
            return answerOnce(peer, reply);
        peer.send(reply).close();
    });
}

struct Client {
    QTemporaryDir dir;
    ScriptedPeer peer;
    THttpClient http;

    Client()
    {
        http.Body = QFile::encodeName(dir.filePath("temp.jpg"));
        http.Header = QFile::encodeName(dir.filePath("Head.txt"));
        http.InputFileMode = true;
        http.OutputFileMode = true;
        http.TimeOut = 500; // a script that goes wrong must not hang the test
    }
    QString get()
    {
        const QString url = QStringLiteral("http://127.0.0.1:%1/logo.jpg").arg(peer.port());
        http.Host = url;
        return thrown([&] { http.Get(url); });
    }
    bool bodyStored() const { return QFile::exists(dir.filePath("temp.jpg")); }
};

} // namespace

class TestHttpFaults : public QObject
{
    Q_OBJECT
private slots:
    void nulInTheReplyHeaderIsRefused_data()
    {
        QTest::addColumn<QByteArray>("reply");
        // "@" stands for the NUL byte.
        auto nul = [](const char* text) { return QByteArray(text).replace('@', '\0'); };
        QTest::newRow("status line") << nul("HTTP/1.0 200@ OK\r\n\r\nbody");
        QTest::newRow("content length")
            << nul("HTTP/1.0 200 OK\r\nContent-Length: 4@000\r\n\r\nbody");
        QTest::newRow("location") << nul("HTTP/1.0 302 Found\r\nLocation: /a.jpg@.exe\r\n\r\n");
        QTest::newRow("cookie") << nul("HTTP/1.0 200 OK\r\nSet-Cookie: id=7@x\r\n\r\nbody");
    }

    void nulInTheReplyHeaderIsRefused()
    {
        QFETCH(QByteArray, reply);
        Client c;
        answerOnce(c.peer, reply);
        QCOMPARE(c.get(), QStringLiteral("Reply header holds a NUL character"));
        QVERIFY(!c.bodyStored());
        QVERIFY(!c.http.Connected);
        QCOMPARE(c.peer.connectionCount(), 1); // no redirect followed
    }

    void contentLengthMustBeOneValue()
    {
        // Two different lengths: which one frames the body is anybody's
        // guess, so the reply is refused whole.
        Client c;
        answerOnce(c.peer,
                   "HTTP/1.0 200 OK\r\nContent-Length: 100\r\nContent-Length: 4\r\n\r\nbody");
        QCOMPARE(c.get(), QStringLiteral("Reply header holds two different Content-Length values"));
        QVERIFY(!c.bodyStored());

        // The same value twice is one value.
        Client d;
        answerOnce(d.peer,
                   "HTTP/1.0 200 OK\r\nContent-Length: 4\r\ncontent-length:  4\r\n\r\nbody");
        QCOMPARE(d.get(), QStringLiteral("<none>"));
        QCOMPARE(d.http.contentLength(), 4);
    }

    void hugeAnnouncedLengthThenClose_data()
    {
        QTest::addColumn<QByteArray>("length");
        QTest::newRow("a billion") << QByteArray("1000000000");
        QTest::newRow("beyond 64 bits") << QByteArray("99999999999999999999999999");
    }

    void hugeAnnouncedLengthThenClose()
    {
        QFETCH(QByteArray, length);
        Client c;
        answerOnce(c.peer, "HTTP/1.0 200 OK\r\nContent-Length: " + length + "\r\n\r\nbody");
        const QString error = c.get();
        QVERIFY2(error.startsWith("Connection closed before the whole body arrived (4 of "),
                 qPrintable(error));
    }

    void aFullDiskIsAnError_data()
    {
        QTest::addColumn<bool>("bodyOnFullDisk");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("body to the close") << true << QByteArray("HTTP/1.0 200 OK\r\n\r\nbody");
        QTest::newRow("body of a known length")
            << true << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbody");
        QTest::newRow("header") << false << QByteArray("HTTP/1.0 200 OK\r\n\r\nbody");
    }

    void aFullDiskIsAnError()
    {
        // /dev/full takes the open and refuses every write with ENOSPC: the
        // bytes must not be reported as stored. A small body is the hard
        // case: it fits in a file buffer and fails only when flushed.
        if (!QFileInfo(QStringLiteral("/dev/full")).isWritable())
            QSKIP("no writable /dev/full here");
        QFETCH(bool, bodyOnFullDisk);
        QFETCH(QByteArray, reply);
        Client c;
        const QString full = c.dir.filePath(bodyOnFullDisk ? "temp.jpg" : "Head.txt");
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), full));
        answerOnce(c.peer, reply);
        const QString error = c.get();
        QVERIFY2(error.startsWith(QStringLiteral("Cannot write file ")), qPrintable(error));
        QVERIFY(!c.http.Connected);
        QFile::remove(full); // the link, not the device
        QVERIFY(QFileInfo(QStringLiteral("/dev/full")).exists());
    }
};

QTEST_GUILESS_MAIN(TestHttpFaults)
#include "TestHttpFaults.moc"
