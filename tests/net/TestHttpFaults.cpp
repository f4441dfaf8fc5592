// Replies that no honest server sends, and disks that refuse the reply: the
// HTTP client must end each of them with an exception, never with a header or
// body that passes for a good reply.

#include <QtTest>

#include "HttpScript.h"

namespace {

QString getAnsweredBy(HttpRig& rig, const QByteArray& reply)
{
    serveReplies(rig.peer, {reply});
    return thrown([&] { rig.get("/logo.jpg"); });
}

bool bodyStored(const HttpRig& rig)
{
    return QFile::exists(rig.dir.filePath("temp.jpg"));
}

} // namespace

class TestHttpFaults : public QObject {
    Q_OBJECT
private slots:
    void nulInTheReplyHeaderIsRefused_data()
    {
        QTest::addColumn<QByteArray>("reply");
        // "@" stands for the NUL byte.
        auto nul = [](const char* text) { return QByteArray(text).replace('@', '\0'); };
        QTest::newRow("status line") << nul("HTTP/1.0 200@ OK\r\n\r\nbody");
        QTest::newRow("content length") << nul("HTTP/1.0 200 OK\r\nContent-Length: 4@000\r\n\r\nbody");
        QTest::newRow("location") << nul("HTTP/1.0 302 Found\r\nLocation: /a.jpg@.exe\r\n\r\n");
        QTest::newRow("cookie") << nul("HTTP/1.0 200 OK\r\nSet-Cookie: id=7@x\r\n\r\nbody");
    }

    void nulInTheReplyHeaderIsRefused()
    {
        QFETCH(QByteArray, reply);
        HttpRig c;
        QCOMPARE(getAnsweredBy(c, reply), QStringLiteral("Reply header holds a NUL character"));
        QVERIFY(!bodyStored(c));
        QVERIFY(!c.client.Connected);
        QCOMPARE(c.peer.connectionCount(), 1); // no redirect followed
    }

    // Two different lengths: which one frames the body is anybody's guess, so
    // the reply is refused whole; the same value twice is one value. A huge
    // announced length is no length the body can reach.
    void contentLengthMustBeOneReachableValue()
    {
        HttpRig c, d;
        QCOMPARE(getAnsweredBy(c, "HTTP/1.0 200 OK\r\nContent-Length: 100\r\nContent-Length: 4\r\n\r\nbody"),
                 QStringLiteral("Reply header holds two different Content-Length values"));
        QVERIFY(!bodyStored(c));
        QCOMPARE(getAnsweredBy(d, "HTTP/1.0 200 OK\r\nContent-Length: 4\r\ncontent-length:  4\r\n\r\nbody"),
                 QStringLiteral("<none>"));
        QCOMPARE(d.client.contentLength(), 4);

        for (const QByteArray length : {"1000000000", "99999999999999999999999999"}) {
            HttpRig e;
            const QString error =
                getAnsweredBy(e, "HTTP/1.0 200 OK\r\nContent-Length: " + length + "\r\n\r\nbody");
            QVERIFY2(error.startsWith("Connection closed before the whole body arrived (4 of "),
                     qPrintable(error));
        }
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
        HttpRig c;
        const QString full = c.dir.filePath(bodyOnFullDisk ? "temp.jpg" : "Head.txt");
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), full));
        const QString error = getAnsweredBy(c, reply);
        QVERIFY2(error.startsWith(QStringLiteral("Cannot write file ")), qPrintable(error));
        QVERIFY(!c.client.Connected);
        QFile::remove(full); // the link, not the device
        QVERIFY(QFileInfo(QStringLiteral("/dev/full")).exists());
    }
};

QTEST_GUILESS_MAIN(TestHttpFaults)
#include "TestHttpFaults.moc"
