// The FTP client's protocol against a scripted server on loopback: login
// variants, reply rules, the data channel in both modes, and what every
// failure leaves behind (no data connection, the transfer lock free, the
// control connection as it was).

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "FtpScript.h"
#include "NeverAccepts.h"

namespace {
const QByteArray kContent = QByteArray("squad roster\n").repeated(8000);
}

class TestFtpClient : public QObject {
    Q_OBJECT
    std::unique_ptr<ScriptedPeer> m_peer;
    std::unique_ptr<TFtpClient> m_client;
    QStringList m_status;
    QTemporaryDir m_dir;
    QString m_file;

    // After any upload: no data connection is left and the transfer lock is free.
    void expectCleanUpload()
    {
        QVERIFY(m_client->findChildren<TSocketConn*>().isEmpty());
        QVERIFY(!m_client->transferLockHeld());
    }
    QString uploadError()
    {
        return thrown([&] { m_client->Upload(m_file, QStringLiteral("/corvanet.xml")); });
    }
    bool passwordReported() const { return m_status.join('\n').contains(QLatin1String("s3cret")); }

private slots:
    void init()
    {
        m_peer = std::make_unique<ScriptedPeer>();
        m_client = clientFor(*m_peer);
        m_client->ReportLevel = 1;
        m_status.clear();
        m_client->OnStatus = [this](QObject*, const QString& status) { m_status.append(status); };
        m_file = m_dir.filePath(QStringLiteral("a.tmp"));
        QVERIFY(writeFile(m_file, kContent));
    }

    void cleanup()
    {
        m_client.reset();
        m_peer.reset();
    }

    // Reply codes and PASV ports. (Continuation lines: the login variants
    // below and the corpus of the FTP reply fuzz target.)
    void replyParsing()
    {
        QCOMPARE(TFtpClient::replyCodeOf("220 Service ready\r\n"), qint16(220));
        QCOMPARE(TFtpClient::replyCodeOf("abc\r\n"), qint16(0));
        QCOMPARE(TFtpClient::replyCodeOf("00000000000000042"), qint16(0)); // 10 characters at most
        QCOMPARE(TFtpClient::replyCodeOf("32767 top"), qint16(32767));
        QVERIFY_THROWS_EXCEPTION(ERangeError, TFtpClient::replyCodeOf("32768 too big"));

        QCOMPARE(TFtpClient::passivePort("227 Entering Passive Mode (10,0,0,5,19,137)\r\n"), quint16(5001));
        QCOMPARE(TFtpClient::passivePort("227 ok (1,2,3,4, 255, 255).\r\n"), quint16(65535));
        const auto error = [](const char* line) { return thrown([&] { TFtpClient::passivePort(line); }); };
        QCOMPARE(error("227 Entering Passive Mode 10,0,0,5,19,137\r\n"), "'' is not a valid integer value");
        QCOMPARE(error("227 (10,0,0,5,19x,137)"), "'19x' is not a valid integer value");
        // Numbers that are no port bytes are refused, never wrapped into a port.
        QCOMPARE(error("227 (1,2,3,4,300,1)\r\n"), "Unusable port in passive mode reply: 227 (1,2,3,4,300,1)");
        for (const char* line : {"227 (1,2,3,4,1,256)", "227 (1,2,3,4,-1,5)", "227 (1,2,3,4,0,0)"})
            QVERIFY_THROWS_EXCEPTION(FTPException, TFtpClient::passivePort(line));
    }

    void loginVariants_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<QByteArray>("userReply");
        QTest::addColumn<bool>("password");
        const QByteArray ready = "220 Ready\r\n";
        QTest::newRow("multi-line greeting")
            << QByteArray("220-Welcome\r\n220-Uploads go to the root\r\n indented\r\n220 Ready\r\n")
            << QByteArray("331-Password\r\n331 required\r\n") << true;
        // Free text between the first and the last line, as RFC 959 allows:
        // only "220 " ends the greeting.
        QTest::newRow("free text in a multi-line greeting")
            << QByteArray("220-Welcome\r\nUnauthorised access is forbidden.\r\n220-more\r\n2201 not yet\r\n220 Ready\r\n")
            << QByteArray("331 Password required\r\n") << true;
        QTest::newRow("230 skips PASS") << ready << QByteArray("230 Welcome\r\n") << false;
        QTest::newRow("332 skips PASS") << ready << QByteArray("332 Account\r\n") << false;
    }

    void loginVariants()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(QByteArray, userReply);
        QFETCH(bool, password);
        m_peer->send(greeting).expectLine().send(userReply);
        if (password)
            m_peer->expectLine().send("230 Logged in\r\n");
        int connects = 0;
        m_client->OnConnect = [&](QObject* sender) { connects += sender == m_client.get(); };
        m_client->Connect();
        m_client->Connect(); // connected already: sends nothing
        QVERIFY(m_client->Connected);
        QCOMPARE(connects, 1);
        QTRY_VERIFY(m_peer->finished());
        QCOMPARE(commands(*m_peer),
                 (password ? QStringList{"USER lead", "PASS s3cret"} : QStringList{"USER lead"}));
        QVERIFY(!passwordReported());
    }

    // Every refused login fires OnConnectionFailed, logs out (QUIT), reports
    // "Disconnected" and raises the reply; a server that hangs up is no login.
    void refusedLogins()
    {
        m_peer->send("220 Ready\r\n").expectLine().send("331 Password\r\n").expectLine()
            .send("530 Login incorrect.\r\n").expectLine().send("221 Bye\r\n").close();
        int failures = 0, connects = 0;
        m_client->OnConnectionFailed = [&](QObject*) { ++failures; };
        m_client->OnConnect = [&](QObject*) { ++connects; };
        QCOMPARE(thrown<FTPException>([&] { m_client->Connect(); }), QStringLiteral("530 Login incorrect."));
        QCOMPARE(failures, 1);
        QCOMPARE(connects, 0);
        QVERIFY(!m_client->Connected);
        QCOMPARE(commands(*m_peer), (QStringList{"USER lead", "PASS s3cret", "QUIT"}));
        QVERIFY(m_status.contains(QStringLiteral("PASS ")) && m_status.contains(QStringLiteral("Disconnected")));
        QVERIFY(!passwordReported());

        ScriptedPeer busy;
        busy.send("421 Too many users\r\n").expectLine().send("221 Bye\r\n");
        m_client->Port = busy.port();
        QVERIFY_THROWS_EXCEPTION(FTPException, m_client->Connect());
        QCOMPARE(failures, 2);
        QCOMPARE(commands(busy), QStringList{"QUIT"});

        ScriptedPeer hangsUp;
        hangsUp.close();
        m_client->Port = hangsUp.port();
        QVERIFY_THROWS_EXCEPTION(FTPException, m_client->Connect());
        QVERIFY(!m_client->Connected);
    }

    void firewallLogins_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("authenticate");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("user@host") << int(FTUser) << false
                                   << QStringList{"USER lead@ftp.squads.example", "PASS s3cret"};
        QTest::newRow("open") << int(FtOpen) << false
                              << QStringList{"OPEN ftp.squads.example", "USER lead", "PASS s3cret"};
        QTest::newRow("site, firewall login")
            << int(FtSite) << true
            << QStringList{"USER guard", "PASS gate", "SITE ftp.squads.example", "USER lead", "PASS s3cret"};
    }

    // The peer is the firewall: the control connection goes to Proxy and Host
    // only appears in the commands. A refused firewall step fails the login.
    void firewallLogins()
    {
        QFETCH(int, type);
        QFETCH(bool, authenticate);
        QFETCH(QStringList, expected);
        m_client->Host = QStringLiteral("ftp.squads.example");
        m_client->Proxy = QStringLiteral("127.0.0.1");
        m_client->FirewallType = TFirewallType(type);
        m_client->FWAuthenticate = authenticate;
        m_client->FWUserID = QStringLiteral("guard");
        m_client->FWPassword = QStringLiteral("gate");
        for (const bool refused : {false, true}) {
            ScriptedPeer firewall;
            firewall.send("220 Firewall\r\n");
            for (const QString& command : expected) {
                const bool refusedHere = refused && command.contains(QLatin1String("ftp.squads.example"));
                firewall.expectLine().send(refusedHere                  ? "530 Not allowed\r\n"
                                           : command.startsWith("USER") ? "331 Password\r\n"
                                           : command.startsWith("PASS") ? "230 Logged in\r\n"
                                                                        : "200 Connected\r\n");
                if (refusedHere)
                    break;
            }
            firewall.expectLine().send("221 Bye\r\n");
            m_client->ProxyPort = firewall.port();
            QCOMPARE(thrown([&] { m_client->Connect(); }), refused ? "530 Not allowed" : "<none>");
            QCOMPARE(m_client->Connected, !refused);
            if (!refused)
                QCOMPARE(commands(firewall), expected);
            m_client->Disconnect();
        }
        QVERIFY(!m_status.join('\n').contains(QLatin1String("gate")));
    }

    // A CR, LF or NUL in a value that goes into a command is refused before
    // anything is sent: it would start a command of the value's choosing.
    void refusesLineBreaks()
    {
        for (const QString& bad :
             {QStringLiteral("a\rb"), QStringLiteral("a\nb"), QString::fromLatin1("a\0b", 3)}) {
            m_client->UserID = bad;
            QVERIFY_THROWS_EXCEPTION(Exception, m_client->Connect());
            m_client->UserID = QStringLiteral("lead");
            m_client->Password = bad;
            QVERIFY_THROWS_EXCEPTION(Exception, m_client->Connect());
            m_client->Password = QStringLiteral("s3cret");
        }
        // None of them connected: the first connection the peer sees logs in.
        serveLogin(*m_peer).expectLine().send("221 Bye\r\n");
        m_client->UserID.clear();
        m_client->OnAuthenticationNeeded = [&](bool& handled) {
            QVERIFY(!handled);
            m_client->UserID = QStringLiteral("lead");
        };
        m_client->Connect();
        QVERIFY_THROWS_EXCEPTION(Exception, m_client->Upload(m_file, "/x.xml\r\nDELE /corvanet.xml"));
        QVERIFY_THROWS_EXCEPTION(Exception, m_client->Transaction("NOOP\r\nDELE /corvanet.xml"));
        expectCleanUpload();
        m_client->Disconnect();
        QCOMPARE(commands(*m_peer), (QStringList{"USER lead", "PASS s3cret", "QUIT"}));
    }

    void uploadsInBothModes()
    {
        // Passive ignores the address in the PASV reply: the data goes to the
        // host the control connection reached.
        serveLogin(*m_peer).expectLine().send(pasvReply(m_peer->port(), "10,0,0,5")).acceptNext().switchTo(0)
            .expectLine().send("150 Opening\r\n").switchTo(1).expectClose().switchTo(0).send("226 Done\r\n");
        serveStore(*m_peer, false, 2);
        serveStore(*m_peer, true, 3);
        m_client->Connect();

        QStringList events;
        m_client->OnTransactionStart = [&](QObject* sender) {
            QCOMPARE(sender, m_client.get());
            QVERIFY(m_client->transferLockHeld());
            // The data connection; in active mode also the port, which
            // listens until the transfer has ended.
            QCOMPARE(m_client->findChildren<TSocketConn*>().size(), m_client->Passive ? 1 : 2);
            events << "start";
        };
        m_client->OnTransactionStop = [&](QObject*) { events << "stop"; };
        m_client->OnSuccess = [&](TCmdType type) { events << (type == TCmdType::Upload ? "success" : "?"); };
        int packets = 0;
        m_client->OnPacketSent = [&](QObject* sender) { packets += sender != m_client.get(); };
        m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
        QCOMPARE(m_peer->transcript(1), kContent);
        QCOMPARE(events, (QStringList{"start", "stop", "success"}));
        QVERIFY(packets >= 1);
        QVERIFY(m_status.contains(QStringLiteral("STOR /corvanet.xml")));
        expectCleanUpload();

        m_client->Passive = false;
        m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
        QCOMPARE(m_peer->transcript(2), kContent);
        expectCleanUpload();

        // No remote name: the bare file name is stored, the status shows the path.
        m_client->Passive = true;
        m_client->Upload(m_file, QString());
        QCOMPARE(m_peer->transcript(3), kContent);
        QVERIFY(m_status.contains(QStringLiteral("STOR ") + m_file));
        expectCleanUpload();

        const QStringList sent = commands(*m_peer, 2);
        const QString port = sent.value(2);
        QVERIFY2(QRegularExpression("^PORT 127,0,0,1,\\d+,\\d+$").match(port).hasMatch(), qPrintable(port));
        QCOMPARE(sent,
                 (QStringList{"PASV", "STOR /corvanet.xml", port, "STOR /corvanet.xml", "PASV", "STOR a.tmp"}));
        QCOMPARE(events.count("success"), 3);
        QVERIFY(m_client->Connected);
    }

    void uploadFailures_data()
    {
        // channel: the reply to PASV or PORT (empty: a usable one); stor: the
        // reply to STOR (empty: not reached); closing: what the server does
        // after a 150 to STOR (in passive mode once the data is in).
        QTest::addColumn<bool>("passive");
        QTest::addColumn<QByteArray>("channel");
        QTest::addColumn<QByteArray>("stor");
        QTest::addColumn<QByteArray>("closing");
        QTest::addColumn<QString>("error");
        const QByteArray none, opening = "150 Opening\r\n";
        // (A refused PASV: TestFtpFaults::oddButValidRepliesAreRead.)
        // Only a 2xx reply carries a port: any other is reported as the
        // server's line.
        QTest::newRow("PASV 425") << true << QByteArray("425 Can't open data connection\r\n") << none << none
                                  << "425 Can't open data connection";
        QTest::newRow("PASV 421") << true << QByteArray("421 Timeout.\r\n") << none << none << "421 Timeout.";
        QTest::newRow("PORT 120") << false << QByteArray("120 Try later\r\n") << none << none << "120 Try later";
        QTest::newRow("PORT 500") << false << QByteArray("500 Illegal PORT\r\n") << none << none
                                  << "500 Illegal PORT";
        QTest::newRow("STOR 550") << true << none << QByteArray("550 Permission denied\r\n") << none
                                  << "550 Permission denied";
        // The server cannot reach our PORT address and says so, or hangs up.
        QTest::newRow("active, 425 instead of a connection")
            << false << none << opening << QByteArray("425 Can't open data connection\r\n")
            << "425 Can't open data connection";
        QTest::newRow("active, hang-up instead of a connection")
            << false << none << opening << QByteArray("<close>") << "Control connection closed by the server";
        // A file the server did not confirm is not a success.
        QTest::newRow("closing 451") << true << none << opening << QByteArray("451 Local error\r\n")
                                     << "451 Local error";
        QTest::newRow("closed after the data") << true << none << opening << QByteArray("<close>")
                                               << "Control connection closed by the server";
    }

    void uploadFailures()
    {
        QFETCH(bool, passive);
        QFETCH(QByteArray, channel);
        QFETCH(QByteArray, stor);
        QFETCH(QByteArray, closing);
        QFETCH(QString, error);
        const bool dataSent = passive && stor.startsWith("150");
        serveLogin(*m_peer).expectLine();
        if (!channel.isEmpty())
            m_peer->send(channel);
        else if (passive)
            m_peer->send(pasvReply(m_peer->port())).acceptNext().switchTo(0);
        else
            m_peer->send("200 PORT ok\r\n");
        if (!stor.isEmpty()) {
            m_peer->expectLine().send(stor);
            if (dataSent)
                m_peer->switchTo(1).expectClose().switchTo(0);
            if (closing == "<close>")
                m_peer->close();
            else
                m_peer->send(closing);
        }
        m_client->Passive = passive;
        m_client->Connect();
        int failures = 0, successes = 0;
        m_client->OnFailure = [&](bool& handled, TCmdType type) {
            failures += !handled && type == TCmdType::Upload;
        };
        m_client->OnSuccess = [&](TCmdType) { ++successes; };
        QCOMPARE(uploadError(), error);
        // A failing reply is offered twice: as itself, then as the exception
        // leaving Upload; an unusable PASV reply only as the latter.
        QCOMPARE(failures, error.startsWith(QLatin1Char('\'')) ? 1 : 2);
        QCOMPARE(successes, 0);
        QCOMPARE(m_peer->transcript(1) == kContent, dataSent);
        expectCleanUpload();
    }

    void failureHandlers()
    {
        serveLogin(*m_peer).expectLine().send(pasvReply(m_peer->port())).acceptNext().switchTo(0)
            .expectLine().send("502 Command not implemented\r\n").expectLine().send("221 Bye\r\n");
        m_client->Connect();
        int unsupported = 0, failures = 0, successes = 0;
        m_client->OnUnSupportedFunction = [&](TCmdType type) { unsupported += type == TCmdType::Upload; };
        m_client->OnFailure = [&](bool& handled, TCmdType) { handled = ++failures > 0; };
        m_client->OnSuccess = [&](TCmdType) { ++successes; };
        m_client->Upload(m_file, QStringLiteral("/corvanet.xml")); // handled: returns quietly
        QCOMPARE(unsupported, 1);
        QCOMPARE(failures, 1);
        QCOMPARE(successes, 0);
        expectCleanUpload();
        QVERIFY(m_client->Connected);

        // Errors that are no replies reach OnFailure too.
        m_client->OnFailure = [&](bool&, TCmdType) { ++failures; };
        QCOMPARE(thrown<EFileError>([&] { m_client->Upload(m_dir.filePath("missing"), "/x.xml"); }).left(17),
                 QStringLiteral("Cannot open file "));
        QCOMPARE(failures, 2);
        expectCleanUpload();
        m_client->Disconnect();
        QCOMPARE(uploadError(), QStringLiteral("Not Connected"));
        QCOMPARE(failures, 3);
        QCOMPARE(commands(*m_peer, 2), (QStringList{"PASV", "STOR /corvanet.xml", "QUIT"}));
    }

    // Abort from a handler while the file is being sent: the send ends with the
    // socket layer's cancel error, the data connection goes, and the component
    // uploads again at once (the 426 that came meanwhile is dropped before
    // PASV). Abort without an upload touches nothing. Cancel before the send
    // fails the upload too.
    void abortDuringTransfer()
    {
        QVERIFY(writeFile(m_file, kContent.repeated(160)));
        serveLogin(*m_peer).expectLine().send(pasvReply(m_peer->port())).acceptNext().switchTo(0)
            .expectLine().send("150 Opening\r\n").switchTo(1).expectClose().switchTo(0)
            .send("426 Transfer aborted\r\n");
        serveStore(*m_peer, true, 2);
        m_client->Connect();
        int packets = 0;
        m_client->OnPacketSent = [&](QObject*) {
            if (++packets == 1)
                m_client->Abort();
        };
        QCOMPARE(uploadError(), QStringLiteral("Socket send aborted"));
        expectCleanUpload();
        QVERIFY(m_peer->transcript(1).size() < kContent.size() * 160);

        m_client->OnPacketSent = nullptr;
        m_client->Abort();
        QVERIFY(QFile::resize(m_file, 6));
        QTRY_VERIFY(m_client->DataAvailable());
        m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
        QCOMPARE(m_peer->transcript(2), kContent.left(6));
        QVERIFY(m_client->Connected);

        // Cancelled before the file went out: no empty file is confirmed as a
        // success; the data connection ends without data.
        m_peer->expectLine().send(pasvReply(m_peer->port())).acceptNext().switchTo(0)
            .expectLine().send("150 Opening\r\n").switchTo(3).expectClose();
        m_client->OnTransactionStart = [this](QObject*) { m_client->Cancel(); };
        bool succeeded = false;
        m_client->OnSuccess = [&](TCmdType) { succeeded = true; };
        QCOMPARE(uploadError(), QStringLiteral("Socket send aborted"));
        QTRY_VERIFY(m_peer->finished());
        QVERIFY(m_peer->transcript(3).isEmpty());
        QVERIFY(!succeeded);
        expectCleanUpload();
    }

    // A time-out of the control connection ends a reply wait although the
    // client's Abort otherwise only cancels data connections; destroying the
    // component in the middle of an upload ends the upload without touching it.
    void timeOutsAndDestruction()
    {
        m_peer->expectLine().send("221 Bye\r\n"); // no greeting
        m_client->TimeOut = 100;
        QVERIFY_THROWS_EXCEPTION(EAbortError, m_client->Connect());
        QVERIFY(!m_client->Connected);
        QCOMPARE(commands(*m_peer), QStringList{"QUIT"});

        ScriptedPeer silent; // accepts the data, never confirms STOR
        serveLogin(silent).expectLine().send(pasvReply(silent.port())).acceptNext().switchTo(0).expectLine();
        m_client->Port = silent.port();
        m_client->Connect();
        QCOMPARE(uploadError(), QStringLiteral("Socket readln aborted"));
        expectCleanUpload();

        ScriptedPeer third;
        serveLogin(third).expectLine().send(pasvReply(third.port())).acceptNext().switchTo(0)
            .expectLine().send("150 Opening\r\n");
        m_client = clientFor(third);
        m_client->Connect();
        m_client->OnTransactionStart = [&](QObject*) { QTimer::singleShot(0, [this] { m_client.reset(); }); };
        QVERIFY_THROWS_EXCEPTION(EAbortError, m_client->Upload(m_file, QStringLiteral("/x.xml")));
        QVERIFY(!m_client);
    }

    // The commands that publishing builds on, each with its success and its
    // refusal, in one conversation.
    void fileCommands()
    {
        const QByteArray listing = QByteArray("<squads/>\n").repeated(5000);
        serveLogin(*m_peer)
            .expectLine().send("200 Type set to I\r\n")
            .expectLine().send("257 \"/d.lock\" created\r\n")
            .expectLine().send("550 Directory already exists\r\n")
            .expectLine().send("213 4711\r\n")
            .expectLine().send("550 No such file\r\n")
            .expectLine().send("250 Deleted\r\n")
            .expectLine().send("550 Not empty\r\n")
            // RETR of a file
            .expectLine().send(pasvReply(m_peer->port())).acceptNext().switchTo(0)
            .expectLine().send("150 Sending\r\n").switchTo(1).send(listing).close().switchTo(0)
            .send("226 Done\r\n")
            // RETR of a missing file
            .expectLine().send(pasvReply(m_peer->port())).acceptNext().switchTo(0)
            .expectLine().send("550 No such file\r\n")
            // APPE
            .expectLine().send(pasvReply(m_peer->port())).acceptNext().switchTo(0)
            .expectLine().send("150 Ok\r\n").switchTo(3).expectClose().switchTo(0).send("226 Done\r\n");
        m_client->Connect();
        m_client->SetBinary();
        QVERIFY(m_client->MakeDirectory(QStringLiteral("/d.lock")));
        QVERIFY(!m_client->MakeDirectory(QStringLiteral("/d.lock")));
        QCOMPARE(m_client->Size(QStringLiteral("/d.xml")), qint64(4711));
        QCOMPARE(m_client->Size(QStringLiteral("/none.xml")), qint64(-1));
        m_client->Delete(QStringLiteral("/d.lock/owner"));
        QCOMPARE(thrown<FTPException>([&] { m_client->RemoveDirectory(QStringLiteral("/d.lock")); }),
                 QStringLiteral("550 Not empty"));
        QCOMPARE(m_client->Retrieve(QStringLiteral("/d.xml"), listing.size()), listing);
        QCOMPARE(thrown<FTPException>([&] { m_client->Retrieve(QStringLiteral("/none.xml"), 100); }),
                 QStringLiteral("550 No such file"));
        QCOMPARE(m_client->ReplyCode, qint16(550));
        m_client->StoreBytes("+", QStringLiteral("/d.lock/owner"), true);
        QTRY_VERIFY(m_peer->finished());
        QCOMPARE(commands(*m_peer, 2),
                 (QStringList{"TYPE I", "MKD /d.lock", "MKD /d.lock", "SIZE /d.xml", "SIZE /none.xml",
                              "DELE /d.lock/owner", "RMD /d.lock", "PASV", "RETR /d.xml", "PASV",
                              "RETR /none.xml", "PASV", "APPE /d.lock/owner"}));
        QCOMPARE(m_peer->transcript(3), QByteArray("+"));
        expectCleanUpload();

        // A file larger than the caller allows is cut off, not taken.
        ScriptedPeer large;
        serveLogin(large).expectLine().send(pasvReply(large.port())).acceptNext().switchTo(0)
            .expectLine().send("150 Sending\r\n").switchTo(1).send(listing);
        m_client = clientFor(large);
        m_client->Connect();
        QVERIFY(thrown([&] { m_client->Retrieve(QStringLiteral("/d.xml"), listing.size() - 1); })
                    .contains(QLatin1String("larger than")));
        expectCleanUpload();
    }

    // A call made while another one waits (from a handler) is refused
    // before it sends anything; the running one goes on undisturbed.
    void aSecondCallWhileBusyIsRefused()
    {
        serveStore(serveLogin(*m_peer), true, 1);
        m_client->Connect();
        QString refused;
        m_client->OnTransactionStart = [&](QObject*) {
            refused = thrown([&] { m_client->Size(QStringLiteral("/x")); });
        };
        QVERIFY(!m_client->busy());
        m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
        QCOMPARE(refused, QStringLiteral("The FTP client is busy with another command"));
        QVERIFY(!m_client->busy());
        QTRY_VERIFY(m_peer->finished());
        QCOMPARE(m_peer->transcript(1), kContent);
        QCOMPARE(commands(*m_peer, 2), (QStringList{"PASV", "STOR /corvanet.xml"}));
    }

    // Transfers are bounded by progress: a reader that takes its time but
    // keeps reading gets the whole file however long it takes; one that
    // stops reading ends the transfer once nothing has moved for the limit.
    void stallTimeOut_data()
    {
        QTest::addColumn<bool>("reads");
        QTest::newRow("slow but moving") << true;
        QTest::newRow("stops reading") << false;
    }

    void stallTimeOut()
    {
        QFETCH(bool, reads);
        // Far more than the socket buffers hold, so the sender has to wait
        // for the reader.
        const QByteArray data(16 * 1024 * 1024, 'x');
        NeverAccepts neverReads; // the scripted peer would read everything
        serveLogin(*m_peer).expectLine().send(pasvReply(reads ? m_peer->port() : neverReads.port()));
        if (reads)
            m_peer->acceptNext().switchTo(0);
        m_peer->expectLine().send("150 Ok\r\n");
        if (reads) {
            m_peer->switchTo(1);
            for (int i = 0; i < 16; ++i)
                m_peer->expectBytes(1024 * 1024).pause(100);
            m_peer->expectClose().switchTo(0).send("226 Done\r\n");
        }
        m_client->Connect();
        m_client->StallTimeOut = 400; // less than the reader's whole time
        if (reads) { // 16 pauses of 100 ms: longer than the limit as a whole
            m_client->StoreBytes(data, QStringLiteral("/big"));
            QTRY_VERIFY(m_peer->finished());
        } else {
            QCOMPARE(thrown<EAbortError>([&] { m_client->StoreBytes(data, QStringLiteral("/big")); }),
                     QStringLiteral("No data moved for 0.4 s"));
        }
        expectCleanUpload();
    }

    void disconnectRules()
    {
        m_client->Disconnect(); // not connected: nothing sent, nothing raised
        serveLogin(*m_peer).expectLine().send("500 Unknown command\r\n").expectClose();
        m_client->Connect();
        m_client->Vendor = 7;
        QCOMPARE(thrown<FTPException>([&] { m_client->Disconnect(); }), QStringLiteral("500 Unknown command"));
        QVERIFY(!m_client->Connected);
        QCOMPARE(m_client->Vendor, 2411);
        QTRY_VERIFY(m_peer->finished()); // the socket is closed anyway
        QCOMPARE(commands(*m_peer, 2), QStringList{"QUIT"});
    }
};

QTEST_GUILESS_MAIN(TestFtpClient)
#include "TestFtpClient.moc"
