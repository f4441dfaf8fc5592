// Whole-file and whole-stream transfers, their limits and time-out, and
// listening for a connection, against a scripted loopback peer.

#include "NetTestSupport.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

class TestSocketTransfer : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_bigFile;
    QByteArray m_bigData;

private slots:
    void initTestCase()
    {
        // Several buffers' worth, and not a multiple of the chunk size.
        m_bigData.resize(6 * 1024 * 1024 + 12345);
        QRandomGenerator rng(20240917);
        rng.fillRange(reinterpret_cast<quint32*>(m_bigData.data()), m_bigData.size() / 4);
        m_bigFile = m_dir.filePath(QStringLiteral("big.bin"));
        QVERIFY(writeFile(m_bigFile, m_bigData));
    }

    void sendFileAndCaptureFileByteForByte()
    {
        ScriptedPeer peer;
        peer.expectBytes(m_bigData.size()).send("stored\r\n").acceptNext().sendFile(m_bigFile).close();
        TSocketConn c;
        int sent = 0, received = 0;
        c.OnPacketSent = [&](QObject* sender) { sent += sender == &c; };
        c.OnPacketRecvd = [&](QObject* sender) { received += sender == &c; };
        connectTo(c, peer);
        c.SendFile(m_bigFile);
        QCOMPARE(c.ReadLn(), QByteArray("stored\r\n"));
        QCOMPARE(c.SentCount, qint32(m_bigData.size()));
        QVERIFY(sent >= 1);
        QVERIFY(peer.transcript() == m_bigData);

        c.Disconnect();
        c.Connect();
        received = 0;
        const QString copy = m_dir.filePath(QStringLiteral("copy.bin"));
        c.CaptureFile(copy);
        QCOMPARE(c.ReceivedCount, qint32(m_bigData.size()));
        QVERIFY(received >= 1);
        QVERIFY(readFile(copy) == m_bigData);
        QVERIFY(peer.finished());
    }

    void cancelFromPacketHandlerStopsSendFile()
    {
        ScriptedPeer peer;
        peer.discard();
        TSocketConn c;
        connectTo(c, peer);
        int packets = 0;
        c.OnPacketSent = [&](QObject*) {
            if (++packets == 3)
                c.Cancel();
        };
        QCOMPARE(thrown<EAbortError>([&] { c.SendFile(m_bigFile); }), QStringLiteral("Socket send aborted"));
        QVERIFY(!c.Canceled);
        QCOMPARE(packets, 3);
        QVERIFY(c.SentCount < m_bigData.size());
        // An orderly close: the peer gets exactly what was counted as sent.
        c.setLinger(false, 0);
        c.Disconnect();
        QTRY_VERIFY(peer.finished());
        QCOMPARE(peer.discarded(), qint64(c.SentCount));
    }

    // CaptureString takes whole chunks up to the limit; a missing file fails
    // SendFile and CaptureFile and leaves the connection as it was.
    void captureStringLimitsAndFileErrors()
    {
        const QByteArray chunk(1000, 'c');
        ScriptedPeer peer;
        peer.send(chunk).expectLine().send("z").expectLine().send("tail").close();
        TSocketConn c;
        connectTo(c, peer);
        QByteArray text = "old";
        c.CaptureString(text, 10);
        QCOMPARE(text, chunk);
        QCOMPARE(c.ReceivedCount, 1000);
        c.Writeln("next");
        c.CaptureString(text, 1);
        QCOMPARE(text, QByteArray("z"));

        const QString missing = m_dir.filePath(QStringLiteral("no/such/file"));
        QCOMPARE(thrown<EFileError>([&] { c.SendFile(missing); }),
                 QStringLiteral("Cannot open file ") + missing);
        QCOMPARE(thrown<EFileError>([&] { c.CaptureFile(missing); }),
                 QStringLiteral("Cannot create file ") + missing);
        QVERIFY(c.Connected);
        c.Writeln("rest");
        c.CaptureString(text, -1);
        QCOMPARE(text, QByteArray("tail"));
    }

    void timeOutEndsCaptureWhileDataStillFlows()
    {
        // Data keeps coming for far longer than the time-out; re-arming the
        // timer after every chunk must not extend the period.
        QList<QByteArray> parts;
        for (int i = 0; i < 60; ++i)
            parts << QByteArray(512, char('a' + i % 26));
        ScriptedPeer peer;
        peer.sendParts(parts, 40).close();
        TSocketConn c;
        int packets = 0;
        c.OnPacketRecvd = [&](QObject*) { ++packets; };
        connectTo(c, peer);
        c.TimeOut = 300;
        const QString path = m_dir.filePath(QStringLiteral("partial.bin"));
        QCOMPARE(thrown<EAbortError>([&] { c.CaptureFile(path); }), QStringLiteral("Socket send aborted"));
        QVERIFY(c.TimedOut);
        QVERIFY(!c.Canceled);
        QVERIFY(packets >= 1);
        QVERIFY(c.ReceivedCount < 60 * 512);
        QCOMPARE(QFileInfo(path).size(), qint64(c.ReceivedCount));
    }

    void listenAndAccept_data()
    {
        QTest::addColumn<bool>("deferred");
        QTest::addColumn<bool>("offeredBeforeAccept");
        QTest::newRow("waits for the offer") << false << false;
        QTest::newRow("offer already there") << false << true;
        QTest::newRow("deferred") << true << false;
        QTest::newRow("deferred, offer already there") << true << true;
    }

    void listenAndAccept()
    {
        QFETCH(bool, deferred);
        QFETCH(bool, offeredBeforeAccept);
        TSocketConn c;
        c.Port = 0;
        c.Listen(deferred);
        const QStringList bytes = c.LocalPortText().split(QLatin1Char(','));
        QCOMPARE(bytes.size(), 3);
        QVERIFY(bytes[0].isEmpty());
        const quint16 port = quint16(bytes[1].toInt() * 256 + bytes[2].toInt());
        QVERIFY(port != 0);

        ScriptedPeer peer;
        peer.connectTo([port] { return port; }).send("hello\r\n").expectLine().close();
        if (offeredBeforeAccept)
            QTRY_VERIFY(c.Connected); // the offer notification has arrived
        const int handle = c.Accept();
        QVERIFY(handle >= 0 && handle != c.socketHandle());
        c.adoptSocket(handle);
        QCOMPARE(c.socketHandle(), handle);
        QCOMPARE(c.ReadLn(), QByteArray("hello\r\n"));
        c.Writeln("back");
        QCOMPARE(c.LocalAddressText(), QStringLiteral("127,0,0,1"));
        QCOMPARE(c.ReadLn(), QByteArray()); // the peer closed
        QVERIFY(peer.finished());
        QCOMPARE(peer.lines(), QList<QByteArray>{"back\r\n"});
    }

    void listenOnAPortInUse()
    {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        TSocketConn c;
        QList<int> codes;
        c.OnError = [&](QObject*, quint16 code, const QString&) { codes << code; };
        c.Port = taken.serverPort();
        QCOMPARE(thrown<ESockError>([&] { c.Listen(false); }), QStringLiteral("10048:Address already in use"));
        QCOMPARE(codes, QList<int>{10048});
        c.Port = 70000;
        QCOMPARE(thrown<ERangeError>([&] { c.Listen(false); }), QStringLiteral("Range check error"));
    }
};

QTEST_GUILESS_MAIN(TestSocketTransfer)
#include "TestSocketTransfer.moc"
