// Documents and servers built to hurt the document service: nesting and text
// beyond the parser's limits, a server that trickles, and failures of every
// kind, each of which must end the load and say whether the document is gone
// for good or could not be read just now.

#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>

#include <csignal>

#include "DocumentTestHelpers.h"
#include "ScriptedHttpServer.h"
#include "ScriptedPeer.h"
#include "XmlDocument.h"

namespace
{

QByteArray nested(int depth)
{
    QByteArray doc;
    doc.reserve(depth * 8);
    for (int i = 0; i < depth; ++i)
        doc += "<n>";
    for (int i = 0; i < depth; ++i)
        doc += "</n>";
    return doc;
}

// The directory as the program writes it, with squads entries.
QByteArray directory(int squads)
{
    QByteArray doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<squads>\n";
    doc.reserve(squads * 90);
    for (int i = 0; i < squads; ++i)
        doc += "  <squad nick=\"Squad number " + QByteArray::number(i) +
               "\" web=\"http://127.0.0.1/pages/squads/" + QByteArray::number(i) + ".xml\"/>\n";
    return doc + "</squads>\n";
}

} // namespace

class TestXmlFaults : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ScriptedHttpServer m_server;

    QString path(const QString& name) const { return m_dir.filePath(name); }

    // Loads and waits; the document's state tells the outcome.
    static void loadAndWait(XmlDocument& doc, const QString& address)
    {
        QVERIFY(doc.load(address));
        QVERIFY(waitForLoad(doc));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_server.start());
    }

    void nestingBeyondTheParserLimitFails()
    {
        // libxml2 keeps its depth limit (256) as long as it never runs with
        // its HUGE option; a stack-eating depth fails the same way.
        QVERIFY(writeFile(path("deep250.xml"), nested(250)));
        QVERIFY(writeFile(path("deep300.xml"), nested(300)));
        QVERIFY(writeFile(path("deep100000.xml"), nested(100000)));
        XmlDocument doc;
        loadAndWait(doc, path("deep250.xml"));
        QCOMPARE(doc.lastChild().nodeName(), QStringLiteral("n"));
        for (const char* name : {"deep300.xml", "deep100000.xml"}) {
            loadAndWait(doc, path(name));
            QVERIFY2(doc.lastChild().isNull(), name);
            QVERIFY(doc.xml().isEmpty());
            QCOMPARE(doc.loadFailure(), XmlDocument::LoadFailure::Permanent);
            QVERIFY2(doc.loadError().contains(QStringLiteral("depth"), Qt::CaseInsensitive),
                     qPrintable(doc.loadError()));
        }
    }

    void hugeTextFails()
    {
        // Without the HUGE option a text node or attribute value stops at
        // 10,000,000 bytes; 20 MB is refused although the document is well
        // under the size cap. libxml2 stops building the tree at the text
        // node without calling the document ill-formed: what was built up to
        // there must not pass for the document (the squads after it would be
        // lost at the next publish).
        const QByteArray big(20 * 1000 * 1000, 'x');
        QVERIFY(writeFile(path("text5mb.xml"),
                          "<squad><remark>" + big.left(5000000) + "</remark></squad>"));
        QVERIFY(writeFile(path("text20mb.xml"), "<squads><squad nick=\"a\"/><x>" + big +
                                                    "</x><squad nick=\"b\"/></squads>"));
        QVERIFY(writeFile(path("attribute20mb.xml"), "<squad nick=\"" + big + "\"/>"));
        XmlDocument doc;
        loadAndWait(doc, path("text5mb.xml"));
        QCOMPARE(doc.lastChild().childNodes().item(0).text().size(), 5000000);
        for (const char* name : {"text20mb.xml", "attribute20mb.xml"}) {
            loadAndWait(doc, path(name));
            QVERIFY2(doc.lastChild().isNull(), name);
            QCOMPARE(doc.loadFailure(), XmlDocument::LoadFailure::Permanent);
        }
    }

    void aDirectoryOf100000SquadsLoadsUnderTheSizeCap()
    {
        const QByteArray bytes = directory(100000);
        // Room to grow: the cap is there for hostile documents only.
        QVERIFY(bytes.size() * 4 < XmlDocument::maxDocumentSize);
        QVERIFY(writeFile(path("big-directory.xml"), bytes));
        XmlDocument doc;
        loadAndWait(doc, path("big-directory.xml"));
        const XmlNodeList entries = doc.lastChild().childNodes();
        QCOMPARE(entries.length(), 100000);
        QCOMPARE(entries.item(99999).attributes().getNamedItem("nick").text(),
                 QStringLiteral("Squad number 99999"));
    }

    void aTricklingServerEndsWithinTheLoadTimeout()
    {
        // A byte now and then keeps the transfer from ever stalling.
        ScriptedPeer peer;
        std::function<void()> trickle = [&] { peer.send("<squad/>").pause(20).run(trickle); };
        peer.send("HTTP/1.0 200 OK\r\nContent-Type: application/xml\r\n\r\n<squads>").run(trickle);
        XmlDocument doc;
        doc.setStallTimeout(5000);
        doc.setLoadTimeout(300);
        loadAndWait(doc, QStringLiteral("http://127.0.0.1:%1/corvanet.xml").arg(peer.port()));
        QVERIFY(doc.lastChild().isNull());
        QCOMPARE(doc.loadFailure(), XmlDocument::LoadFailure::Transient);
        QVERIFY2(doc.loadError().contains(QStringLiteral("did not end")),
                 qPrintable(doc.loadError()));
    }

    void failuresTellWhetherTheDocumentIsGone_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<XmlDocument::LoadFailure>("failure");
        using F = XmlDocument::LoadFailure;

        auto route = [this](const char* name, const QByteArray& status, const QByteArray& body,
                            const QByteArray& type = "text/html") {
            ScriptedHttpServer::Reply reply;
            reply.status = status;
            reply.contentType = type;
            reply.body = body;
            m_server.route(name, reply);
            return m_server.url(name);
        };
        const QByteArray html =
            "<!DOCTYPE html><html><body><h1>Error</h1><p>Sorry<br></body></html>";
        QTest::newRow("404") << route("a.xml", "404 Not Found", html) << F::Permanent;
        QTest::newRow("410") << route("b.xml", "410 Gone", html) << F::Permanent;
        QTest::newRow("500") << route("c.xml", "500 Internal Server Error", html) << F::Transient;
        QTest::newRow("503") << route("d.xml", "503 Service Unavailable", html) << F::Transient;
        QTest::newRow("403") << route("e.xml", "403 Forbidden", html) << F::Transient;
        QTest::newRow("HTML error page as 200") << route("f.xml", "200 OK", html) << F::Permanent;
        QTest::newRow("empty 200")
            << route("g.xml", "200 OK", "", "application/xml") << F::Permanent;
        QTest::newRow("refused connection") << unusedLoopbackUrl("squad.xml") << F::Transient;
        QVERIFY(writeFile(path("malformed.xml"), "<squad nick=\"x\"><member>"));
        QTest::newRow("malformed file") << path("malformed.xml") << F::Permanent;
    }

    void failuresTellWhetherTheDocumentIsGone()
    {
        QFETCH(QString, address);
        XmlDocument doc;
        loadAndWait(doc, address);
        QVERIFY(doc.lastChild().isNull());
        QTEST(doc.loadFailure(), "failure");

        // A good load clears it again.
        QVERIFY(writeFile(path("good.xml"), "<squad nick=\"ok\"/>"));
        loadAndWait(doc, path("good.xml"));
        QCOMPARE(doc.loadFailure(), XmlDocument::LoadFailure::None);
    }

    void saveOnAFullDiskFails()
    {
        // The disk takes half of the document. A small document sits in the
        // file's buffer until the end, where the refusal shows; it must be
        // reported, and the file saved before must stay as it was.
        const QString target = path("saved.xml");
        QVERIFY(writeFile(target, "<squads/>"));
        XmlDocument small;
        QVERIFY(writeFile(path("small.xml"), directory(50)));
        loadAndWait(small, path("small.xml"));

        rlimit saved{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto oldHandler =
            std::signal(SIGXFSZ, SIG_IGN); // a refused write, not a dead process
        rlimit limited = saved;
        limited.rlim_cur = directory(50).size() / 2;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
        QString error;
        try {
            small.save(target);
        } catch (const EOleException& e) {
            error = e.description();
        }
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY2(error.startsWith(QStringLiteral("Cannot write")), qPrintable(error));
        QCOMPARE(readFile(target), QByteArray("<squads/>"));
    }

    void brokenTransfersAreTransient()
    {
        // Reset in the middle of the body, and a server that accepts and
        // never answers: the document may well be there.
        ScriptedPeer resetting;
        resetting.send("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n<squads><squad nick=\"a\"/>")
            .pause(20)
            .reset();
        ScriptedPeer silent;
        silent.expectLine();
        for (ScriptedPeer* peer : {&resetting, &silent}) {
            XmlDocument doc;
            doc.setStallTimeout(200);
            loadAndWait(doc, QStringLiteral("http://127.0.0.1:%1/squad.xml").arg(peer->port()));
            QVERIFY(doc.lastChild().isNull());
            QCOMPARE(doc.loadFailure(), XmlDocument::LoadFailure::Transient);
        }
    }
};

QTEST_MAIN(TestXmlFaults)
#include "TestXmlFaults.moc"
