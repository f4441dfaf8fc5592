// Loading documents: over HTTP from real servers on loopback and from local
// files, the ways a load fails or cannot start, encodings, hostile documents
// and the size limit.

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include "DocumentTestHelpers.h"
#include "LoopbackWebServer.h"
#include "ScriptedHttpServer.h"
#include "ScriptedPeer.h"
#include "XmlAddress.h"
#include "XmlDocument.h"

namespace {

const QByteArray directoryXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<squads>\n"
    "  <squad nick=\"Wolves\" web=\"http://squads.example/wolves.xml\"/>\n"
    "  <squad nick=\"Bears\" web=\"http://squads.example/bears.xml\"/>\n"
    "</squads>\n";

// Every load of the two tables runs with this size limit; corvanet.xml is
// exactly this long, so that each good load shows the limit itself passes.
const qint64 sizeLimit = 4096;

QByteArray padded(const QByteArray& document, qint64 size)
{
    return document + QByteArray(size - document.size(), ' ');
}

// "Žluťoučký kůň" in the two Central European code pages.
const QByteArray windows1250Text = "\x8e\x6c\x75\x9d\x6f\x75\xe8\x6b\xfd\x20\x6b\xf9\xf2";
const QByteArray iso88592Text = "\xae\x6c\x75\xbb\x6f\x75\xe8\x6b\xfd\x20\x6b\xf9\xf2";
const QString czechText = QString::fromUtf8("Žluťoučký kůň");

QByteArray squadPage(const QByteArray& declaration, const QByteArray& name)
{
    return declaration + "<squad nick=\"" + name + "\">\n  <name>\n    " + name + "\n  </name>\n</squad>\n";
}

QByteArray entityBomb()
{
    QByteArray doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n <!ENTITY lol \"lol\">\n";
    for (int i = 1; i <= 9; ++i) {
        const QByteArray previous = i == 1 ? "lol" : "lol" + QByteArray::number(i - 1);
        doc += " <!ENTITY lol" + QByteArray::number(i) + " \"" + ("&" + previous + ";").repeated(10) + "\">\n";
    }
    return doc + "]>\n<lolz>&lol9;</lolz>\n";
}

} // namespace

class TestXmlDocument : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<LoopbackWebServer> m_web;
    ScriptedHttpServer m_scripted;
    QString m_dtdUrl; // an attribute default that must never reach a document

    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(writeFile(path("corvanet.xml"), padded(directoryXml, sizeLimit)));
        QVERIFY(writeFile(path("over-limit.xml"), padded(directoryXml, sizeLimit + 1)));
        QVERIFY(writeFile(path("truncated.xml"), directoryXml.left(directoryXml.size() - 20)));
        QVERIFY(writeFile(path("malformed.xml"), "<squads>\n<squad nick=\"a\">\n</squads>\n"));
        QVERIFY(writeFile(path("empty.xml"), QByteArray()));
        QVERIFY(writeFile(path("comment-only.xml"), "<?xml version=\"1.0\"?>\n<!-- nothing -->\n"));
        QVERIFY(writeFile(path("secret.txt"), "TOPSECRET"));
        QVERIFY(writeFile(path("squad.dtd"), "<!ATTLIST squad leak CDATA \"LEAKED\">\n"));
        m_web = std::make_unique<LoopbackWebServer>(m_dir.path());
        QVERIFY(m_web->start());
        QVERIFY(m_scripted.start());
        m_dtdUrl = m_scripted.route("squad.dtd", readFile(path("squad.dtd")), "200 OK", "application/xml-dtd");
    }

    void cleanup() { XmlAddress::setInterfaceProbe(nullptr); }

    // A name is looked up before anything is sent: a load abandoned
    // meanwhile (aborted, replaced by another load, or its document gone)
    // ends there, and the answer of the look-up reaches nothing.
    void whileTheNameIsLookedUp()
    {
        const QString byName = QStringLiteral("http://localhost:%1/corvanet.xml").arg(QUrl(m_web->url("x")).port());
        XmlDocument aborted;
        QVERIFY(aborted.load(byName));
        aborted.abort();
        QCOMPARE(aborted.loadError(), QStringLiteral("Canceled"));
        XmlDocument replaced;
        QVERIFY(replaced.load(byName));
        QVERIFY(replaced.load(path("corvanet.xml")));
        {
            XmlDocument gone;
            QVERIFY(gone.load(byName));
        }
        QVERIFY(waitForLoad(replaced));
        QVERIFY(replaced.fetchedFrom().isNull()); // the file's, not the name's
        QTest::qWait(200);
        QCOMPARE(aborted.readyState(), 4);
        QCOMPARE(aborted.loadError(), QStringLiteral("Canceled"));
        QVERIFY(aborted.lastChild().isNull());
        XmlDocument loaded;
        QVERIFY(loadAndWait(loaded, byName));
        QVERIFY2(loaded.loadError().isEmpty(), qPrintable(loaded.loadError()));
        QVERIFY(loaded.fetchedFrom().isLoopback());
    }

    // Redirections are followed by the document service itself, each target
    // looked up and pinned to the address it is read from: a name goes out
    // with its Host line, an address that refuses gives way to the name's
    // next one, and the address the document came from is known.
    void redirectionsArePinned()
    {
        const QByteArray body = readFile(path("corvanet.xml"));
        const QString name = QStringLiteral("http://localhost:%1/").arg(QUrl(m_scripted.url("x")).port());
        auto redirect = [this](const QString& from, const QByteArray& location) {
            ScriptedHttpServer::Reply moved;
            moved.status = "301 Moved Permanently\r\nLocation: " + location;
            return m_scripted.route(from, moved);
        };
        m_scripted.route("pinned/target.xml", body);
        const struct {
            QString address;
            QString error; // empty: loads
        } cases[] = {
            {redirect("pinned/relative.xml", "target.xml"), {}},
            {redirect("pinned/by-name.xml", (name + "pinned/target.xml").toLatin1()), {}},
            {redirect("pinned/loop.xml", "loop.xml"), "Too many redirects"},
            {redirect("pinned/nowhere.xml", ""), "without a location"},
            {redirect("pinned/other-scheme.xml", "ftp://127.0.0.1/x.xml"), "unusable address"},
        };
        for (const auto& c : cases) {
            XmlDocument doc;
            QVERIFY(loadAndWait(doc, c.address));
            if (!c.error.isEmpty()) {
                QCOMPARE(doc.loadFailure(), XmlDocument::LoadFailure::Transient);
                QVERIFY2(doc.loadError().contains(c.error), qPrintable(c.address + ": " + doc.loadError()));
                QVERIFY(doc.fetchedFrom().isNull());
                continue;
            }
            QVERIFY2(doc.loadError().isEmpty(), qPrintable(c.address + ": " + doc.loadError()));
            QVERIFY(doc.xml().contains(QStringLiteral("Wolves")));
            QCOMPARE(doc.fetchedFrom(), QHostAddress(QHostAddress::LocalHost));
        }
        const QByteArray host = "\r\nHost: localhost:" + QByteArray::number(QUrl(name).port()) + "\r\n";
        QByteArrayList byName;
        for (const QByteArray& head : m_scripted.requestHeads()) {
            if (head.contains(host))
                byName << head.left(head.indexOf(' ', 4));
        }
        QCOMPARE(byName, QByteArrayList{"GET /pinned/target.xml"});
    }

    void loadsOverHttpAndFromFiles()
    {
        ScriptedHttpServer::Reply moved;
        const QString target = m_scripted.route("moved-target.xml", readFile(path("corvanet.xml")));
        moved.status = "302 Found\r\nLocation: " + target.toLatin1();
        moved.contentType = "text/html";
        moved.body = "<html>moved</html>";

        const QString addresses[] = {m_web->url("corvanet.xml"), m_scripted.route("moved.xml", moved),
                                     path("corvanet.xml"), QUrl::fromLocalFile(path("corvanet.xml")).toString(),
                                     QDir::current().relativeFilePath(path("corvanet.xml"))};
        for (const QString& address : addresses) {
            XmlDocument doc;
            doc.setSizeLimit(sizeLimit);
            QCOMPARE(doc.readyState(), 0);
            QVERIFY2(doc.load(address), qPrintable(address));
            QCOMPARE(doc.readyState(), 1); // ends on a later turn of the event loop, files too
            QVERIFY(doc.lastChild().isNull());
            const XmlDocument sameDocument = doc; // a counted reference, not a copy
            QVERIFY(waitForLoad(doc));

            QCOMPARE(sameDocument.readyState(), 4);
            QVERIFY2(doc.loadError().isEmpty(), qPrintable(address + ": " + doc.loadError()));
            QVERIFY(doc.xml().contains(QStringLiteral("Wolves")));
            const XmlNode root = sameDocument.lastChild();
            QCOMPARE(root.nodeName(), QStringLiteral("squads"));
            const XmlNodeList entries = root.childNodes();
            QCOMPARE(entries.length(), 2);
            QCOMPARE(entries.item(1).attributes().getNamedItem("nick").text(), QStringLiteral("Bears"));
            QCOMPARE(entries.item(0).attributes().getNamedItem("web").text(),
                     QStringLiteral("http://squads.example/wolves.xml"));
        }
    }

    void failedLoadsLeaveTheDocumentEmpty_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("reason"); // part of loadError()
        QTest::addColumn<XmlDocument::LoadFailure>("failure");
        QTest::addColumn<bool>("starts"); // load() returns true
        using F = XmlDocument::LoadFailure;
        auto row = [](const char* name, const QString& address, const QString& reason, F failure = F::Permanent,
                      bool starts = true) { QTest::newRow(name) << address << reason << failure << starts; };
        auto page = [this](const QString& name, const QByteArray& status, const QByteArray& body,
                           const QByteArray& type = "text/html") { return m_scripted.route(name, body, status, type); };

        // Error pages, even well-formed XML ones, are never the document.
        // Only 404 and 410 say that it is gone.
        const QByteArray html = "<!DOCTYPE html><html><body><h1>Error</h1><p>Sorry<br></body></html>";
        row("404", m_web->url("missing.xml"), "404");
        row("404 with XML body", page("e404.xml", "404 Not Found", "<error/>", "application/xml"), "404");
        row("410", page("e410.xml", "410 Gone", html), "410");
        row("500 with XML body", page("e500.xml", "500 Internal Server Error", "<error/>", "application/xml"), "500",
            F::Transient);
        row("403", page("e403.xml", "403 Forbidden", html), "403", F::Transient);
        row("HTML error page as 200", page("html.xml", "200 OK", html), "line");
        row("empty 200", page("empty.xml", "200 OK", "", "application/xml"), "empty");
        row("connection refused", unusedLoopbackUrl("corvanet.xml"), "refused", F::Transient);
        row("truncated", m_web->url("truncated.xml"), "line");
        row("malformed", m_web->url("malformed.xml"), "line 3");
        row("empty file", path("empty.xml"), "empty");
        row("no root element", path("comment-only.xml"), "parse error");
        row("malformed local file", path("malformed.xml"), "line 3");

        // The program's own limits say nothing about the squad being gone.
        ScriptedHttpServer::Reply big;
        big.body = padded("<squads/>", 50 * sizeLimit);
        row("over the size limit", path("over-limit.xml"), "larger", F::Transient);
        row("over the size limit, served", m_web->url("over-limit.xml"), "larger", F::Transient);
        row("Content-Length over the limit", m_scripted.route("big.xml", big), "larger", F::Transient);
        big.contentLength = false; // the size shows only while it arrives
        row("over the limit, no length", m_scripted.route("big-unsized.xml", big), "larger", F::Transient);

        // No expansion bomb, and an external entity never reads the file it
        // names. Both are refusals of this program, not a dead page.
        QVERIFY(writeFile(path("bomb.xml"), entityBomb()));
        QVERIFY(writeFile(path("xxe.xml"), "<?xml version=\"1.0\"?>\n<!DOCTYPE squad [\n  <!ENTITY leak SYSTEM \""
                                               + QUrl::fromLocalFile(path("secret.txt")).toEncoded()
                                               + "\">\n]>\n<squad nick=\"x\"><name>&leak;</name></squad>\n"));
        row("entity bomb", m_web->url("bomb.xml"), "entit", F::Transient);
        row("external entity", m_web->url("xxe.xml"), "entit", F::Transient);
        row("parameter entity naming a DTD",
            page("parameter-entity.xml", "200 OK",
                 "<!DOCTYPE squad [<!ENTITY % ext SYSTEM \"" + m_dtdUrl.toLatin1() + "\"> %ext;]>\n<squad/>\n",
                 "application/xml"),
            "entit", F::Transient);

        // Bytes the encoding cannot read used to be dropped with everything
        // after them (a windows-1252 directory with 0x81 loaded as an empty
        // <squads/>), and a lone UTF-16 surrogate cut the document off,
        // unclosed root and all.
        const QByteArray entries = "<squad nick=\"caf\xe9 \x81\" web=\"a.xml\"/><squad nick=\"b\" web=\"b.xml\"/>";
        QVERIFY(writeFile(path("cp1252-undefined.xml"),
                          "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<squads>" + entries + "</squads>\n"));
        const QString surrogate =
            QStringLiteral("<squads><squad nick=\"x\"/>") + QChar(0xD800) + QStringLiteral("<squad/></squads>");
        QByteArray utf16("\xff\xfe");
        for (const QChar c : surrogate)
            utf16 += char(c.unicode() & 0xFF) + QByteArray(1, char(c.unicode() >> 8));
        QVERIFY(writeFile(path("utf16-lone-surrogate.xml"), utf16));
        const QString undecodable = QStringLiteral("not valid in its encoding");
        row("undefined windows-1252 byte", path("cp1252-undefined.xml"), undecodable);
        row("undefined byte, charset served",
            page("cp1252-undefined.xml", "200 OK", "<squads>" + entries + "</squads>\n",
                 "text/xml; charset=windows-1252"),
            undecodable);
        row("lone UTF-16 surrogate", path("utf16-lone-surrogate.xml"), undecodable);

        // Addresses that cannot be loaded at all.
        row("empty address", QString(), "empty", F::Permanent, false);
        row("http without host", "http:corvanet.xml", "malformed", F::Permanent, false);
        row("malformed host", "http://[::1/corvanet.xml", "malformed", F::Permanent, false);
        row("ftp", "ftp://127.0.0.1/corvanet.xml", "not supported", F::Permanent, false);
        row("missing path", path("no-such-file.xml"), "does not exist", F::Permanent, false);
        row("missing file url", QUrl::fromLocalFile(path("no-such-file.xml")).toString(), "does not exist",
            F::Permanent, false);
        row("directory", m_dir.path(), "does not exist", F::Permanent, false);
        row("file url on another host", "file://files.example/etc/hostname", "not a local file", F::Permanent, false);
    }

    void failedLoadsLeaveTheDocumentEmpty()
    {
        QFETCH(QString, address);
        QFETCH(QString, reason);
        QFETCH(bool, starts);

        XmlDocument doc;
        doc.setSizeLimit(sizeLimit);
        // Content, so that the failure has something to clear; then a load
        // that the failing one abandons and that must not fill it later.
        QVERIFY(loadAndWait(doc, path("corvanet.xml")));
        QVERIFY(!doc.lastChild().isNull());
        QVERIFY(doc.load(path("corvanet.xml")));

        QCOMPARE(doc.load(address), starts);
        QCOMPARE(doc.readyState(), starts ? 1 : 4);
        if (starts)
            QVERIFY(waitForLoad(doc));
        else
            QTest::qWait(20);
        QCOMPARE(doc.readyState(), 4);
        QCOMPARE(doc.xml(), QString());
        QVERIFY(doc.lastChild().isNull());
        QCOMPARE(doc.childNodes().length(), 0);
        QVERIFY2(!doc.loadError().isEmpty() && doc.loadError().contains(reason, Qt::CaseInsensitive),
                 qPrintable(doc.loadError()));
        QVERIFY(!doc.loadError().contains(QStringLiteral("TOPSECRET")));
        QTEST(doc.loadFailure(), "failure");

        QVERIFY(loadAndWait(doc, path("corvanet.xml")));
        QCOMPARE(doc.loadFailure(), XmlDocument::LoadFailure::None);
    }

    void withoutNetworkOnlyLoopbackLoads()
    {
        XmlAddress::setInterfaceProbe([] { return false; });
        XmlDocument doc;
        QVERIFY(!doc.load(QStringLiteral("http://squads.example/corvanet.xml")));
        QVERIFY(!doc.load(QStringLiteral("https://192.0.2.1/corvanet.xml")));
        QVERIFY2(doc.loadError().contains(QStringLiteral("network"), Qt::CaseInsensitive),
                 qPrintable(doc.loadError()));
        QCOMPARE(doc.readyState(), 4);

        for (const char* host : {"127.0.0.1", "localhost", "127.1.2.3"})
            QVERIFY2(loadAndWait(doc, QStringLiteral("http://%1:%2/corvanet.xml").arg(host).arg(m_web->port())), host);
        QVERIFY(loadAndWait(doc, path("corvanet.xml")));
        QCOMPARE(doc.lastChild().nodeName(), QStringLiteral("squads"));
    }

    void showsTextInDeclaredAndServedEncodings()
    {
        // Declared in the document; named only by the server; and a server
        // that labels everything UTF-8, which the document's own declaration
        // overrides.
        const QByteArray cp1250 = "<?xml version=\"1.0\" encoding=\"windows-1250\"?>\n";
        QVERIFY(writeFile(path("cp1250.xml"), squadPage(cp1250, windows1250Text)));
        QVERIFY(writeFile(path("iso88592.xml"),
                          squadPage("<?xml version='1.0' encoding='ISO-8859-2'?>\n", iso88592Text)));
        const QString addresses[] = {
            path("cp1250.xml"), m_web->url("iso88592.xml"),
            m_scripted.route("served-latin2.xml", squadPage("<?xml version=\"1.0\"?>\n", iso88592Text), "200 OK",
                             "text/xml; charset=\"ISO-8859-2\""),
            m_scripted.route("served-cp1250.xml", squadPage("", windows1250Text), "200 OK",
                             "text/xml; charset=windows-1250"),
            m_scripted.route("mislabelled.xml", squadPage(cp1250, windows1250Text), "200 OK",
                             "text/xml; charset=utf-8")};
        for (const QString& address : addresses) {
            XmlDocument doc;
            QVERIFY(loadAndWait(doc, address));
            QVERIFY2(doc.loadError().isEmpty(), qPrintable(address + ": " + doc.loadError()));
            const XmlNode root = doc.lastChild();
            QCOMPARE(root.attributes().getNamedItem("nick").text(), czechText);
            QCOMPARE(root.childNodes().item(0).text(), czechText);
            QVERIFY(doc.xml().contains(czechText));
        }
    }

    void neverFetchesExternalDefinitions()
    {
        // Were the definition fetched and applied, the squad would gain the
        // attribute "leak" from its default. Predefined entities and
        // character references are no declarations and load.
        const QByteArray squad = "<squad nick=\"A&amp;B &#x17D;\">&lt;&#65;&gt;</squad>\n";
        QVERIFY(writeFile(path("local-dtd.xml"), "<!DOCTYPE squad SYSTEM \"squad.dtd\">\n" + squad));
        const QString remote = m_scripted.route(
            "remote-dtd.xml", "<!DOCTYPE squad SYSTEM \"" + m_dtdUrl.toLatin1() + "\">\n" + squad);
        for (const QString& address : {remote, path("local-dtd.xml")}) {
            XmlDocument doc;
            QVERIFY(loadAndWait(doc, address));
            QVERIFY2(doc.loadError().isEmpty(), qPrintable(doc.loadError()));
            QCOMPARE(doc.lastChild().attributes().getNamedItem("nick").text(), QString::fromUtf8("A&B Ž"));
            QCOMPARE(doc.lastChild().text(), QStringLiteral("<A>"));
            QVERIFY(doc.lastChild().attributes().getNamedItem("leak").isNull());
        }
        // Nor did the parameter entity of the failure table fetch it.
        QVERIFY(!m_scripted.requests().contains(QStringLiteral("squad.dtd")));
    }

    void newLoadAbandonsTheRunningOne()
    {
        ScriptedPeer slow; // answers long after the second load has ended
        slow.expectLine().pause(100).send("HTTP/1.0 200 OK\r\nContent-Type: application/xml\r\n\r\n<slow/>").close();
        const QString slowUrl = QStringLiteral("http://127.0.0.1:%1/slow.xml").arg(slow.port());

        XmlDocument doc;
        QVERIFY(doc.load(slowUrl));
        QTRY_VERIFY(!slow.lines().isEmpty()); // the request has arrived
        QVERIFY(loadAndWait(doc, path("corvanet.xml")));
        QCOMPARE(doc.lastChild().nodeName(), QStringLiteral("squads"));

        // Let the slow reply go out; it must not replace what the second load got.
        QTRY_VERIFY(slow.finished() || !slow.failure().isEmpty());
        QTest::qWait(50);
        QCOMPARE(doc.readyState(), 4);
        QCOMPARE(doc.lastChild().nodeName(), QStringLiteral("squads"));

        // A document that goes away in the middle of a load takes the load
        // along (a fault here shows as a crash or a sanitizer report).
        {
            XmlDocument doomed;
            QVERIFY(doomed.load(slowUrl));
        }
        QTest::qWait(150);
    }
};

QTEST_GUILESS_MAIN(TestXmlDocument)
#include "TestXmlDocument.moc"
