// Habits of real FTP servers that the client has to live with: SIZE only in
// binary type and servers without SIZE or APPE, and slow servers whose end of
// an upload (or whose download) takes longer than one reply's time-out.

#include <QTimer>
#include <QtTest>

#include "FtpScript.h"
#include "FtpsPeer.h"
#include "NeverAccepts.h"

class TestFtpQuirks : public QObject
{
    Q_OBJECT
    std::unique_ptr<ScriptedPeer> m_peer;
    std::unique_ptr<TFtpClient> m_client;

private slots:
    void init()
    {
        m_peer = std::make_unique<ScriptedPeer>();
        m_client = clientFor(*m_peer);
        m_client->TimeOut = 2000; // a script that goes wrong must not hang the test
    }

    void cleanup()
    {
        m_client.reset();
        m_peer.reset();
    }

    // SIZE is never sent in ASCII type: TYPE I goes first, once. A 550 that
    // says "not in this mode" or "permission denied" is a refusal, not a
    // missing file; servers without SIZE or APPE give their reply code, so
    // that a caller can do without them.
    void sizeAndAppendRefusals()
    {
        serveLogin(*m_peer)
            .expectLine()
            .send("200 Type set to I\r\n")
            .expectLine()
            .send("213 42\r\n")
            .expectLine()
            .send("213 43\r\n")
            .expectLine()
            .send("550 /mode.xml: No such file or directory\r\n")
            .expectLine()
            .send("550 SIZE not allowed in ASCII mode\r\n")
            .expectLine()
            .send("502 SIZE: command not allowed\r\n")
            .expectLine()
            .send("550 Permission denied.\r\n")
            .expectLine()
            .send(pasvReply(m_peer->port()))
            .acceptNext()
            .switchTo(0)
            .expectLine()
            .send("502 Command APPE not implemented.\r\n")
            .expectLine()
            .send("200 Type set to A\r\n")
            .expectLine()
            .send("504 Type not supported\r\n");
        m_client->Connect();
        // The size, or what the call threw.
        const auto size = [&](const char* name) {
            qint64 value = -2;
            const QString error = thrown([&] { value = m_client->Size(QLatin1String(name)); });
            return error == QLatin1String("<none>") ? QString::number(value) : error;
        };
        QVERIFY(!m_client->binary());
        QCOMPARE(size("/a.xml"), QStringLiteral("42"));
        QVERIFY(m_client->binary());
        QCOMPARE(size("/b.xml"), QStringLiteral("43"));
        QCOMPARE(size("/mode.xml"), QStringLiteral("-1"));
        QCOMPARE(size("/c.xml"), QStringLiteral("550 SIZE not allowed in ASCII mode"));
        QCOMPARE(size("/c.xml"), QStringLiteral("502 SIZE: command not allowed"));
        QCOMPARE(m_client->ReplyCode, qint16(502));
        QCOMPARE(size("/c.xml"), QStringLiteral("550 Permission denied."));
        QCOMPARE(thrown<FTPException>(
                     [&] { m_client->StoreBytes("+", QStringLiteral("/owner"), true); }),
                 QStringLiteral("502 Command APPE not implemented."));
        QCOMPARE(m_client->ReplyCode, qint16(502));
        m_client->Transaction("TYPE A");
        QVERIFY(!m_client->binary());
        QCOMPARE(size("/a.xml"), QStringLiteral("504 Type not supported"));
        QTRY_VERIFY(m_peer->finished());
        QCOMPARE(
            commands(*m_peer, 2),
            (QStringList{"TYPE I", "SIZE /a.xml", "SIZE /b.xml", "SIZE /mode.xml", "SIZE /c.xml",
                         "SIZE /c.xml", "SIZE /c.xml", "PASV", "APPE /owner", "TYPE A", "TYPE I"}));
        QVERIFY(m_client->Connected);
    }

    // A server that reads the end of an upload slower than one reply's
    // time-out allows: the bytes still leaving the send queue are progress,
    // so the upload is confirmed; a queue that stops moving fails after the
    // stall limit.
    void theEndOfAnUploadOnItsWay()
    {
        FtpsPeer slow({"--slow-read", "40960"}); // 4 MB/s through a small buffer
        QVERIFY(slow.port() != 0);
        m_client->Port = slow.port();
        m_client->TimeOut = 300;
        m_client->Connect();
        QCOMPARE(
            thrown([&] { m_client->StoreBytes(QByteArray(2 << 20, 'x'), QStringLiteral("/big")); }),
            QStringLiteral("<none>"));
        m_client->Disconnect();

        NeverAccepts neverReads;
        serveLogin(*m_peer)
            .expectLine()
            .send(pasvReply(neverReads.port()))
            .expectLine()
            .send("150 Ok\r\n");
        m_client->Port = m_peer->port();
        m_client->StallTimeOut = 400;
        m_client->Connect();
        QCOMPARE(thrown<EAbortError>(
                     [&] { m_client->StoreBytes(QByteArray(1 << 20, 'x'), QStringLiteral("/x")); }),
                 QStringLiteral("No data moved for 0.4 s"));
        QVERIFY(m_client->findChildren<TSocketConn*>().isEmpty());
    }

    // The wait for the end of an upload runs the event loop: Abort ends it,
    // a second command is refused meanwhile, and destroying the client ends
    // it without touching the freed client.
    void whileTheEndOfAnUploadIsOnItsWay_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("error");
        QTest::newRow("abort") << "abort"
                               << "Socket send aborted";
        QTest::newRow("second command") << "second"
                                        << "<none>";
        QTest::newRow("destroyed") << "destroy"
                                   << "Socket send aborted";
    }

    void whileTheEndOfAnUploadIsOnItsWay()
    {
        QFETCH(QString, action);
        FtpsPeer slow({"--slow-read", "4096"});
        m_client->Port = slow.port();
        m_client->Connect();
        QString second;
        m_client->OnTransactionStop = [&](QObject*) {
            QTimer::singleShot(50, this, [&] {
                if (action == "abort")
                    m_client->Abort();
                else if (action == "destroy")
                    m_client.reset();
                else
                    second = thrown([&] { m_client->Size(QStringLiteral("/x")); });
            });
        };
        QTEST(thrown([&] {
                  m_client->StoreBytes(QByteArray(512 << 10, 'x'), QStringLiteral("/big"));
              }),
              "error");
        if (action == "second")
            QCOMPARE(second, QStringLiteral("The FTP client is busy with another command"));
        if (m_client)
            QVERIFY(m_client->findChildren<TSocketConn*>().isEmpty());
        else
            QCOMPARE(action, QStringLiteral("destroy"));
    }

    // A download that trickles in for longer than the time-out, each part
    // within it, is received whole: arriving bytes are progress.
    void aSlowDownloadThatKeepsMoving()
    {
        QList<QByteArray> parts;
        for (int i = 0; i < 8; ++i)
            parts << QByteArray(1000, char('a' + i));
        serveLogin(*m_peer)
            .expectLine()
            .send(pasvReply(m_peer->port()))
            .acceptNext()
            .switchTo(0)
            .expectLine()
            .send("150 Sending\r\n")
            .switchTo(1)
            .sendParts(parts, 100)
            .close()
            .switchTo(0)
            .send("226 Done\r\n");
        m_client->TimeOut = 300;
        m_client->StallTimeOut = 300;
        m_client->Connect();
        QCOMPARE(m_client->Retrieve(QStringLiteral("/d.xml"), 1 << 20), parts.join());
    }
};

QTEST_GUILESS_MAIN(TestFtpQuirks)
#include "TestFtpQuirks.moc"
