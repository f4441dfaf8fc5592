// The FTP client's protocol against a scripted server on loopback: login
// variants, reply rules, the data channel in both modes, and what every
// failure leaves behind (no data connection, the transfer lock free, the
// control connection as it was).

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

#include "FtpClient.h"
#include "ScriptedPeer.h"

namespace {

const QByteArray kContent = QByteArray("squad roster\n").repeated(8000);

QByteArray pasvReply(quint16 port, const char* host = "127,0,0,1")
{
    return QByteArray("227 Entering Passive Mode (") + host + ',' + QByteArray::number(port >> 8)
        + ',' + QByteArray::number(port & 0xff) + ")\r\n";
}

// The port a PORT command names.
quint16 portOf(const QByteArray& portLine)
{
    const QList<QByteArray> f = portLine.trimmed().split(',');
    return f.size() == 6 ? quint16(f[4].toInt() * 256 + f[5].toInt()) : 0;
}

// Server side of a login answered 331, then 230.
ScriptedPeer& serveLogin(ScriptedPeer& peer)
{
    return peer.send("220 Ready\r\n").expectLine().send("331 Password required\r\n").expectLine().send(
        "230 Logged in\r\n");
}

// Server side of one upload: the data channel (data connection number
// `data`), STOR, the file until the client ends it, the closing reply.
ScriptedPeer& serveStore(ScriptedPeer& peer, bool passive, int data,
                         const QByteArray& closing = "226 Transfer complete\r\n")
{
    if (passive)
        peer.expectLine().send(pasvReply(peer.port())).acceptNext().switchTo(0);
    else
        peer.expectLine().send("200 PORT command successful\r\n");
    peer.expectLine().send("150 Opening data connection\r\n");
    if (passive)
        peer.switchTo(data);
    else
        peer.connectTo([&peer] { return portOf(peer.lines().value(peer.lines().size() - 2)); });
    return peer.expectClose().switchTo(0).send(closing);
}

QStringList commands(const ScriptedPeer& peer, int from = 0)
{
    QStringList result;
    for (const QByteArray& line : peer.lines().mid(from))
        result << QString::fromLatin1(line.trimmed());
    return result;
}

} // namespace

class TestFtpClient : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void replyRules();
    void passivePortParsing();
    void loginVariants_data();
    void loginVariants();
    void refusedLogins();
    void firewallLogins_data();
    void firewallLogins();
    void refusesLineBreaks();

    void uploadsInBothModes();
    void dropsStrayInput();
    void uploadFailures_data();
    void uploadFailures();
    void failureHandlers();
    void abortDuringTransfer();
    void timeOutsAndDestruction();
    void disconnectRules();

private:
    void expectCleanUpload();
    QString uploadError();

    std::unique_ptr<ScriptedPeer> m_peer;
    std::unique_ptr<TFtpClient> m_client;
    QStringList m_status;
    QTemporaryDir m_dir;
    QString m_file;
};

void TestFtpClient::init()
{
    m_peer = std::make_unique<ScriptedPeer>();
    m_client = std::make_unique<TFtpClient>();
    m_client->Host = QStringLiteral("127.0.0.1");
    m_client->Port = m_peer->port();
    m_client->UserID = QStringLiteral("lead");
    m_client->Password = QStringLiteral("s3cret");
    m_client->Passive = true;
    m_client->ReportLevel = 1;
    m_status.clear();
    m_client->OnStatus = [this](QObject*, const QString& status) { m_status.append(status); };
    m_file = m_dir.filePath(QStringLiteral("a.tmp"));
    QFile file(m_file);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(kContent) == kContent.size());
}

void TestFtpClient::cleanup()
{
    m_client.reset();
    m_peer.reset();
}

// After any upload: no data connection is left and the transfer lock is free.
void TestFtpClient::expectCleanUpload()
{
    QVERIFY(m_client->findChildren<TSocketConn*>().isEmpty());
    QVERIFY(!m_client->transferLockHeld());
}

QString TestFtpClient::uploadError()
{
    try {
        m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
    } catch (const std::exception& error) {
        return QString::fromStdString(error.what());
    }
    return QStringLiteral("<no exception>");
}

void TestFtpClient::replyRules()
{
    QCOMPARE(TFtpClient::replyCodeOf("220 Service ready\r\n"), qint16(220));
    QCOMPARE(TFtpClient::replyCodeOf("abc\r\n"), qint16(0));
    QCOMPARE(TFtpClient::replyCodeOf("00000000000000042"), qint16(0)); // 10 characters at most
    QCOMPARE(TFtpClient::replyCodeOf("32767 top"), qint16(32767));
    QVERIFY_THROWS_EXCEPTION(ERangeError, TFtpClient::replyCodeOf("32768 too big"));

    QVERIFY(TFtpClient::replyContinues("220-Welcome\r\n"));
    QVERIFY(TFtpClient::replyContinues(" indented text\r\n"));
    QVERIFY(!TFtpClient::replyContinues("220 Ready\r\n"));
    QVERIFY(!TFtpClient::replyContinues("22\r\n"));
    QVERIFY(!TFtpClient::replyContinues("")); // the connection is gone
}

void TestFtpClient::passivePortParsing()
{
    QCOMPARE(TFtpClient::passivePort("227 Entering Passive Mode (10,0,0,5,19,137)\r\n"), quint16(5001));
    QCOMPARE(TFtpClient::passivePort("227 ok (1,2,3,4, 255, 255).\r\n"), quint16(65535));

    const auto error = [](const QByteArray& line) {
        try {
            TFtpClient::passivePort(line);
        } catch (const Exception& e) {
            return e.message();
        }
        return QStringLiteral("<no exception>");
    };
    QCOMPARE(error("227 Entering Passive Mode 10,0,0,5,19,137\r\n"),
             QStringLiteral("'' is not a valid integer value"));
    QCOMPARE(error("227 (10,0,0,5,19x,137)"), QStringLiteral("'19x' is not a valid integer value"));
    // Numbers that are no port bytes are refused, never wrapped into a port.
    for (const char* line : {"227 (1,2,3,4,256,1)", "227 (1,2,3,4,1,300)", "227 (1,2,3,4,-1,5)",
                             "227 (1,2,3,4,0,0)"})
        QVERIFY_THROWS_EXCEPTION(FTPException, TFtpClient::passivePort(line));
}

void TestFtpClient::loginVariants_data()
{
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<QByteArray>("userReply");
    QTest::addColumn<bool>("password");
    QTest::newRow("plain") << QByteArray("220 Ready\r\n") << QByteArray("331 Password\r\n") << true;
    QTest::newRow("multi-line greeting")
        << QByteArray("220-Welcome\r\n220-Uploads go to the root\r\n indented\r\n220 Ready\r\n")
        << QByteArray("331 Password\r\n") << true;
    QTest::newRow("multi-line USER reply")
        << QByteArray("220 Ready\r\n") << QByteArray("331-Password\r\n331 required\r\n") << true;
    QTest::newRow("230 skips PASS") << QByteArray("220 Ready\r\n") << QByteArray("230 Welcome\r\n") << false;
    QTest::newRow("332 skips PASS") << QByteArray("220 Ready\r\n") << QByteArray("332 Account\r\n") << false;
}

void TestFtpClient::loginVariants()
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
    QCOMPARE(commands(*m_peer), (password ? QStringList{"USER lead", "PASS s3cret"} : QStringList{"USER lead"}));
    QVERIFY(!m_status.join('\n').contains(QLatin1String("s3cret")));
}

// Every refused login fires OnConnectionFailed, logs out (QUIT), reports
// "Disconnected" and raises the reply; a server that hangs up is no login.
void TestFtpClient::refusedLogins()
{
    m_peer->send("220 Ready\r\n").expectLine().send("331 Password\r\n").expectLine()
        .send("530 Login incorrect.\r\n").expectLine().send("221 Bye\r\n").close();
    int failures = 0, connects = 0;
    m_client->OnConnectionFailed = [&](QObject*) { ++failures; };
    m_client->OnConnect = [&](QObject*) { ++connects; };
    try {
        m_client->Connect();
        QFAIL("no exception");
    } catch (const FTPException& error) {
        QCOMPARE(error.message(), QStringLiteral("530 Login incorrect."));
    }
    QCOMPARE(failures, 1);
    QCOMPARE(connects, 0);
    QVERIFY(!m_client->Connected);
    QCOMPARE(commands(*m_peer), (QStringList{"USER lead", "PASS s3cret", "QUIT"}));
    QVERIFY(m_status.contains(QStringLiteral("PASS ")));
    QVERIFY(m_status.contains(QStringLiteral("Disconnected")));
    QVERIFY(!m_status.join('\n').contains(QLatin1String("s3cret")));

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

void TestFtpClient::firewallLogins_data()
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
void TestFtpClient::firewallLogins()
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
    const auto replyTo = [](const QString& command) {
        return command.startsWith("USER") ? QByteArray("331 Password\r\n")
            : command.startsWith("PASS")  ? QByteArray("230 Logged in\r\n")
                                          : QByteArray("200 Connected\r\n");
    };
    for (const bool refused : {false, true}) {
        ScriptedPeer firewall;
        firewall.send("220 Firewall\r\n");
        for (const QString& command : expected) {
            const bool firewallStep = command.contains(QLatin1String("ftp.squads.example"));
            firewall.expectLine().send(refused && firewallStep ? "530 Not allowed\r\n" : replyTo(command));
            if (refused && firewallStep)
                break;
        }
        firewall.expectLine().send("221 Bye\r\n");
        m_client->ProxyPort = firewall.port();
        if (refused) {
            QVERIFY_THROWS_EXCEPTION(FTPException, m_client->Connect());
            QVERIFY(!m_client->Connected);
        } else {
            m_client->Connect();
            QCOMPARE(commands(firewall), expected);
            QVERIFY(!m_status.join('\n').contains(QLatin1String("gate")));
            m_client->Disconnect();
        }
    }
}

// A CR, LF or NUL in a value that goes into a command is refused before
// anything is sent: it would start a command of the value's choosing.
void TestFtpClient::refusesLineBreaks()
{
    for (const QString& bad : {QStringLiteral("a\rb"), QStringLiteral("a\nb"), QString::fromLatin1("a\0b", 3)}) {
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

void TestFtpClient::uploadsInBothModes()
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
        QCOMPARE(m_client->findChildren<TSocketConn*>().size(), 1);
        events << "start";
    };
    m_client->OnTransactionStop = [&](QObject*) { events << "stop"; };
    m_client->OnSuccess = [&](TCmdType type) {
        QCOMPARE(type, TCmdType::Upload);
        events << "success";
    };
    int packets = 0;
    m_client->OnPacketSent = [&](QObject* sender) { packets += sender != m_client.get(); };
    m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
    QCOMPARE(m_peer->transcript(1), kContent);
    QCOMPARE(events, (QStringList{"start", "stop", "success"}));
    QVERIFY(packets >= 1);
    QCOMPARE(m_client->TotalBytes, kContent.size());
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
    QCOMPARE(sent.size(), 6);
    QCOMPARE(sent.mid(0, 2), (QStringList{"PASV", "STOR /corvanet.xml"}));
    QVERIFY2(QRegularExpression("^PORT 127,0,0,1,\\d+,\\d+$").match(sent[2]).hasMatch(), qPrintable(sent[2]));
    QCOMPARE(sent.mid(3), (QStringList{"STOR /corvanet.xml", "PASV", "STOR a.tmp"}));
    QCOMPARE(events.count("success"), 3);
    QVERIFY(m_client->Connected);
}

// Replies that arrive between operations are dropped before the next upload's
// first command, so they are not taken for its replies.
void TestFtpClient::dropsStrayInput()
{
    serveLogin(*m_peer).send("426-Transfer aborted\r\n426 earlier\r\n");
    serveStore(*m_peer, true, 1);
    m_client->Connect();
    QTRY_VERIFY(m_client->DataAvailable());
    m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
    QCOMPARE(m_peer->transcript(1), kContent);
}

void TestFtpClient::uploadFailures_data()
{
    // channel: the reply to PASV or PORT (empty: a usable one); stor: the
    // reply to STOR (empty: not reached); closing: what the server does after
    // the STOR reply, or once the data is in when dataSent.
    QTest::addColumn<bool>("passive");
    QTest::addColumn<QByteArray>("channel");
    QTest::addColumn<QByteArray>("stor");
    QTest::addColumn<bool>("dataSent");
    QTest::addColumn<QByteArray>("closing");
    QTest::addColumn<QString>("error");
    const QString conversion = QStringLiteral("'' is not a valid integer value");
    const QByteArray none;
    QTest::newRow("PASV without parentheses")
        << true << QByteArray("227 Entering Passive Mode 127,0,0,1,19,137\r\n") << none << false << none
        << conversion;
    QTest::newRow("PASV 425") << true << QByteArray("425 Can't open data connection\r\n") << none << false
                              << none << conversion;
    QTest::newRow("PASV byte above 255")
        << true << QByteArray("227 Entering Passive Mode (127,0,0,1,300,1)\r\n") << none << false << none
        << "Unusable port in passive mode reply: 227 Entering Passive Mode (127,0,0,1,300,1)";
    QTest::newRow("PASV 500") << true << QByteArray("500 PASV not understood\r\n") << none << false << none
                              << "500 PASV not understood";
    QTest::newRow("PORT 500") << false << QByteArray("500 Illegal PORT\r\n") << none << false << none
                              << "500 Illegal PORT";
    QTest::newRow("STOR 550") << true << none << QByteArray("550 Permission denied\r\n") << false << none
                              << "550 Permission denied";
    QTest::newRow("STOR 550 active") << false << none << QByteArray("550 Permission denied\r\n") << false
                                     << none << "550 Permission denied";
    // The server cannot reach our PORT address and says so, or hangs up.
    QTest::newRow("active, 425 instead of a connection")
        << false << none << QByteArray("150 Opening\r\n") << false
        << QByteArray("425 Can't open data connection\r\n") << "425 Can't open data connection";
    QTest::newRow("active, hang-up instead of a connection")
        << false << none << QByteArray("150 Opening\r\n") << false << QByteArray("<close>")
        << "Control connection closed by the server";
    // A file the server did not confirm is not a success.
    QTest::newRow("closing 451") << true << none << QByteArray("150 Opening\r\n") << true
                                 << QByteArray("451 Local error\r\n") << "451 Local error";
    QTest::newRow("closing 552 active") << false << none << QByteArray("150 Opening\r\n") << true
                                        << QByteArray("552-Quota\r\n552 full\r\n") << "552-Quota";
    QTest::newRow("closed after the data") << true << none << QByteArray("150 Opening\r\n") << true
                                           << QByteArray("<close>") << "Control connection closed by the server";
}

void TestFtpClient::uploadFailures()
{
    QFETCH(bool, passive);
    QFETCH(QByteArray, channel);
    QFETCH(QByteArray, stor);
    QFETCH(bool, dataSent);
    QFETCH(QByteArray, closing);
    QFETCH(QString, error);
    serveLogin(*m_peer).expectLine();
    if (!channel.isEmpty())
        m_peer->send(channel);
    else if (passive)
        m_peer->send(pasvReply(m_peer->port())).acceptNext().switchTo(0);
    else
        m_peer->send("200 PORT ok\r\n");
    if (!stor.isEmpty()) {
        m_peer->expectLine().send(stor);
        if (dataSent && passive)
            m_peer->switchTo(1).expectClose().switchTo(0);
        else if (dataSent)
            m_peer->connectTo([this] { return portOf(m_peer->lines().value(m_peer->lines().size() - 2)); })
                .expectClose().switchTo(0);
        if (closing == "<close>")
            m_peer->close();
        else
            m_peer->send(closing);
    }
    m_client->Passive = passive;
    m_client->Connect();
    int failures = 0, successes = 0;
    m_client->OnFailure = [&](bool& handled, TCmdType type) {
        QVERIFY(!handled);
        QCOMPARE(type, TCmdType::Upload);
        ++failures;
    };
    m_client->OnSuccess = [&](TCmdType) { ++successes; };
    QCOMPARE(uploadError(), error);
    // A failing reply is offered twice: as itself, then as the exception
    // leaving Upload; an unusable PASV reply only as the latter.
    const bool replyFailure = !error.startsWith(QLatin1Char('\'')) && !error.startsWith(QLatin1String("Unusable"));
    QCOMPARE(failures, replyFailure ? 2 : 1);
    QCOMPARE(successes, 0);
    QCOMPARE(m_peer->transcript(1) == kContent, dataSent);
    expectCleanUpload();
}

void TestFtpClient::failureHandlers()
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
    QVERIFY_THROWS_EXCEPTION(EFileError, [&] {
        m_client->OnFailure = [&](bool&, TCmdType) { ++failures; };
        m_client->Upload(m_dir.filePath(QStringLiteral("missing")), QStringLiteral("/x.xml"));
    }());
    QCOMPARE(failures, 2);
    expectCleanUpload();
    m_client->Disconnect();
    try {
        m_client->Upload(m_file, QStringLiteral("/x.xml"));
        QFAIL("no exception");
    } catch (const Exception& error) {
        QCOMPARE(error.message(), QStringLiteral("Not Connected"));
    }
    QCOMPARE(failures, 3);
    QCOMPARE(commands(*m_peer, 2), (QStringList{"PASV", "STOR /corvanet.xml", "QUIT"}));
}

// Abort from a handler while the file is being sent: the send ends with the
// socket layer's cancel error, the data connection goes, and the component
// uploads again at once. Abort without an upload touches nothing. Cancel
// before the send fails the upload too.
void TestFtpClient::abortDuringTransfer()
{
    QFile big(m_file);
    QVERIFY(big.open(QIODevice::WriteOnly) && big.write(kContent.repeated(160)) > 0);
    big.close();
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
    QVERIFY(m_peer->transcript(1).size() < big.size());

    m_client->OnPacketSent = nullptr;
    m_client->Abort();
    QVERIFY(QFile::resize(m_file, 6));
    QTRY_VERIFY(m_client->DataAvailable()); // the 426 is dropped before PASV
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
void TestFtpClient::timeOutsAndDestruction()
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
    m_client->TimeOut = 0;
    m_client->TSocketConn::Disconnect(); // no QUIT: the silent peer would not answer
    m_client->Port = third.port();
    m_client->Connect();
    m_client->OnTransactionStart = [&](QObject*) {
        QTimer::singleShot(0, [this] { m_client.reset(); });
    };
    QVERIFY_THROWS_EXCEPTION(EAbortError, m_client->Upload(m_file, QStringLiteral("/x.xml")));
    QVERIFY(!m_client);
}

void TestFtpClient::disconnectRules()
{
    m_client->Disconnect(); // not connected: nothing sent, nothing raised
    serveLogin(*m_peer).expectLine().send("500 Unknown command\r\n").expectClose();
    m_client->Connect();
    m_client->Vendor = 7;
    try {
        m_client->Disconnect();
        QFAIL("no exception");
    } catch (const FTPException& error) {
        QCOMPARE(error.message(), QStringLiteral("500 Unknown command"));
    }
    QVERIFY(!m_client->Connected);
    QCOMPARE(m_client->Vendor, 2411);
    QTRY_VERIFY(m_peer->finished()); // the socket is closed anyway
    QCOMPARE(commands(*m_peer, 2), QStringList{"QUIT"});
}

QTEST_GUILESS_MAIN(TestFtpClient)
#include "TestFtpClient.moc"
