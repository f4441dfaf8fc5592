// Replies that no honest server sends, and disks that refuse the reply: the
// HTTP client must end each of them with an exception, never with a header or
// body that passes for a good reply.

#include <QtTest>

#include "FileSizeLimit.h"
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
        // The disk takes 64 bytes of any file: the header of the first two
        // rows fits and their body does not; the third's header does not.
        QTest::addColumn<QByteArray>("reply");
        const QByteArray body(100, 'b');
        QTest::newRow("body to the close") << "HTTP/1.0 200 OK\r\n\r\n" + body;
        QTest::newRow("body of a known length") << "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n" + body;
        QTest::newRow("header") << "HTTP/1.0 200 OK\r\nX-Filler: " + QByteArray(80, 'f') + "\r\n\r\nbody";
    }

    void aFullDiskIsAnError()
    {
        // Every write beyond the limit fails (EFBIG): the bytes must not be
        // reported as stored. A small body is the hard case: it fits in a
        // file buffer and fails only when flushed.
        QFETCH(QByteArray, reply);
        HttpRig c;
        QString error;
        {
            FileSizeLimit diskFull(64);
            QVERIFY(diskFull.works());
            error = getAnsweredBy(c, reply);
        }
        QVERIFY2(error.startsWith(QStringLiteral("Cannot write file ")), qPrintable(error));
        QVERIFY(!c.client.Connected);
    }

    // The working files have fixed names; a link put in the place of one is
    // refused, and neither it nor what it points to is written. A file made
    // anew is the user's alone.
    void aLinkInThePlaceOfAWorkingFileIsRefused_data()
    {
        QTest::addColumn<QString>("link");
        QTest::newRow("body") << "temp.jpg";
        QTest::newRow("header") << "Head.txt";
    }

    void aLinkInThePlaceOfAWorkingFileIsRefused()
    {
        QFETCH(QString, link);
        HttpRig c;
        QTemporaryDir elsewhere;
        const QString victim = elsewhere.filePath("victim");
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("precious") == 8);
        file.close();
        QVERIFY(QFile::link(victim, c.dir.filePath(link)));
        const QString error = getAnsweredBy(c, "HTTP/1.0 200 OK\r\n\r\nbody");
        QVERIFY2(error.startsWith(QStringLiteral("Cannot create file ")), qPrintable(error));
        QVERIFY(!c.client.Connected);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("precious"));
        QVERIFY(QFileInfo(c.dir.filePath(link)).isSymLink());
        if (link == QLatin1String("temp.jpg")) // the header came first
            QCOMPARE(QFileInfo(c.dir.filePath("Head.txt")).permissions() &
                         (QFile::ReadGroup | QFile::ReadOther | QFile::WriteOther),
                     QFile::Permissions());
    }
};

QTEST_GUILESS_MAIN(TestHttpFaults)
#include "TestHttpFaults.moc"
