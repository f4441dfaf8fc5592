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

} // namespace

class TestXmlFaults : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString path(const QString& name) const { return m_dir.filePath(name); }

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
