// Connection life cycle, line reading, transactions, cancel, time-out and
// destruction during a wait, against a scripted loopback peer.

#include "ScriptedPeer.h"
#include "SocketConn.h"
#include "SocketSys.h"

#include <QTcpServer>
#include <QTimer>
#include <QtTest>

#include <cerrno>

namespace {

// The message of the exception that f throws, checked to be of class E;
// "<none>" when nothing is thrown.
template <class E, class F>
QString thrown(F&& f)
{
    try {
        f();
    } catch (const E& e) {
        return e.message();
    } catch (const std::exception& e) {
        return QStringLiteral("<other exception: %1>").arg(QString::fromUtf8(e.what()));
    }
    return QStringLiteral("<none>");
}

void connectTo(TSocketConn& c, const ScriptedPeer& peer)
{
    c.Host = QStringLiteral("127.0.0.1");
    c.Port = peer.port();
    c.Connect();
}

quint16 unusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

class TestSocketConn : public QObject {
    Q_OBJECT
private slots:
    void firstObjectDescribesTheSocketLayer();
    void connectDisconnectAndConnectAgain();
    void refusedConnectionReportsTheSocketError();
    void invalidHostGetsExactlyOneChance();
    void namesResolveAndProxyReplacesHost();
    void readLnAssemblesLinesAndLeavesTheRest();
    void readLnRejectsALineLongerThanTheBuffer();
    void peerClosingWithDataWaitingIsDrainedFirst();
    void readWaitsForCountAndStopsAtClose();
    void dataAvailableReadAndClearInput();
    void transactionReplyCodes_data();
    void transactionReplyCodes();
    void writeLimits();
    void cancelFromATimerEndsTheWait();
    void timeOutEndsReadLn();
    void destroyingDuringAWaitEndsItWithTheCancelError();
    void checkConnectionGivesOneChance();
    void writingToAResetPeerRaisesInsteadOfSigpipe();
    void statusAndErrorTexts();
};

void TestSocketConn::firstObjectDescribesTheSocketLayer()
{
    // The count is process-wide: only while no other object lives does a
    // new one fill WinsockInfo.
    for (int round = 0; round < 2; ++round) {
        TSocketConn first;
        TSocketConn second;
        QCOMPARE(first.WinsockInfo.size(), 6);
        QCOMPARE(first.WinsockInfo.first(), QStringLiteral("Version= 1.1"));
        QVERIFY(second.WinsockInfo.isEmpty());
        QVERIFY(first.socketHandle() >= 0);
        QVERIFY(!first.Connected);
    }
}

void TestSocketConn::connectDisconnectAndConnectAgain()
{
    ScriptedPeer peer;
    peer.expectClose().acceptNext().expectLine().send("ok\r\n").expectClose();

    TSocketConn c;
    int connects = 0;
    int disconnects = 0;
    c.OnConnect = [&](QObject* sender) { connects += sender == &c; };
    c.OnDisconnect = [&](QObject* sender) { disconnects += sender == &c; };

    connectTo(c, peer);
    QVERIFY(c.Connected);
    QCOMPARE(connects, 1);
    QCOMPARE(thrown<ESockError>([&] { c.Connect(); }), QStringLiteral("Already connected"));

    c.Disconnect();
    QVERIFY(!c.Connected);
    QCOMPARE(disconnects, 1);

    c.Connect();
    QCOMPARE(connects, 2);
    c.Writeln("hello");
    QCOMPARE(c.ReadLn(), QByteArray("ok\r\n"));
    c.Disconnect();
    QTRY_VERIFY(peer.finished());
    QCOMPARE(peer.lines(), QList<QByteArray>{"hello\r\n"});
    QCOMPARE(peer.connectionCount(), 2);
}

void TestSocketConn::refusedConnectionReportsTheSocketError()
{
    TSocketConn c;
    QList<int> codes;
    QStringList messages;
    int failed = 0;
    c.OnError = [&](QObject*, quint16 code, const QString& message) {
        codes << code;
        messages << message;
    };
    c.OnConnectionFailed = [&](QObject*) { ++failed; };
    c.Host = QStringLiteral("127.0.0.1");
    c.Port = unusedPort();

    QCOMPARE(thrown<ESockError>([&] { c.Connect(); }), QStringLiteral("10061:Connection refused"));
    QCOMPARE(codes, QList<int>{10061});
    QCOMPARE(messages, QStringList{QStringLiteral("10061:Connection refused")});
    QCOMPARE(failed, 1);
    QVERIFY(!c.Connected);

    // The caller disconnects after a failure; the fresh socket connects.
    ScriptedPeer peer;
    peer.expectLine();
    c.Disconnect();
    connectTo(c, peer);
    c.Writeln("after");
    QTRY_VERIFY(peer.finished());
}

void TestSocketConn::invalidHostGetsExactlyOneChance()
{
    ScriptedPeer peer;
    peer.expectClose();

    // An empty name fails without asking the resolver.
    TSocketConn c;
    c.Port = peer.port();
    QCOMPARE(thrown<ESockError>([&] { c.Connect(); }), QStringLiteral("Null Remote Address"));

    int calls = 0;
    c.OnInvalidHost = [&](bool& handled) {
        ++calls;
        handled = true; // claims a fix but leaves Host empty
    };
    QCOMPARE(thrown<ESockError>([&] { c.Connect(); }), QStringLiteral("Null Remote Address"));
    QCOMPARE(calls, 1);

    calls = 0;
    c.OnInvalidHost = [&](bool&) { ++calls; };
    QCOMPARE(thrown<ESockError>([&] { c.Connect(); }), QStringLiteral("Null Remote Address"));
    QCOMPARE(calls, 1);

    calls = 0;
    c.OnInvalidHost = [&](bool& handled) {
        ++calls;
        c.Host = QStringLiteral("127.0.0.1");
        handled = true;
    };
    c.Connect();
    QCOMPARE(calls, 1);
    QVERIFY(c.Connected);
}

void TestSocketConn::namesResolveAndProxyReplacesHost()
{
    ScriptedPeer peer;
    peer.expectLine().acceptNext().expectLine();

    // "localhost" is answered from the hosts file.
    TSocketConn c;
    int resolved = 0;
    c.OnHostResolved = [&](QObject* sender) { resolved += sender == &c; };
    c.Host = QStringLiteral("localhost");
    c.Port = peer.port();
    c.Connect();
    QCOMPARE(resolved, 1);
    c.Writeln("by name");
    QTRY_COMPARE(peer.lines().size(), 1);

    // With a proxy, Host and Port are not used (port 1 would refuse), and a
    // dotted address needs no look-up.
    TSocketConn viaProxy;
    int proxyResolved = 0;
    viaProxy.OnHostResolved = [&](QObject*) { ++proxyResolved; };
    viaProxy.Host = QStringLiteral("localhost");
    viaProxy.Port = 1;
    viaProxy.Proxy = QStringLiteral("127.0.0.1");
    viaProxy.ProxyPort = peer.port();
    viaProxy.Connect();
    QCOMPARE(proxyResolved, 0);
    viaProxy.Writeln("via proxy");
    QTRY_VERIFY(peer.finished());
    QCOMPARE(peer.lines(), (QList<QByteArray>{"by name\r\n", "via proxy\r\n"}));
}

void TestSocketConn::readLnAssemblesLinesAndLeavesTheRest()
{
    ScriptedPeer peer;
    peer.sendParts({"HTT", "P/1.0 2", "00 OK\r", "\n\r\nrest"}, 20).expectLine().send("\n").close();

    TSocketConn c;
    connectTo(c, peer);
    QCOMPARE(c.ReadLn(), QByteArray("HTTP/1.0 200 OK\r\n"));
    QCOMPARE(c.ReadLn(), QByteArray("\r\n"));
    c.Writeln("go");
    // "rest" has no terminator until the LF of the next packet.
    QCOMPARE(c.ReadLn(), QByteArray("rest\n"));
    // The peer closed: an empty result.
    QCOMPARE(c.ReadLn(), QByteArray());
    QVERIFY(peer.finished());
}

void TestSocketConn::readLnRejectsALineLongerThanTheBuffer()
{
    const QByteArray longest = QByteArray(65535, 'a') + '\n';
    ScriptedPeer peer;
    peer.send(longest).send(QByteArray(65536, 'b') + "\nX");

    TSocketConn c;
    connectTo(c, peer);
    QCOMPARE(c.ReadLn(), longest);
    QCOMPARE(thrown<ESockError>([&] { c.ReadLn(); }), QStringLiteral("Socket readln line too long"));
}

void TestSocketConn::peerClosingWithDataWaitingIsDrainedFirst()
{
    ScriptedPeer peer;
    peer.send("abc\r\ndef").close();

    TSocketConn c;
    int disconnects = 0;
    c.OnDisconnect = [&](QObject*) { ++disconnects; };
    connectTo(c, peer);
    QTRY_VERIFY(peer.finished());
    QTest::qWait(20); // the close arrives while the data still waits

    QVERIFY(c.Connected);
    QCOMPARE(disconnects, 0);
    QCOMPARE(c.ReadLn(), QByteArray("abc\r\n"));
    QByteArray rest;
    c.CaptureString(rest, -1);
    QCOMPARE(rest, QByteArray("def"));
    // Once drained, the close notification closes and renews the socket.
    QTRY_VERIFY(!c.Connected);
    QCOMPARE(disconnects, 1);
    QCOMPARE(c.ReadLn(), QByteArray());
}

void TestSocketConn::readWaitsForCountAndStopsAtClose()
{
    ScriptedPeer peer;
    peer.sendParts({"ab", "cd"}, 30).expectLine().send("ef").close();

    TSocketConn c;
    connectTo(c, peer);
    QCOMPARE(c.Read(4), QByteArray("abcd"));
    c.Writeln("more");
    // Two of four bytes, then the peer closes: what came is handed over.
    QCOMPARE(c.Read(4), QByteArray("ef"));
    QCOMPARE(c.Read(4), QByteArray());
}

void TestSocketConn::dataAvailableReadAndClearInput()
{
    ScriptedPeer peer;
    peer.send("xyz").expectLine().send("junk");

    TSocketConn c;
    connectTo(c, peer);
    QTRY_VERIFY(c.DataAvailable());
    QCOMPARE(c.Read(0), QByteArray("xyz"));
    QVERIFY(!c.DataAvailable());
    QCOMPARE(c.Read(0), QByteArray()); // nothing waiting: empty, no wait

    c.Writeln("send junk");
    QTRY_VERIFY(c.DataAvailable());
    c.ClearInput();
    QVERIFY(!c.DataAvailable());
}

void TestSocketConn::transactionReplyCodes_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("code"); // -1: range error

    QTest::newRow("code") << QByteArray("220 Service ready\r\n") << 220;
    QTest::newRow("no digits") << QByteArray("abc\r\n") << 0;
    QTest::newRow("continued") << QByteArray("331-more\r\n") << 331;
    QTest::newRow("largest") << QByteArray("32767 x\r\n") << 32767;
    QTest::newRow("too large") << QByteArray("32768 x\r\n") << -1;
    QTest::newRow("ten digits of more") << QByteArray("12345678901 x\r\n") << -1;
    QTest::newRow("ten digits only") << QByteArray("00000000017\r\n") << 1;
}

void TestSocketConn::transactionReplyCodes()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, code);

    ScriptedPeer peer;
    peer.expectLine().send(reply);
    TSocketConn c;
    connectTo(c, peer);
    c.ReplyCode = 99;
    if (code < 0) {
        QCOMPARE(thrown<ERangeError>([&] { c.Transaction("STAT"); }),
                 QStringLiteral("Range check error"));
        return;
    }
    QCOMPARE(c.Transaction("STAT"), reply);
    QCOMPARE(int(c.ReplyCode), code);
    QCOMPARE(c.LastReply, reply);
    QCOMPARE(peer.lines(), QList<QByteArray>{"STAT\r\n"});
}

void TestSocketConn::writeLimits()
{
    ScriptedPeer peer;
    peer.expectBytes(65535 + 2).send("done\r\n");

    TSocketConn c;
    connectTo(c, peer);
    QCOMPARE(thrown<ERangeError>([&] { c.Write(QByteArray(65536, 'y')); }),
             QStringLiteral("Range check error"));
    c.Write(QByteArray(65535, 'x'));
    c.Write(QByteArray("ab\0cd", 5)); // up to the first NUL
    QCOMPARE(c.ReadLn(), QByteArray("done\r\n"));
    QCOMPARE(peer.transcript(), QByteArray(65535, 'x') + "ab");
}

void TestSocketConn::cancelFromATimerEndsTheWait()
{
    ScriptedPeer peer;
    peer.expectLine().send("late\r\n");

    TSocketConn c;
    connectTo(c, peer);
    QTimer::singleShot(50, &c, [&] { c.Cancel(); });
    QCOMPARE(thrown<EAbortError>([&] { c.ReadLn(); }), QStringLiteral("Socket readln aborted"));
    QVERIFY(!c.Canceled);

    // The connection is still there.
    QVERIFY(c.Connected);
    c.Writeln("now");
    QCOMPARE(c.ReadLn(), QByteArray("late\r\n"));

    // A handler that closes the connection ends the wait: the line is gone.
    QTimer::singleShot(30, &c, [&] { c.Disconnect(); });
    QCOMPARE(c.ReadLn(), QByteArray());
    QVERIFY(!c.Connected);
}

void TestSocketConn::timeOutEndsReadLn()
{
    ScriptedPeer peer;
    peer.expectClose();

    TSocketConn c;
    connectTo(c, peer);
    c.TimeOut = 150;
    QCOMPARE(thrown<EAbortError>([&] { c.ReadLn(); }), QStringLiteral("Socket readln aborted"));
    QVERIFY(c.TimedOut);
    QVERIFY(!c.Canceled);
}

void TestSocketConn::destroyingDuringAWaitEndsItWithTheCancelError()
{
    ScriptedPeer peer;
    peer.expectClose();

    auto* reading = new TSocketConn;
    connectTo(*reading, peer);
    QTimer::singleShot(30, [&] { delete reading; });
    QCOMPARE(thrown<EAbortError>([&] { reading->ReadLn(); }), QStringLiteral("Socket readln aborted"));
    QTRY_VERIFY(peer.finished()); // the peer saw the socket go

    auto* listening = new TSocketConn;
    listening->Port = 0;
    listening->Listen(false);
    QTimer::singleShot(30, [&] { delete listening; });
    QCOMPARE(thrown<ESockError>([&] { listening->Accept(); }), QStringLiteral("Accepting Canceled"));

    // Destroyed by its owner from the owner's own handler.
    ScriptedPeer quiet;
    quiet.expectClose();
    auto* owner = new QObject;
    auto* owned = new TSocketConn(owner);
    connectTo(*owned, quiet);
    QTimer::singleShot(30, [&] { delete owner; });
    QByteArray text;
    QCOMPARE(thrown<EAbortError>([&] { owned->CaptureString(text, -1); }),
             QStringLiteral("Socket capture aborted"));
}

void TestSocketConn::checkConnectionGivesOneChance()
{
    ScriptedPeer peer;
    peer.expectClose();

    TSocketConn c;
    QCOMPARE(thrown<Exception>([&] { c.CheckConnection(); }), QStringLiteral("Not Connected"));

    int calls = 0;
    c.OnConnectionRequired = [&](bool& handled) {
        ++calls;
        handled = true; // without connecting
    };
    QCOMPARE(thrown<Exception>([&] { c.CheckConnection(); }), QStringLiteral("Not Connected"));
    QCOMPARE(calls, 1);

    c.OnConnectionRequired = [&](bool& handled) {
        connectTo(c, peer);
        handled = true;
    };
    c.CheckConnection();
    QVERIFY(c.Connected);
}

void TestSocketConn::writingToAResetPeerRaisesInsteadOfSigpipe()
{
    ScriptedPeer peer;
    peer.expectLine().reset();

    TSocketConn c;
    connectTo(c, peer);
    c.Writeln("bye");
    QTRY_VERIFY(peer.finished());
    QString message;
    for (int i = 0; i < 200 && message.isEmpty(); ++i) {
        try {
            c.Write(QByteArray(60000, 'z'));
        } catch (const ESockError& e) {
            message = e.message();
        }
    }
    // A SIGPIPE would have ended the test run before this line.
    QVERIFY2(message.startsWith(QLatin1String("10054:")) || message.startsWith(QLatin1String("10058:"))
                 || message.startsWith(QLatin1String("10057:")),
             qPrintable(message));
}

void TestSocketConn::statusAndErrorTexts()
{
    QCOMPARE(TSocketConn::errorText(10061), QStringLiteral("10061:Connection refused"));
    QCOMPARE(TSocketConn::errorText(11001), QStringLiteral("11001:Host not found"));
    QCOMPARE(TSocketConn::errorText(0), QString());
    QCOMPARE(TSocketConn::errorText(12345), QStringLiteral("Unknown Error No. 12345"));
    // An errno without a classic number still counts as an error.
    QVERIFY(SocketSys::classicError(EIO) > 10000);
    QCOMPARE(SocketSys::classicError(ECONNREFUSED), 10061);

    // Only texts at or below ReportLevel reach OnStatus.
    TSocketConn c;
    QStringList seen;
    c.OnStatus = [&](QObject*, const QString& status) { seen << status; };
    c.ReportLevel = 4;
    c.Disconnect();
    QCOMPARE(seen, QStringList{QStringLiteral("Request Close Socket")});
    QCOMPARE(c.StatusText, QStringLiteral("Request Close Socket"));
}

QTEST_GUILESS_MAIN(TestSocketConn)
#include "TestSocketConn.moc"
