// The FTP client's protocol: login variants, reply rules, the data channel in
// both modes, and what every failure leaves behind (no data connection, the
// transfer lock free, the control connection as it was). A scripted peer on
// loopback plays the server.

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

#include "FtpClient.h"
#include "FtpScriptPeer.h"

namespace {

QByteArray text(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = "squad roster\n"[i % 13];
    return data;
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
    void refusedLogin();
    void greetingFailures();
    void connectTwiceSendsNothing();
    void authenticationNeededFillsAccount();
    void refusesLineBreaksInValues();
    void firewallLogins_data();
    void firewallLogins();

    void uploadPassive();
    void uploadActive();
    void uploadWithoutRemoteName();
    void passiveReplyFailures_data();
    void passiveReplyFailures();
    void refusedCommands_data();
    void refusedCommands();
    void activeServerCannotConnect();
    void unsupportedStoreHandled();
    void closingReplyFailures_data();
    void closingReplyFailures();
    void uploadNeedsConnectionAndFile();
    void abortDuringTransfer();

    void disconnectRules();
    void controlTimeOutEndsWait();

private:
    TFtpClient* connectedClient();
    void expectCleanUpload();

    std::unique_ptr<FtpScriptPeer> m_peer;
    std::unique_ptr<TFtpClient> m_client;
    QStringList m_status;
    QTemporaryDir m_dir;
    QString m_file;
};

void TestFtpClient::init()
{
    m_peer = std::make_unique<FtpScriptPeer>();
    QVERIFY(m_peer->listen());
    m_client = std::make_unique<TFtpClient>();
    m_client->Host = QStringLiteral("127.0.0.1");
    m_client->Port = m_peer->port();
    m_client->UserID = QStringLiteral("lead");
    m_client->Password = QStringLiteral("s3cret");
    m_client->ReportLevel = 1;
    m_status.clear();
    m_client->OnStatus = [this](QObject*, const QString& status) { m_status.append(status); };
    m_file = m_dir.filePath(QStringLiteral("a.tmp"));
    QFile file(m_file);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text(100000));
}

void TestFtpClient::cleanup()
{
    m_client.reset();
    m_peer.reset();
}

TFtpClient* TestFtpClient::connectedClient()
{
    m_client->Connect();
    m_peer->commands.clear();
    return m_client.get();
}

// After any upload, successful or not: no data connection is left and the
// transfer lock is free; the control connection is still up.
void TestFtpClient::expectCleanUpload()
{
    QVERIFY(m_client->findChildren<TSocketConn*>().isEmpty());
    QVERIFY(!m_client->transferLockHeld());
    QVERIFY(m_client->Connected);
}

void TestFtpClient::replyRules()
{
    QCOMPARE(TFtpClient::replyCodeOf("220 Service ready\r\n"), qint16(220));
    QCOMPARE(TFtpClient::replyCodeOf("abc\r\n"), qint16(0));
    QCOMPARE(TFtpClient::replyCodeOf(""), qint16(0));
    QCOMPARE(TFtpClient::replyCodeOf("00000000000000042"), qint16(0)); // only 10 characters count
    QCOMPARE(TFtpClient::replyCodeOf("32767 top"), qint16(32767));
    QVERIFY_THROWS_EXCEPTION(ERangeError, TFtpClient::replyCodeOf("32768 too big"));

    QVERIFY(TFtpClient::replyContinues("220-Welcome\r\n"));
    QVERIFY(TFtpClient::replyContinues(" indented text\r\n"));
    QVERIFY(TFtpClient::replyContinues("abc-def\r\n")); // the rule looks at the fourth character only
    QVERIFY(!TFtpClient::replyContinues("220 Ready\r\n"));
    QVERIFY(!TFtpClient::replyContinues("22\r\n"));
    QVERIFY(!TFtpClient::replyContinues("-\r\n"));
    QVERIFY(!TFtpClient::replyContinues(""));
}

void TestFtpClient::passivePortParsing()
{
    QCOMPARE(TFtpClient::passivePort("227 Entering Passive Mode (10,0,0,5,19,137)\r\n"),
             quint16(5001));
    QCOMPARE(TFtpClient::passivePort("227 ok (1,2,3,4, 255, 255).\r\n"), quint16(65535));
    QCOMPARE(TFtpClient::passivePort("227 ok (1,2,3,4,0,1)"), quint16(1));

    // Conversion errors name the text that is not a number.
    const auto conversionError = [](const QByteArray& line) {
        try {
            TFtpClient::passivePort(line);
        } catch (const EConvertError& error) {
            return error.message();
        }
        return QStringLiteral("<no conversion error>");
    };
    QCOMPARE(conversionError("227 Entering Passive Mode 10,0,0,5,19,137\r\n"),
             QStringLiteral("'' is not a valid integer value"));
    QCOMPARE(conversionError("227 (10,0,0,5,19x,137)"), QStringLiteral("'19x' is not a valid integer value"));
    QCOMPARE(conversionError("425 Can't open data connection.\r\n"),
             QStringLiteral("'' is not a valid integer value"));

    // Numbers that are no port bytes: refused, never wrapped into some port.
    QVERIFY_THROWS_EXCEPTION(FTPException, TFtpClient::passivePort("227 (1,2,3,4,256,1)"));
    QVERIFY_THROWS_EXCEPTION(FTPException, TFtpClient::passivePort("227 (1,2,3,4,1,300)"));
    QVERIFY_THROWS_EXCEPTION(FTPException, TFtpClient::passivePort("227 (1,2,3,4,-1,5)"));
    QVERIFY_THROWS_EXCEPTION(FTPException, TFtpClient::passivePort("227 (1,2,3,4,0,0)"));
}

void TestFtpClient::loginVariants_data()
{
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<QByteArray>("userReply");
    QTest::addColumn<QStringList>("commands");
    const QStringList both{"USER lead", "PASS s3cret"};
    QTest::newRow("plain") << QByteArray("220 Ready") << QByteArray() << both;
    QTest::newRow("multi-line greeting")
        << QByteArray("220-Welcome to the squad server\r\n"
                      "220-Uploads go to the root\r\n"
                      " indented notice\r\n"
                      "220 Ready")
        << QByteArray() << both;
    QTest::newRow("230 without password") << QByteArray("220 Ready") << QByteArray("230 Welcome")
                                          << QStringList{"USER lead"};
    QTest::newRow("332 skips password") << QByteArray("220 Ready") << QByteArray("332 Need account")
                                        << QStringList{"USER lead"};
    QTest::newRow("multi-line USER reply")
        << QByteArray("220 Ready") << QByteArray("331-Password\r\n331 required") << both;
}

void TestFtpClient::loginVariants()
{
    QFETCH(QByteArray, greeting);
    QFETCH(QByteArray, userReply);
    QFETCH(QStringList, commands);
    m_peer->greeting = greeting;
    if (!userReply.isEmpty())
        m_peer->reply("USER", userReply);
    int connects = 0;
    m_client->OnConnect = [&](QObject* sender) {
        QCOMPARE(sender, m_client.get());
        ++connects;
    };
    m_client->Connect();
    QVERIFY(m_client->Connected);
    QCOMPARE(connects, 1);
    QCOMPARE(m_peer->commands, commands);
    for (const QString& status : std::as_const(m_status))
        QVERIFY2(!status.contains(QLatin1String("s3cret")), qPrintable(status));
}

void TestFtpClient::refusedLogin()
{
    m_peer->reply("PASS", "530 Login incorrect.");
    int failures = 0;
    m_client->OnConnectionFailed = [&](QObject*) { ++failures; };
    int connects = 0;
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
    QCOMPARE(m_peer->commands, (QStringList{"USER lead", "PASS s3cret", "QUIT"}));
    QVERIFY(m_status.contains(QStringLiteral("Disconnected")));
    QVERIFY(m_status.contains(QStringLiteral("PASS ")));
    for (const QString& status : std::as_const(m_status))
        QVERIFY2(!status.contains(QLatin1String("s3cret")), qPrintable(status));
}

void TestFtpClient::greetingFailures()
{
    // A refusing greeting: no login is tried, QUIT is.
    m_peer->greeting = "421 Too many users";
    int failures = 0;
    m_client->OnConnectionFailed = [&](QObject*) { ++failures; };
    try {
        m_client->Connect();
        QFAIL("no exception");
    } catch (const FTPException& error) {
        QCOMPARE(error.message(), QStringLiteral("421 Too many users"));
    }
    QCOMPARE(failures, 1);
    QCOMPARE(m_peer->commands, QStringList{"QUIT"});
    QVERIFY(!m_client->Connected);

    // A server that hangs up instead of greeting: a failure, not a login.
    FtpScriptPeer closing;
    QVERIFY(closing.listen());
    closing.greeting = FtpScriptPeer::kClose;
    m_client->Port = closing.port();
    QVERIFY_THROWS_EXCEPTION(FTPException, m_client->Connect());
    QVERIFY(!m_client->Connected);
}

void TestFtpClient::connectTwiceSendsNothing()
{
    m_client->Connect();
    const QStringList before = m_peer->commands;
    m_client->Connect();
    QVERIFY(FtpScriptPeer::waitFor([] { return true; }));
    QCOMPARE(m_peer->commands, before);
    QVERIFY(m_client->Connected);
}

void TestFtpClient::authenticationNeededFillsAccount()
{
    m_client->UserID.clear();
    m_client->Password.clear();
    int asked = 0;
    m_client->OnAuthenticationNeeded = [&](bool& handled) {
        QVERIFY(!handled);
        ++asked;
        m_client->UserID = QStringLiteral("late");
        m_client->Password = QStringLiteral("filled");
    };
    m_client->Connect();
    QCOMPARE(asked, 1);
    QCOMPARE(m_peer->commands, (QStringList{"USER late", "PASS filled"}));

    // A handler that smuggles a line break in is refused before USER.
    m_client->Disconnect();
    m_peer = std::make_unique<FtpScriptPeer>();
    QVERIFY(m_peer->listen());
    m_client->Port = m_peer->port();
    m_client->UserID.clear();
    m_client->OnAuthenticationNeeded = [&](bool&) { m_client->UserID = "x\r\nDELE corvanet.xml"; };
    QVERIFY_THROWS_EXCEPTION(Exception, m_client->Connect());
    QCOMPARE(m_peer->commands, QStringList{"QUIT"});
    QVERIFY(!m_client->Connected);
}

void TestFtpClient::refusesLineBreaksInValues()
{
    for (const QString& bad : {QStringLiteral("a\rb"), QStringLiteral("a\nb"), QString::fromLatin1("a\0b", 3)}) {
        m_client->UserID = bad;
        QVERIFY_THROWS_EXCEPTION(Exception, m_client->Connect());
        m_client->UserID = QStringLiteral("lead");
        m_client->Password = bad;
        QVERIFY_THROWS_EXCEPTION(Exception, m_client->Connect());
        m_client->Password = QStringLiteral("s3cret");
    }
    QVERIFY(FtpScriptPeer::waitFor([] { return true; }));
    QVERIFY(m_peer->commands.isEmpty());
    QVERIFY(!m_client->Connected);

    // The same for the stored file name; the upload sends nothing.
    connectedClient();
    QVERIFY_THROWS_EXCEPTION(Exception,
                             m_client->Upload(m_file, QStringLiteral("/x.xml\r\nDELE /corvanet.xml")));
    QVERIFY_THROWS_EXCEPTION(Exception, m_client->Transaction("NOOP\r\nDELE /corvanet.xml"));
    QVERIFY(m_peer->commands.isEmpty());
    expectCleanUpload();
}

void TestFtpClient::firewallLogins_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("authenticate");
    QTest::addColumn<QStringList>("commands");
    QTest::newRow("user@host") << int(FTUser) << false
                               << QStringList{"USER lead@ftp.squads.example", "PASS s3cret"};
    QTest::newRow("open") << int(FtOpen) << false
                          << QStringList{"OPEN ftp.squads.example", "USER lead", "PASS s3cret"};
    QTest::newRow("site") << int(FtSite) << false
                          << QStringList{"SITE ftp.squads.example", "USER lead", "PASS s3cret"};
    QTest::newRow("site, firewall login")
        << int(FtSite) << true
        << QStringList{"USER guard", "PASS gate", "SITE ftp.squads.example", "USER lead",
                       "PASS s3cret"};
}

// The peer plays the firewall: the control connection goes to Proxy, and Host
// only appears in the commands.
void TestFtpClient::firewallLogins()
{
    QFETCH(int, type);
    QFETCH(bool, authenticate);
    QFETCH(QStringList, commands);
    m_client->Host = QStringLiteral("ftp.squads.example");
    m_client->Port = 1;
    m_client->Proxy = QStringLiteral("127.0.0.1");
    m_client->ProxyPort = m_peer->port();
    m_client->FirewallType = TFirewallType(type);
    m_client->FWAuthenticate = authenticate;
    m_client->FWUserID = QStringLiteral("guard");
    m_client->FWPassword = QStringLiteral("gate");
    m_client->Connect();
    QCOMPARE(m_peer->commands, commands);
    for (const QString& status : std::as_const(m_status))
        QVERIFY2(!status.contains(QLatin1String("gate")), qPrintable(status));

    // A refused firewall step is a failed login, not a connection.
    m_client->Disconnect();
    m_peer = std::make_unique<FtpScriptPeer>();
    QVERIFY(m_peer->listen());
    m_client->ProxyPort = m_peer->port();
    const QByteArray verb = type == FTUser ? "USER" : type == FtOpen ? "OPEN" : "SITE";
    if (authenticate)
        m_peer->reply("USER", "331 Firewall password");
    m_peer->reply(verb, "530 Not allowed through the firewall");
    QVERIFY_THROWS_EXCEPTION(FTPException, m_client->Connect());
    QVERIFY(!m_client->Connected);
}

void TestFtpClient::uploadPassive()
{
    // The address in the PASV reply is ignored: the data goes to the host the
    // control connection reached.
    m_peer->passiveFormat = "227 Entering Passive Mode (10,0,0,5,%1,%2)";
    connectedClient();
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
        QVERIFY(!m_client->transferLockHeld());
        events << "success";
    };
    int packets = 0;
    m_client->OnPacketSent = [&](QObject* sender) {
        QVERIFY(sender != m_client.get());
        ++packets;
    };
    m_client->Passive = true;
    m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
    QCOMPARE(m_peer->commands, (QStringList{"PASV", "STOR /corvanet.xml"}));
    QCOMPARE(m_peer->data, text(100000));
    QCOMPARE(events, (QStringList{"start", "stop", "success"}));
    QVERIFY(packets >= 1);
    QCOMPARE(m_client->TotalBytes, 100000);
    QVERIFY(m_status.contains(QStringLiteral("STOR /corvanet.xml")));
    expectCleanUpload();

    // Input that arrived between commands is dropped before the next upload.
    m_peer->reply("NOOP", "200-stray\r\n200 noise");
    m_client->Write("NOOP\r\n");
    QVERIFY(FtpScriptPeer::waitFor([&] { return m_peer->commands.size() == 3; }));
    QVERIFY(FtpScriptPeer::waitFor([&] { return m_client->DataAvailable(); }));
    m_peer->data.clear();
    m_peer->dataEnded = false;
    m_client->Upload(m_file, QStringLiteral("/again.xml"));
    QCOMPARE(m_peer->data, text(100000));
    expectCleanUpload();
}

void TestFtpClient::uploadActive()
{
    connectedClient();
    m_client->Passive = false;
    bool succeeded = false;
    m_client->OnSuccess = [&](TCmdType) { succeeded = true; };
    m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
    QCOMPARE(m_peer->commands.size(), 2);
    QVERIFY2(QRegularExpression(QStringLiteral("^PORT 127,0,0,1,\\d{1,3},\\d{1,3}$"))
                 .match(m_peer->commands[0])
                 .hasMatch(),
             qPrintable(m_peer->commands[0]));
    QCOMPARE(m_peer->commands[1], QStringLiteral("STOR /corvanet.xml"));
    QCOMPARE(m_peer->dataConnections, 1);
    QCOMPARE(m_peer->data, text(100000));
    QVERIFY(succeeded);
    expectCleanUpload();
}

void TestFtpClient::uploadWithoutRemoteName()
{
    connectedClient();
    m_client->Passive = true;
    m_client->Upload(m_file, QString());
    QCOMPARE(m_peer->commands, (QStringList{"PASV", "STOR a.tmp"}));
    QVERIFY(m_status.contains(QStringLiteral("STOR ") + m_file));
    expectCleanUpload();
}

void TestFtpClient::passiveReplyFailures_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("error");
    QTest::newRow("no parentheses") << QByteArray("227 Entering Passive Mode 127,0,0,1,19,137")
                                    << "'' is not a valid integer value";
    QTest::newRow("425") << QByteArray("425 Can't open data connection")
                         << "'' is not a valid integer value";
    QTest::newRow("byte above 255") << QByteArray("227 Entering Passive Mode (127,0,0,1,300,1)")
                                    << "Unusable port in passive mode reply: "
                                       "227 Entering Passive Mode (127,0,0,1,300,1)";
    QTest::newRow("port 0") << QByteArray("227 Entering Passive Mode (127,0,0,1,0,0)")
                            << "Unusable port in passive mode reply: "
                               "227 Entering Passive Mode (127,0,0,1,0,0)";
    QTest::newRow("500") << QByteArray("500 PASV not understood") << "500 PASV not understood";
}

void TestFtpClient::passiveReplyFailures()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, error);
    connectedClient();
    m_client->Passive = true;
    m_peer->reply("PASV", reply);
    try {
        m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
        QFAIL("no exception");
    } catch (const Exception& e) {
        QCOMPARE(e.message(), error);
    }
    QCOMPARE(m_peer->commands, QStringList{"PASV"});
    QCOMPARE(m_peer->dataConnections, 0);
    expectCleanUpload();
}

void TestFtpClient::refusedCommands_data()
{
    QTest::addColumn<bool>("passive");
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("STOR 550") << true << QByteArray("STOR")
                              << QByteArray("550 Permission denied");
    QTest::newRow("STOR 550 active") << false << QByteArray("STOR")
                                     << QByteArray("550 Permission denied");
    QTest::newRow("PORT 500") << false << QByteArray("PORT")
                              << QByteArray("500 Illegal PORT command");
}

// A refused command: the exception carries the reply, OnFailure sees it twice
// when it does not handle it (as a reply failure, then as the exception
// leaving the upload), and nothing counts as success.
void TestFtpClient::refusedCommands()
{
    QFETCH(bool, passive);
    QFETCH(QByteArray, verb);
    QFETCH(QByteArray, reply);
    connectedClient();
    m_client->Passive = passive;
    m_peer->reply(verb, reply);
    QVERIFY_THROWS_EXCEPTION(FTPException, m_client->Upload(m_file, "/corvanet.xml"));
    expectCleanUpload();

    m_peer->reply(verb, reply);
    int failures = 0;
    bool succeeded = false;
    m_client->OnFailure = [&](bool& handled, TCmdType type) {
        QVERIFY(!handled);
        QCOMPARE(type, TCmdType::Upload);
        ++failures;
    };
    m_client->OnSuccess = [&](TCmdType) { succeeded = true; };
    try {
        m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
        QFAIL("no exception");
    } catch (const FTPException& error) {
        QCOMPARE(error.message().toUtf8(), reply);
    }
    QCOMPARE(failures, 2);
    QVERIFY(!succeeded);
    QVERIFY(m_peer->data.isEmpty());
    expectCleanUpload();
}

// The server accepts STOR but cannot reach our PORT address and says so: the
// accept wait ends with the server's reply instead of waiting for ever.
void TestFtpClient::activeServerCannotConnect()
{
    connectedClient();
    m_client->Passive = false;
    m_peer->connectForStor = false;
    m_peer->reply("STOR", "150 Opening data connection\r\n425 Can't open data connection");
    try {
        m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
        QFAIL("no exception");
    } catch (const FTPException& error) {
        QCOMPARE(error.message(), QStringLiteral("425 Can't open data connection"));
    }
    expectCleanUpload();

    // The same when the server hangs up instead.
    m_peer->reply("STOR", "150 Opening data connection\r\n" + FtpScriptPeer::kClose);
    QVERIFY_THROWS_EXCEPTION(FTPException, m_client->Upload(m_file, "/corvanet.xml"));
    QVERIFY(m_client->findChildren<TSocketConn*>().isEmpty());
    QVERIFY(!m_client->transferLockHeld());
}

void TestFtpClient::unsupportedStoreHandled()
{
    connectedClient();
    m_client->Passive = true;
    m_peer->reply("STOR", "502 Command not implemented");
    int unsupported = 0, failures = 0, successes = 0;
    m_client->OnUnSupportedFunction = [&](TCmdType type) {
        QCOMPARE(type, TCmdType::Upload);
        ++unsupported;
    };
    m_client->OnFailure = [&](bool& handled, TCmdType) {
        ++failures;
        handled = true;
    };
    m_client->OnSuccess = [&](TCmdType) { ++successes; };
    m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
    QCOMPARE(unsupported, 1);
    QCOMPARE(failures, 1);
    QCOMPARE(successes, 0);
    expectCleanUpload();
}

void TestFtpClient::closingReplyFailures_data()
{
    QTest::addColumn<bool>("passive");
    QTest::addColumn<QByteArray>("closing");
    QTest::addColumn<QString>("error");
    QTest::newRow("451") << true << QByteArray("451 Local error in processing")
                         << "451 Local error in processing";
    QTest::newRow("552 active") << false << QByteArray("552-Quota\r\n552 exceeded")
                                << "552-Quota";
    QTest::newRow("closed") << true << FtpScriptPeer::kClose
                            << "Control connection closed by the server";
}

// A file the server did not confirm is not a success.
void TestFtpClient::closingReplyFailures()
{
    QFETCH(bool, passive);
    QFETCH(QByteArray, closing);
    QFETCH(QString, error);
    connectedClient();
    m_client->Passive = passive;
    m_peer->closingReply = closing;
    int failures = 0, successes = 0;
    m_client->OnFailure = [&](bool&, TCmdType) { ++failures; };
    m_client->OnSuccess = [&](TCmdType) { ++successes; };
    try {
        m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
        QFAIL("no exception");
    } catch (const FTPException& e) {
        QCOMPARE(e.message(), error);
    }
    QCOMPARE(m_peer->data, text(100000));
    QCOMPARE(failures, 2);
    QCOMPARE(successes, 0);
    QVERIFY(m_client->findChildren<TSocketConn*>().isEmpty());
    QVERIFY(!m_client->transferLockHeld());
}

void TestFtpClient::uploadNeedsConnectionAndFile()
{
    // Not connected: "Not Connected", offered to OnFailure, which may swallow it.
    int failures = 0;
    m_client->OnFailure = [&](bool& handled, TCmdType) { handled = ++failures == 2; };
    try {
        m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
        QFAIL("no exception");
    } catch (const Exception& error) {
        QCOMPARE(error.message(), QStringLiteral("Not Connected"));
    }
    m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
    QCOMPARE(failures, 2);

    // A local file that cannot be opened: nothing is sent.
    m_client->OnFailure = nullptr;
    connectedClient();
    QVERIFY_THROWS_EXCEPTION(EFileError,
                             m_client->Upload(m_dir.filePath("missing"), QStringLiteral("/x.xml")));
    QVERIFY(m_peer->commands.isEmpty());
    expectCleanUpload();
}

// Abort from a handler while the file is being sent: the send ends with the
// socket layer's cancel error, the data connection goes, and the component
// can upload again at once.
void TestFtpClient::abortDuringTransfer()
{
    {
        QFile big(m_file);
        QVERIFY(big.open(QIODevice::WriteOnly));
        big.write(text(16 * 1024 * 1024));
    }
    connectedClient();
    m_client->Passive = true;
    m_peer->stallData(true);
    int packets = 0;
    m_client->OnPacketSent = [&](QObject*) {
        if (++packets == 1)
            m_client->Abort();
    };
    bool succeeded = false;
    m_client->OnSuccess = [&](TCmdType) { succeeded = true; };
    try {
        m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
        QFAIL("no exception");
    } catch (const EAbortError& error) {
        QCOMPARE(error.message(), QStringLiteral("Socket send aborted"));
    }
    QVERIFY(!succeeded);
    expectCleanUpload();

    m_client->OnPacketSent = nullptr;
    m_client->Abort(); // no upload: nothing to cancel, the control connection untouched
    m_peer->stallData(false);
    QFile small(m_file);
    QVERIFY(small.open(QIODevice::WriteOnly));
    small.write("short\n");
    small.close();
    QVERIFY(FtpScriptPeer::waitFor([&] { return m_peer->dataEnded; }));
    m_peer->data.clear();
    m_peer->dataEnded = false;
    // The peer's closing reply for the aborted transfer waits on the control
    // connection; the next upload drops it before its first command.
    QVERIFY(FtpScriptPeer::waitFor([&] { return m_client->DataAvailable(); }));
    m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
    QCOMPARE(m_peer->data, QByteArray("short\n"));
    QVERIFY(succeeded);
    expectCleanUpload();
}

void TestFtpClient::disconnectRules()
{
    // Not connected: nothing is sent, nothing raised.
    m_client->Disconnect();
    QVERIFY(FtpScriptPeer::waitFor([] { return true; }));
    QVERIFY(m_peer->commands.isEmpty());

    connectedClient();
    m_client->Vendor = 7;
    m_peer->reply("QUIT", "500 Unknown command");
    try {
        m_client->Disconnect();
        QFAIL("no exception");
    } catch (const FTPException& error) {
        QCOMPARE(error.message(), QStringLiteral("500 Unknown command"));
    }
    QVERIFY(!m_client->Connected);
    QCOMPARE(m_client->Vendor, 2411);
    QCOMPARE(m_peer->commands, QStringList{"QUIT"});

    // The fresh socket connects again.
    m_peer = std::make_unique<FtpScriptPeer>();
    QVERIFY(m_peer->listen());
    m_client->Port = m_peer->port();
    m_client->Connect();
    QVERIFY(m_client->Connected);
    m_client->Disconnect();
    QVERIFY(!m_client->Connected);
}

// A control connection's time-out ends a reply that never comes, although the
// client's Abort only cancels data connections.
void TestFtpClient::controlTimeOutEndsWait()
{
    m_peer->greeting = FtpScriptPeer::kSilent;
    m_client->TimeOut = 150;
    QVERIFY_THROWS_EXCEPTION(EAbortError, m_client->Connect());
    QVERIFY(!m_client->Connected);
}

QTEST_GUILESS_MAIN(TestFtpClient)
#include "TestFtpClient.moc"
