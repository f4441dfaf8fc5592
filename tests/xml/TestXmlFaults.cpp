// Documents and servers built to hurt the document service: nesting and text
// beyond the parser's limits, transfers that stall, trickle or break, and a
// full disk. Every load must end and say whether the document is gone for
// good (Permanent) or could not be read just now or not by this program
// (Transient).

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
    return QByteArray("<n>").repeated(depth) + QByteArray("</n>").repeated(depth);
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

// Entities ten deep, each ten references to the one below: 10^9 "lol".
QByteArray billionLaughs()
{
    QByteArray doc = "<!DOCTYPE squad [<!ENTITY lol0 \"lol\">\n";
    for (int i = 1; i <= 9; ++i)
        doc += "<!ENTITY lol" + QByteArray::number(i) + " \""
               + ("&lol" + QByteArray::number(i - 1) + ";").repeated(10) + "\">\n";
    return doc + "]>\n<squad nick=\"&lol9;\"/>\n";
}

} // namespace

class TestXmlFaults : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString path(const QString& name) const { return m_dir.filePath(name); }

    // The limits of the failure kind table.
    static constexpr qint64 sizeLimit = 1024 * 1024;
    static constexpr int elementLimit = 1000;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
    }

    void largeDocumentsWithinTheParserLimitsLoad()
    {
        QVERIFY(writeFile(path("deep250.xml"), nested(250)));
        QVERIFY(writeFile(path("text5mb.xml"), "<squad><remark>" + QByteArray(5000000, 'x') + "</remark></squad>"));
        const QByteArray bytes = directory(100000);
        // Room to grow: the cap is there for hostile documents only.
        QVERIFY(bytes.size() * 4 < XmlDocument::maxDocumentSize);
        QVERIFY(writeFile(path("big-directory.xml"), bytes));

        XmlDocument doc;
        QVERIFY(loadAndWait(doc, path("deep250.xml")));
        QCOMPARE(doc.lastChild().nodeName(), QStringLiteral("n"));
        QVERIFY(loadAndWait(doc, path("text5mb.xml")));
        QCOMPARE(doc.lastChild().childNodes().item(0).text().size(), 5000000);
        QVERIFY(loadAndWait(doc, path("big-directory.xml")));
        const XmlNodeList entries = doc.lastChild().childNodes();
        QCOMPARE(entries.length(), 100000);
        QCOMPARE(entries.item(99999).attributes().getNamedItem("nick").text(),
                 QStringLiteral("Squad number 99999"));
    }

    void documentsBeyondTheParserLimitsFail_data()
    {
        // libxml2 keeps its depth limit (256) and its 10,000,000-byte limit on
        // a text node or attribute value as long as it never runs with its
        // HUGE option. At the text limit it stops building the tree without
        // calling the document ill-formed: what was built up to there must
        // not pass for the document (the squads after it would be lost at
        // the next publish).
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("reason");
        const QByteArray big(20 * 1000 * 1000, 'x');
        QTest::newRow("300 deep") << nested(300) << "depth";
        QTest::newRow("100000 deep") << nested(100000) << "depth";
        QTest::newRow("20 MB text") << "<squads><squad nick=\"a\"/><x>" + big + "</x><squad nick=\"b\"/></squads>"
                                    << "";
        QTest::newRow("20 MB attribute") << "<squad nick=\"" + big + "\"/>" << "";
    }

    void documentsBeyondTheParserLimitsFail()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, reason);
        QVERIFY(writeFile(path("beyond.xml"), document));
        XmlDocument doc;
        QVERIFY(loadAndWait(doc, path("beyond.xml")));
        QVERIFY(doc.lastChild().isNull());
        QVERIFY(doc.xml().isEmpty());
        // A limit of this program, not a dead page.
        QCOMPARE(doc.loadFailure(), XmlDocument::LoadFailure::Transient);
        QVERIFY2(doc.loadError().contains(reason, Qt::CaseInsensitive), qPrintable(doc.loadError()));
    }

    void unfinishedTransfersFailTransiently()
    {
        // A body that stops and is held open; a server that accepts and
        // never answers; a reset in the middle of the body; and a server
        // that sends a few bytes now and then, so that the transfer never
        // stalls and only the load time-out ends it.
        const QByteArray start = "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n<squads><squad nick=\"a\"/>";
        ScriptedPeer stalled, silent, resetting, trickling;
        stalled.send(start);
        silent.expectLine();
        resetting.send(start).pause(20).reset();
        std::function<void()> trickle = [&] { trickling.send("<squad/>").pause(20).run(trickle); };
        trickling.send("HTTP/1.0 200 OK\r\nContent-Type: application/xml\r\n\r\n<squads>").run(trickle);

        const QString peer = QStringLiteral("http://127.0.0.1:%1/squad.xml");
        const struct {
            QString address;
            int stallMs, loadMs;
            QString reason;
        } cases[] = {{peer.arg(stalled.port()), 150, XmlDocument::loadTimeoutMs, "stalled"},
                     {peer.arg(silent.port()), 150, XmlDocument::loadTimeoutMs, "stalled"},
                     {peer.arg(resetting.port()), 200, XmlDocument::loadTimeoutMs, ""},
                     {peer.arg(trickling.port()), 5000, 300, "did not end"}};
        for (const auto& c : cases) {
            XmlDocument doc;
            doc.setStallTimeout(c.stallMs);
            doc.setLoadTimeout(c.loadMs);
            QVERIFY(loadAndWait(doc, c.address));
            QVERIFY(doc.lastChild().isNull());
            QCOMPARE(doc.loadFailure(), XmlDocument::LoadFailure::Transient);
            QVERIFY2(doc.loadError().contains(c.reason), qPrintable(c.address + ": " + doc.loadError()));
        }
    }

    void serverRepliesDecideTheFailureKind_data()
    {
        // A squad is removed for everyone when its page fails permanently,
        // so that needs a whole reply that is no document (or 404/410). A
        // reply that may have been cut off, and any refusal by the
        // program's own limits, only says "try later". Rows that load give
        // the squad's nick in "expect", which its text holds too.
        QTest::addColumn<QByteArray>("reply"); // sent as it is, then the server closes
        QTest::addColumn<XmlDocument::LoadFailure>("failure");
        QTest::addColumn<QString>("expect"); // part of loadError(), or the nick
        using F = XmlDocument::LoadFailure;
        auto sized = [](const QByteArray& status, const QByteArray& body) {
            return "HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n"
                   + body;
        };
        auto chunk = [](const QByteArray& bytes) {
            return QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n";
        };
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        const QByteArray chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";
        const QByteArray page = "<squad nick=\"Foxes\"><name>Foxes</name><member nick=\"a\"/></squad>\n";
        // Ill-formed at once, then far more bytes than one read takes.
        const QByteArray broken = "<squad nick=\"Foxes\"><member></squad>\n" + QByteArray(200000, ' ');
        auto members = [](int count, const QByteArray& member = "<member/>") {
            return "<squad nick=\"Many\"><name>Many</name>" + member.repeated(count) + "</squad>";
        };

        QTest::newRow("404") << sized("404 Not Found", page) << F::Permanent << "404";
        QTest::newRow("410") << sized("410 Gone", page) << F::Permanent << "410";
        QTest::newRow("500") << sized("500 Internal Server Error", page) << F::Transient << "500";
        QTest::newRow("503") << sized("503 Service Unavailable", "") << F::Transient << "503";
        QTest::newRow("ill-formed, whole Content-Length") << sized("200 OK", broken) << F::Permanent << "line 1";
        QTest::newRow("ill-formed, cut before Content-Length")
            << ok + "Content-Length: 500000\r\n\r\n" + broken << F::Transient << "";
        QTest::newRow("no length, closed mid-element") << ok + "\r\n" + page.left(30) << F::Transient << "complete";
        QTest::newRow("no length, ill-formed") << ok + "\r\n" + broken << F::Transient << "line 1";
        QTest::newRow("no length, well-formed") << ok + "\r\n" + page << F::None << "Foxes";
        QTest::newRow("chunked, ill-formed, final chunk")
            << chunked + chunk(broken.left(100)) + chunk(broken.mid(100)) + "0\r\n\r\n" << F::Permanent << "line 1";
        QTest::newRow("chunked, ill-formed, cut off") << chunked + chunk(broken.left(100)) << F::Transient << "";
        QTest::newRow("chunked, well-formed") << chunked + chunk(page) + "0\r\n\r\n" << F::None << "Foxes";
        QTest::newRow("empty, Content-Length 0") << sized("200 OK", "") << F::Permanent << "empty";
        QTest::newRow("over the size limit")
            << sized("200 OK", "<squad>" + QByteArray(sizeLimit, ' ') + "</squad>") << F::Transient << "larger";
        // The root, its name and the members: exactly the budget, then one more.
        QTest::newRow("element budget reached") << sized("200 OK", members(elementLimit - 2)) << F::None << "Many";
        QTest::newRow("element budget passed")
            << sized("200 OK", members(elementLimit - 1)) << F::Transient << "more than 1000 elements";
        // Elements an entity reference copies count as well.
        QTest::newRow("element budget passed by entity copies")
            << sized("200 OK", "<!DOCTYPE squad [<!ENTITY ten \"" + QByteArray("<m/>").repeated(10) + "\">]>"
                                   + members(200, "&ten;"))
            << F::Transient << "more than 1000 elements";
        QTest::newRow("internal entity")
            << sized("200 OK", "<!DOCTYPE squad [<!ENTITY clan \"Red Foxes\">]>\n"
                               "<squad nick=\"&clan;\"><name>The &clan;</name></squad>\n")
            << F::None << "Red Foxes";
        QTest::newRow("billion laughs") << sized("200 OK", billionLaughs()) << F::Transient << "entity";
        // 60 MB of text from 60 KB: libxml2 lets entities in attribute
        // values through whatever they add up to.
        QTest::newRow("one large entity in many attribute values")
            << sized("200 OK", "<!DOCTYPE squad [<!ENTITY a \"" + QByteArray(30000, 'a') + "\">]>"
                                   + members(998, "<member nick=\"&a;\" id=\"&a;\"/>"))
            << F::Transient << "entity references expand";
        QTest::newRow("nested entities in an attribute value")
            << sized("200 OK", "<!DOCTYPE squad [<!ENTITY a \"" + QByteArray(3000, 'a') + "\">"
                                   "<!ENTITY b \"" + QByteArray("&a;").repeated(1000) + "\">]>"
                                   "<squad nick=\"&b;&b;&b;&b;\"/>")
            << F::Transient << "entit";
        QTest::newRow("one large entity, many references")
            << sized("200 OK", "<!DOCTYPE squad [<!ENTITY a \"" + QByteArray(100000, 'a') + "\">]><squad>"
                                   + QByteArray("&a;").repeated(2000) + "</squad>")
            << F::Transient << "entity";
    }

    void serverRepliesDecideTheFailureKind()
    {
        QFETCH(QByteArray, reply);
        QFETCH(XmlDocument::LoadFailure, failure);
        QFETCH(QString, expect);
        ScriptedHttpServer server;
        QVERIFY(server.start());
        ScriptedHttpServer::Reply scripted;
        scripted.raw = reply;

        XmlDocument doc;
        doc.setSizeLimit(sizeLimit);
        doc.setElementLimit(elementLimit);
        QVERIFY(loadAndWait(doc, server.route("squad.xml", scripted)));
        QVERIFY2(doc.loadFailure() == failure, qPrintable(doc.loadError()));
        if (failure == XmlDocument::LoadFailure::None) {
            QCOMPARE(doc.lastChild().attributes().getNamedItem("nick").text(), expect);
            QVERIFY2(doc.lastChild().text().contains(expect), qPrintable(doc.lastChild().text()));
        } else {
            QVERIFY(doc.lastChild().isNull());
            QVERIFY2(doc.loadError().contains(expect, Qt::CaseInsensitive), qPrintable(doc.loadError()));
        }
    }

    // Text parsed at once (the directory as publishing reads it over FTP)
    // gets the limits of a load: a directory of millions of empty entries
    // must not take gigabytes there either.
    void textGetsTheLimitsOfALoad()
    {
        const QByteArray manyEntries = "<squads>" + QByteArray("<squad/>").repeated(elementLimit) + "</squads>";
        XmlDocument doc;
        doc.setElementLimit(elementLimit);
        QVERIFY(!doc.loadXml(manyEntries));
        QVERIFY2(doc.loadError().contains("more than 1000 elements"), qPrintable(doc.loadError()));
        QVERIFY(doc.lastChild().isNull());

        QVERIFY(writeFile(path("entities.xml"), "<!DOCTYPE s [<!ENTITY a \"" + QByteArray(30000, 'a') + "\">]><s>"
                                                   + QByteArray("<m n=\"&a;\"/>").repeated(500) + "</s>"));
        QVERIFY(!doc.loadCopy(path("entities.xml")));
        QVERIFY2(doc.loadError().contains("entity references expand"), qPrintable(doc.loadError()));
    }

    // Nodes of every kind count, so that no shape of document (one element
    // of thousands of attributes, say) gets past the bound on memory.
    void nodeBudget()
    {
        QByteArray attributes;
        for (int i = 0; i < 60; ++i)
            attributes += " a" + QByteArray::number(i) + "=\"" + QByteArray::number(i) + "\"";
        const QByteArray document = "<squads><squad" + attributes + "/></squads>";
        XmlDocument doc;
        doc.setElementLimit(elementLimit);
        QVERIFY(doc.loadXml(document));
        doc.setNodeLimit(100);
        QVERIFY(!doc.loadXml(document));
        QVERIFY2(doc.loadError().contains("more than 100 nodes"), qPrintable(doc.loadError()));
        QVERIFY(doc.refusedByLimit());
        doc.setNodeLimit(0);
        QVERIFY(doc.loadXml(document));
        QVERIFY(!doc.refusedByLimit());
        QCOMPARE(XmlDocument().refusedByLimit(), false);
    }

    void saveOnAFullDiskFails()
    {
        // The disk takes half of the document. A small document sits in the
        // file's buffer until the end, where the refusal shows; it must be
        // reported, and the file saved before must stay as it was.
        const QString target = path("saved.xml");
        QVERIFY(writeFile(target, "<squads/>"));
        QVERIFY(writeFile(path("small.xml"), directory(50)));
        XmlDocument small;
        QVERIFY(loadAndWait(small, path("small.xml")));

        rlimit saved{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN); // a refused write, not a dead process
        rlimit limited = saved;
        limited.rlim_cur = directory(50).size() / 2;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
        const QString error = saveError(small, target);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY2(error.startsWith(QStringLiteral("Cannot write")), qPrintable(error));
        QCOMPARE(readFile(target), QByteArray("<squads/>"));
    }
};

QTEST_MAIN(TestXmlFaults)
#include "TestXmlFaults.moc"
