// Replies that no honest server sends, and servers that never answer: the
// HTTP client and the squadnet command must end each of them with an error,
// never with a header or body that passes for a good reply.

#include <QtTest>

#include "HttpScript.h"

class TestHttpFaults : public QObject
{
    Q_OBJECT
private slots:
    // What a reply's framing leaves: the error (one ending in "*" is the
    // start of it), the body stored, the length announced (-1: none; -2: not
    // looked at). A refused reply stores no body and follows no redirect.
    void replyFraming_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("bodyLeft");
        QTest::addColumn<qint64>("length");
        const QByteArray none = "<missing>", ok = "HTTP/1.0 200 OK\r\n";
        const qint64 any = -2;
        QTest::newRow("closed before the status line")
            << QByteArray() << "Connection closed before the reply" << none << qint64(-1);
        QTest::newRow("body cut short")
            << ok + "Content-Length: 10\r\n\r\n12345"
            << "Connection closed before the whole body arrived (5 of 10 bytes)"
            << QByteArray("12345") << qint64(10);
        QTest::newRow("no length: body to the close")
            << ok + "\r\n12345"
            << "<none>" << QByteArray("12345") << qint64(-1);
        // More body than announced: the body still runs to the close.
        for (const char* spaces : {" ", "  "})
            QTest::addRow("Content-Length:%s1234", spaces)
                << ok + "Content-Length:" + spaces + "1234\r\n\r\n" + QByteArray(1300, 'b')
                << "<none>" << QByteArray(1300, 'b') << qint64(1234);
        QTest::newRow("header line beyond the buffer")
            << ok + "X-Long: " + QByteArray(70000, 'x') + "\r\n\r\n"
            << "Socket readln line too long" << none << qint64(-1);
        const QByteArray many = ok + ("X-Filler: " + QByteArray(1000, 'f') + "\r\n").repeated(1100);
        QTest::newRow("header beyond 1 MiB") << many + "\r\n"
                                             << "Reply header too large" << none << qint64(-1);

        // Two different lengths: which one frames the body is anybody's guess,
        // so the reply is refused whole; the same value twice is one value. A
        // huge announced length is no length the body can reach.
        QTest::newRow("two different lengths")
            << ok + "Content-Length: 100\r\nContent-Length: 4\r\n\r\nbody"
            << "Reply header holds two different Content-Length values" << none << any;
        QTest::newRow("the same length twice")
            << ok + "Content-Length: 4\r\ncontent-length:  4\r\n\r\nbody"
            << "<none>" << QByteArray("body") << qint64(4);
        QTest::newRow("length of a gigabyte")
            << ok + "Content-Length: 1000000000\r\n\r\nbody"
            << "Connection closed before the whole body arrived (4 of 1000000000 bytes)"
            << QByteArray("body") << qint64(1000000000);
        QTest::newRow("length beyond 64 bits")
            << ok + "Content-Length: 99999999999999999999999999\r\n\r\nbody"
            << "Connection closed before the whole body arrived (4 of *" << QByteArray("body")
            << any;

        // "@" stands for the NUL byte.
        auto nul = [](const char* text) { return QByteArray(text).replace('@', '\0'); };
        const QString nulError = "Reply header holds a NUL character";
        QTest::newRow("NUL in the status line")
            << nul("HTTP/1.0 200@ OK\r\n\r\nbody") << nulError << none << qint64(-1);
        QTest::newRow("NUL in the content length")
            << nul("HTTP/1.0 200 OK\r\nContent-Length: 4@000\r\n\r\nbody") << nulError << none
            << qint64(-1);
        QTest::newRow("NUL in the location")
            << nul("HTTP/1.0 302 Found\r\nLocation: /a.jpg@.exe\r\n\r\n") << nulError << none
            << qint64(-1);
        QTest::newRow("NUL in the cookie")
            << nul("HTTP/1.0 200 OK\r\nSet-Cookie: id=7@x\r\n\r\nbody") << nulError << none
            << qint64(-1);
    }

    void replyFraming()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, error);
        QFETCH(qint64, length);
        HttpRig s;
        const QString thrownError = getAnsweredBy(s, reply);
        if (error.endsWith(QLatin1Char('*')))
            QVERIFY2(thrownError.startsWith(error.chopped(1)), qPrintable(thrownError));
        else
            QCOMPARE(thrownError, error);
        QTEST(s.body(), "bodyLeft");
        if (length != -2)
            QCOMPARE(s.client.contentLength(), length);
        QVERIFY(!s.client.Connected);
        QCOMPARE(s.peer.connectionCount(), 1);
    }

    // A server that takes the connection and never answers: the command ends
    // after --timeout seconds without a byte instead of waiting for ever.
    void silentServerEndsTheCommand_data()
    {
        QTest::addColumn<QStringList>("arguments"); // %1: the server's port
        QTest::newRow("get") << QStringList{"get", "http://127.0.0.1:%1/x.jpg", "--timeout", "1"};
        QTest::newRow("upload") << QStringList{
            "upload", "--host",          "127.0.0.1", "--port",      "%1",        "--user",
            "u",      "--password-file", "-",         "--timeout=1", "local.txt", "r.txt"};
    }

    void silentServerEndsTheCommand()
    {
        QFETCH(QStringList, arguments);
        QTcpServer silent; // the system accepts; nobody ever answers
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        arguments.replaceInStrings("%1", QString::number(silent.serverPort()));
        QTemporaryDir cwd;
        QVERIFY(writeFile(cwd.filePath("local.txt"), "data"));
        QByteArray errors;
        QCOMPARE(runSquadnet(arguments, "secret\n", &errors, cwd.path()), 1);
        QVERIFY2(errors.contains("no data for 1 seconds: timed out"), errors.constData());
        QCOMPARE(runSquadnet({"get", "http://127.0.0.1:1/", "--timeout", "0"}, {}, &errors), 2);
    }
};

QTEST_GUILESS_MAIN(TestHttpFaults)
#include "TestHttpFaults.moc"
