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

// Every load here runs with this size limit; corvanet.xml is exactly this
// long, so that each good load also shows that the limit itself passes.
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
        QByteArray previous = i == 1 ? "lol" : "lol" + QByteArray::number(i - 1);
        doc += " <!ENTITY lol" + QByteArray::number(i) + " \"" + QByteArray("&" + previous + ";").repeated(10) + "\">\n";
    }
    return doc + "]>\n<lolz>&lol9;</lolz>\n";
}

} // namespace

class TestXmlDocument : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup() { XmlAddress::setInterfaceProbe(nullptr); }

    void loadsOverHttpAndFromFiles();
    void failedLoadsLeaveTheDocumentEmpty_data();
    void failedLoadsLeaveTheDocumentEmpty();
    void loadCannotStart_data();
    void loadCannotStart();
    void withoutNetworkOnlyLoopbackLoads();
    void showsTextInDeclaredAndServedEncodings();
    void neverFetchesExternalDefinitions();
    void newLoadAbandonsTheRunningOne();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    std::unique_ptr<LoopbackWebServer> m_web;
    ScriptedHttpServer m_scripted;
    QString m_dtdUrl; // an attribute default that must never reach a document
};

void TestXmlDocument::initTestCase()
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

void TestXmlDocument::loadsOverHttpAndFromFiles()
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

void TestXmlDocument::failedLoadsLeaveTheDocumentEmpty_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("reason"); // part of loadError()
    QTest::addColumn<XmlDocument::LoadFailure>("failure");
    using F = XmlDocument::LoadFailure;

    // Error pages, even well-formed XML ones, are never the document. Only
    // 404 and 410 say that it is gone.
    const QByteArray html = "<!DOCTYPE html><html><body><h1>Error</h1><p>Sorry<br></body></html>";
    QTest::newRow("404") << m_web->url("missing.xml") << "404" << F::Permanent;
    QTest::newRow("404 with XML body") << m_scripted.route("e404.xml", "<error/>", "404 Not Found") << "404"
                                       << F::Permanent;
    QTest::newRow("410") << m_scripted.route("e410.xml", html, "410 Gone", "text/html") << "410" << F::Permanent;
    QTest::newRow("500 with XML body") << m_scripted.route("e500.xml", "<error>database down</error>",
                                                           "500 Internal Server Error")
                                       << "500" << F::Transient;
    QTest::newRow("403") << m_scripted.route("e403.xml", html, "403 Forbidden", "text/html") << "403"
                         << F::Transient;
    QTest::newRow("HTML error page as 200") << m_scripted.route("html.xml", html, "200 OK", "text/html") << "line"
                                            << F::Permanent;
    QTest::newRow("empty 200") << m_scripted.route("empty.xml", "") << "empty" << F::Permanent;
    QTest::newRow("connection refused") << unusedLoopbackUrl("corvanet.xml") << "refused" << F::Transient;
    QTest::newRow("truncated") << m_web->url("truncated.xml") << "line" << F::Permanent;
    QTest::newRow("malformed") << m_web->url("malformed.xml") << "line 3" << F::Permanent;
    QTest::newRow("empty file") << path("empty.xml") << "empty" << F::Permanent;
    QTest::newRow("no root element") << path("comment-only.xml") << "" << F::Permanent;
    QTest::newRow("malformed local file") << path("malformed.xml") << "line 3" << F::Permanent;

    ScriptedHttpServer::Reply big;
    big.body = padded("<squads/>", 50 * sizeLimit);
    QTest::newRow("over the size limit") << path("over-limit.xml") << "larger" << F::Permanent;
    QTest::newRow("over the size limit, served") << m_web->url("over-limit.xml") << "larger" << F::Permanent;
    QTest::newRow("Content-Length over the limit") << m_scripted.route("big.xml", big) << "larger" << F::Permanent;
    big.contentLength = false; // the size shows only while it arrives
    QTest::newRow("over the limit, no length") << m_scripted.route("big-unsized.xml", big) << "larger" << F::Permanent;

    // Any entity declaration is refused: no expansion bomb, and an external
    // entity never reads the file it names.
    QVERIFY(writeFile(path("bomb.xml"), entityBomb()));
    QVERIFY(writeFile(path("xxe.xml"), "<?xml version=\"1.0\"?>\n<!DOCTYPE squad [\n  <!ENTITY leak SYSTEM \""
                                           + QUrl::fromLocalFile(path("secret.txt")).toEncoded()
                                           + "\">\n]>\n<squad nick=\"x\"><name>&leak;</name></squad>\n"));
    QVERIFY(writeFile(path("internal.xml"), "<!DOCTYPE squad [<!ENTITY who \"Wolves\">]>\n<squad nick=\"&who;\"/>\n"));
    QTest::newRow("entity bomb") << m_web->url("bomb.xml") << "entit" << F::Permanent;
    QTest::newRow("external entity") << m_web->url("xxe.xml") << "entit" << F::Permanent;
    QTest::newRow("internal entity") << m_web->url("internal.xml") << "entit" << F::Permanent;
    QTest::newRow("parameter entity naming a DTD")
        << m_scripted.route("parameter-entity.xml", "<!DOCTYPE squad [<!ENTITY % ext SYSTEM \"" + m_dtdUrl.toLatin1()
                                                        + "\"> %ext;]>\n<squad nick=\"a\"/>\n")
        << "entit" << F::Permanent;

    // Bytes the encoding cannot read used to be dropped with everything after
    // them (a windows-1252 directory with 0x81 loaded as an empty <squads/>),
    // and a lone UTF-16 surrogate cut the document off, unclosed root and all.
    const QByteArray entries = "<squad nick=\"caf\xe9 \x81\" web=\"a.xml\"/><squad nick=\"b\" web=\"b.xml\"/>";
    QVERIFY(writeFile(path("cp1252-undefined.xml"),
                      "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<squads>" + entries + "</squads>\n"));
    const QString surrogate =
        QStringLiteral("<squads><squad nick=\"x\"/>") + QChar(0xD800) + QStringLiteral("<squad/></squads>");
    QByteArray utf16("\xff\xfe");
    for (const QChar c : surrogate)
        utf16 += char(c.unicode() & 0xFF) + QByteArray(1, char(c.unicode() >> 8));
    QVERIFY(writeFile(path("utf16-lone-surrogate.xml"), utf16));
    const QString undecodable = "not valid in its encoding";
    QTest::newRow("undefined windows-1252 byte") << path("cp1252-undefined.xml") << undecodable << F::Permanent;
    QTest::newRow("undefined byte, charset served")
        << m_scripted.route("cp1252-undefined.xml", "<squads>" + entries + "</squads>\n", "200 OK",
                            "text/xml; charset=windows-1252")
        << undecodable << F::Permanent;
    QTest::newRow("lone UTF-16 surrogate") << path("utf16-lone-surrogate.xml") << undecodable << F::Permanent;
}

void TestXmlDocument::failedLoadsLeaveTheDocumentEmpty()
{
    QFETCH(QString, address);
    QFETCH(QString, reason);

    XmlDocument doc;
    doc.setSizeLimit(sizeLimit);
    // Loaded content first, so that the failure has something to clear.
    QVERIFY(loadAndWait(doc, path("corvanet.xml")));
    QVERIFY(!doc.lastChild().isNull());

    QVERIFY(loadAndWait(doc, address));
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

void TestXmlDocument::loadCannotStart_data()
{
    QTest::addColumn<QString>("address");
    QTest::newRow("empty") << QString();
    QTest::newRow("http without host") << QStringLiteral("http:corvanet.xml");
    QTest::newRow("malformed host") << QStringLiteral("http://[::1/corvanet.xml");
    QTest::newRow("ftp") << QStringLiteral("ftp://127.0.0.1/corvanet.xml");
    QTest::newRow("missing path") << path("no-such-file.xml");
    QTest::newRow("missing file url") << QUrl::fromLocalFile(path("no-such-file.xml")).toString();
    QTest::newRow("directory") << m_dir.path();
    QTest::newRow("file url on another host") << QStringLiteral("file://files.example/etc/hostname");
}

void TestXmlDocument::loadCannotStart()
{
    QFETCH(QString, address);
    XmlDocument doc;
    QVERIFY(doc.load(path("corvanet.xml")));
    QVERIFY(!doc.load(address));
    QCOMPARE(doc.readyState(), 4);
    QVERIFY(!doc.loadError().isEmpty());
    QVERIFY(doc.lastChild().isNull());
    // The abandoned first load must not fill the document later.
    QTest::qWait(20);
    QVERIFY(doc.lastChild().isNull());
}

void TestXmlDocument::withoutNetworkOnlyLoopbackLoads()
{
    XmlAddress::setInterfaceProbe([] { return false; });
    XmlDocument doc;
    QVERIFY(!doc.load(QStringLiteral("http://squads.example/corvanet.xml")));
    QVERIFY(!doc.load(QStringLiteral("https://192.0.2.1/corvanet.xml")));
    QVERIFY2(doc.loadError().contains(QStringLiteral("network"), Qt::CaseInsensitive), qPrintable(doc.loadError()));
    QCOMPARE(doc.readyState(), 4);

    for (const QString& host : {QStringLiteral("127.0.0.1"), QStringLiteral("localhost"), QStringLiteral("127.1.2.3")})
        QVERIFY2(loadAndWait(doc, QStringLiteral("http://%1:%2/corvanet.xml").arg(host).arg(m_web->port())),
                 qPrintable(host));
    QVERIFY(loadAndWait(doc, path("corvanet.xml")));
    QCOMPARE(doc.lastChild().nodeName(), QStringLiteral("squads"));
}

void TestXmlDocument::showsTextInDeclaredAndServedEncodings()
{
    // Declared in the document; named only by the server; and a server that
    // labels everything UTF-8, which the document's own declaration overrides.
    QVERIFY(writeFile(path("cp1250.xml"),
                      squadPage("<?xml version=\"1.0\" encoding=\"windows-1250\"?>\n", windows1250Text)));
    QVERIFY(writeFile(path("iso88592.xml"), squadPage("<?xml version='1.0' encoding='ISO-8859-2'?>\n", iso88592Text)));
    const QString addresses[] = {
        path("cp1250.xml"), m_web->url("iso88592.xml"),
        m_scripted.route("served-latin2.xml", squadPage("<?xml version=\"1.0\"?>\n", iso88592Text), "200 OK",
                         "text/xml; charset=\"ISO-8859-2\""),
        m_scripted.route("served-cp1250.xml", squadPage("", windows1250Text), "200 OK",
                         "text/xml; charset=windows-1250"),
        m_scripted.route("mislabelled.xml",
                         squadPage("<?xml version=\"1.0\" encoding=\"windows-1250\"?>\n", windows1250Text), "200 OK",
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

void TestXmlDocument::neverFetchesExternalDefinitions()
{
    // Were the definition fetched and applied, the squad would gain the
    // attribute "leak" from its default. Predefined entities and character
    // references are no declarations and load.
    const QByteArray squad = "<squad nick=\"A&amp;B &#x17D;\">&lt;&#65;&gt;</squad>\n";
    QVERIFY(writeFile(path("local-dtd.xml"), "<!DOCTYPE squad SYSTEM \"squad.dtd\">\n" + squad));
    const QString remote = m_scripted.route(
        "remote-dtd.xml", "<?xml version=\"1.0\"?>\n<!DOCTYPE squad SYSTEM \"" + m_dtdUrl.toLatin1() + "\">\n" + squad);
    for (const QString& address : {remote, path("local-dtd.xml")}) {
        XmlDocument doc;
        QVERIFY(loadAndWait(doc, address));
        QVERIFY2(doc.loadError().isEmpty(), qPrintable(doc.loadError()));
        QCOMPARE(doc.lastChild().attributes().getNamedItem("nick").text(), QString::fromUtf8("A&B Ž"));
        QCOMPARE(doc.lastChild().text(), QStringLiteral("<A>"));
        QVERIFY(doc.lastChild().attributes().getNamedItem("leak").isNull());
    }
    // Nor did the parameter entity of failedLoadsLeaveTheDocumentEmpty fetch it.
    QVERIFY(!m_scripted.requests().contains(QStringLiteral("squad.dtd")));
}

void TestXmlDocument::newLoadAbandonsTheRunningOne()
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

    // A document that goes away in the middle of a load takes the load along
    // (a fault here shows as a crash or a sanitizer report).
    {
        XmlDocument doomed;
        QVERIFY(doomed.load(slowUrl));
    }
    QTest::qWait(150);
}

QTEST_GUILESS_MAIN(TestXmlDocument)
#include "TestXmlDocument.moc"
