// Loading documents: over HTTP from real servers on loopback and from local
// files, the ways a load fails or cannot start, encodings, hostile documents
// and the limits that make every load end.

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include "DocumentTestHelpers.h"
#include "LoopbackWebServer.h"
#include "ScriptedHttpServer.h"
#include "XmlAddress.h"
#include "XmlDocument.h"

namespace {

const QByteArray directoryXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<squads>\n"
    "  <squad nick=\"Wolves\" web=\"http://squads.example/wolves.xml\"/>\n"
    "  <squad nick=\"Bears\" web=\"http://squads.example/bears.xml\"/>\n"
    "</squads>\n";

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
    void cleanup();

    void loadsOverHttp();
    void loadsLocalFilesAsynchronously();
    void failedLoadsLeaveTheDocumentEmpty_data();
    void failedLoadsLeaveTheDocumentEmpty();
    void followsRedirects();
    void loadCannotStart_data();
    void loadCannotStart();
    void withoutNetworkOnlyLoopbackLoads();
    void showsTextInDeclaredAndServedEncodings();
    void refusesEntityDeclarations();
    void neverFetchesExternalDefinitions();
    void enforcesTheSizeLimit();
    void stalledTransferEnds();
    void newLoadAbandonsTheRunningOne();
    void refusesBytesTheEncodingCannotRead();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    std::unique_ptr<LoopbackWebServer> m_web;
    ScriptedHttpServer m_scripted;
};

void TestXmlDocument::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(writeFile(path("corvanet.xml"), directoryXml));
    QVERIFY(writeFile(path("truncated.xml"), directoryXml.left(directoryXml.size() - 20)));
    QVERIFY(writeFile(path("malformed.xml"), "<squads>\n<squad nick=\"a\">\n</squads>\n"));
    QVERIFY(writeFile(path("empty.xml"), QByteArray()));
    QVERIFY(writeFile(path("comment-only.xml"), "<?xml version=\"1.0\"?>\n<!-- nothing -->\n"));
    QVERIFY(writeFile(path("secret.txt"), "TOPSECRET"));
    m_web = std::make_unique<LoopbackWebServer>(m_dir.path());
    QVERIFY(m_web->start());
    QVERIFY(m_scripted.start());

    // Error pages with well-formed XML bodies: never the document asked for.
    ScriptedHttpServer::Reply errorPage;
    errorPage.status = "500 Internal Server Error";
    errorPage.body = "<error>database down</error>";
    m_scripted.route("error500.xml", errorPage);
    errorPage.status = "404 Not Found";
    m_scripted.route("error404.xml", errorPage);
}

void TestXmlDocument::cleanup()
{
    XmlAddress::setInterfaceProbe(nullptr);
}

void TestXmlDocument::loadsOverHttp()
{
    XmlDocument doc;
    QCOMPARE(doc.readyState(), 0);
    QVERIFY(doc.load(m_web->url("corvanet.xml")));
    QCOMPARE(doc.readyState(), 1);
    XmlDocument sameDocument = doc; // a counted reference, not a copy
    QVERIFY(waitForLoad(doc));

    QCOMPARE(sameDocument.readyState(), 4);
    QVERIFY2(doc.loadError().isEmpty(), qPrintable(doc.loadError()));
    QVERIFY(doc.xml().contains(QStringLiteral("Wolves")));
    const XmlNode root = sameDocument.lastChild();
    QCOMPARE(root.nodeName(), QStringLiteral("squads"));
    const XmlNodeList entries = root.childNodes();
    QCOMPARE(entries.length(), 2);
    QCOMPARE(entries.item(1).attributes().getNamedItem("nick").text(), QStringLiteral("Bears"));
    QCOMPARE(entries.item(0).attributes().getNamedItem("web").text(),
             QStringLiteral("http://squads.example/wolves.xml"));
}

void TestXmlDocument::loadsLocalFilesAsynchronously()
{
    const QString addresses[] = {path("corvanet.xml"), QUrl::fromLocalFile(path("corvanet.xml")).toString(),
                                 QDir::current().relativeFilePath(path("corvanet.xml"))};
    for (const QString& address : addresses) {
        XmlDocument doc;
        QVERIFY2(doc.load(address), qPrintable(address));
        QCOMPARE(doc.readyState(), 1); // ends on a later turn of the event loop
        QVERIFY(doc.lastChild().isNull());
        QVERIFY(waitForLoad(doc));
        QCOMPARE(doc.lastChild().childNodes().length(), 2);
    }
}

void TestXmlDocument::failedLoadsLeaveTheDocumentEmpty_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("reason"); // part of loadError()

    QTest::newRow("404") << m_web->url("missing.xml") << "404";
    QTest::newRow("404 with XML body") << m_scripted.url("error404.xml") << "404";
    QTest::newRow("500 with XML body") << m_scripted.url("error500.xml") << "500";
    QTest::newRow("connection refused") << unusedLoopbackUrl("corvanet.xml") << "refused";
    QTest::newRow("truncated") << m_web->url("truncated.xml") << "line";
    QTest::newRow("malformed") << m_web->url("malformed.xml") << "line 3";
    QTest::newRow("empty file") << path("empty.xml") << "";
    QTest::newRow("no root element") << path("comment-only.xml") << "";
    QTest::newRow("malformed local file") << path("malformed.xml") << "line 3";
}

void TestXmlDocument::failedLoadsLeaveTheDocumentEmpty()
{
    QFETCH(QString, address);
    QFETCH(QString, reason);

    XmlDocument doc;
    // Loaded content first, so that the failure has something to clear.
    QVERIFY(doc.load(path("corvanet.xml")));
    QVERIFY(waitForLoad(doc));
    QVERIFY(!doc.lastChild().isNull());

    QVERIFY(doc.load(address));
    QVERIFY(waitForLoad(doc));
    QCOMPARE(doc.xml(), QString());
    QVERIFY(doc.lastChild().isNull());
    QCOMPARE(doc.childNodes().length(), 0);
    QVERIFY(!doc.loadError().isEmpty());
    QVERIFY2(doc.loadError().contains(reason, Qt::CaseInsensitive), qPrintable(doc.loadError()));
}

void TestXmlDocument::followsRedirects()
{
    ScriptedHttpServer::Reply moved;
    moved.status = "302 Found\r\nLocation: " + m_scripted.url("moved-target.xml").toLatin1();
    moved.contentType = "text/html";
    moved.body = "<html>moved</html>";
    m_scripted.route("moved.xml", moved);
    ScriptedHttpServer::Reply target;
    target.body = directoryXml;
    m_scripted.route("moved-target.xml", target);

    XmlDocument doc;
    QVERIFY(doc.load(m_scripted.url("moved.xml")));
    QVERIFY(waitForLoad(doc));
    QVERIFY2(doc.loadError().isEmpty(), qPrintable(doc.loadError()));
    QCOMPARE(doc.lastChild().nodeName(), QStringLiteral("squads"));
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

    for (const QString& host : {QStringLiteral("127.0.0.1"), QStringLiteral("localhost"), QStringLiteral("127.1.2.3")}) {
        QVERIFY2(doc.load(QStringLiteral("http://%1:%2/corvanet.xml").arg(host).arg(m_web->port())), qPrintable(host));
        QVERIFY(waitForLoad(doc));
    }
    QVERIFY(doc.load(path("corvanet.xml")));
    QVERIFY(waitForLoad(doc));
    QCOMPARE(doc.lastChild().nodeName(), QStringLiteral("squads"));
}

void TestXmlDocument::showsTextInDeclaredAndServedEncodings()
{
    // Declared in the document, read from a file.
    QVERIFY(writeFile(path("cp1250.xml"),
                      squadPage("<?xml version=\"1.0\" encoding=\"windows-1250\"?>\n", windows1250Text)));
    QVERIFY(writeFile(path("iso88592.xml"),
                      squadPage("<?xml version='1.0' encoding='ISO-8859-2'?>\n", iso88592Text)));

    // Named only by the server; and a server that labels everything UTF-8,
    // which a document naming its own encoding overrides.
    ScriptedHttpServer::Reply served;
    served.contentType = "text/xml; charset=\"ISO-8859-2\"";
    served.body = squadPage("<?xml version=\"1.0\"?>\n", iso88592Text);
    m_scripted.route("served-latin2.xml", served);
    served.contentType = "text/xml; charset=windows-1250";
    served.body = squadPage("", windows1250Text);
    m_scripted.route("served-cp1250.xml", served);
    served.contentType = "text/xml; charset=utf-8";
    served.body = squadPage("<?xml version=\"1.0\" encoding=\"windows-1250\"?>\n", windows1250Text);
    m_scripted.route("mislabelled.xml", served);

    const QString addresses[] = {path("cp1250.xml"), m_web->url("iso88592.xml"), m_scripted.url("served-latin2.xml"),
                                 m_scripted.url("served-cp1250.xml"), m_scripted.url("mislabelled.xml")};
    for (const QString& address : addresses) {
        XmlDocument doc;
        QVERIFY(doc.load(address));
        QVERIFY(waitForLoad(doc));
        QVERIFY2(doc.loadError().isEmpty(), qPrintable(address + ": " + doc.loadError()));
        const XmlNode root = doc.lastChild();
        QCOMPARE(root.attributes().getNamedItem("nick").text(), czechText);
        QCOMPARE(root.childNodes().item(0).text(), czechText);
        QVERIFY(doc.xml().contains(czechText));
    }
}

void TestXmlDocument::refusesEntityDeclarations()
{
    QVERIFY(writeFile(path("bomb.xml"), entityBomb()));
    const QByteArray secretUrl = QUrl::fromLocalFile(path("secret.txt")).toEncoded();
    QVERIFY(writeFile(path("xxe.xml"), "<?xml version=\"1.0\"?>\n<!DOCTYPE squad [\n  <!ENTITY leak SYSTEM \"" + secretUrl
                                           + "\">\n]>\n<squad nick=\"x\"><name>&leak;</name></squad>\n"));
    QVERIFY(writeFile(path("internal.xml"), "<!DOCTYPE squad [<!ENTITY who \"Wolves\">]>\n<squad nick=\"&who;\"/>\n"));

    for (const char* name : {"bomb.xml", "xxe.xml", "internal.xml"}) {
        XmlDocument doc;
        QVERIFY(doc.load(m_web->url(name)));
        QVERIFY(waitForLoad(doc));
        QVERIFY(doc.lastChild().isNull());
        QVERIFY2(doc.loadError().contains(QStringLiteral("entit"), Qt::CaseInsensitive), qPrintable(doc.loadError()));
        QVERIFY(!doc.loadError().contains(QStringLiteral("TOPSECRET")));
    }

    // Predefined entities and character references are not declarations.
    QVERIFY(writeFile(path("predefined.xml"), "<squad nick=\"A&amp;B &#x17D;\">&lt;&#65;&gt;</squad>"));
    XmlDocument doc;
    QVERIFY(doc.load(path("predefined.xml")));
    QVERIFY(waitForLoad(doc));
    QCOMPARE(doc.lastChild().attributes().getNamedItem("nick").text(), QString::fromUtf8("A&B Ž"));
    QCOMPARE(doc.lastChild().text(), QStringLiteral("<A>"));
}

void TestXmlDocument::neverFetchesExternalDefinitions()
{
    // Were the definition fetched and applied, the squad would gain an
    // attribute from its default.
    const QByteArray dtd = "<!ATTLIST squad leak CDATA \"LEAKED\">\n";
    ScriptedHttpServer::Reply definition;
    definition.contentType = "application/xml-dtd";
    definition.body = dtd;
    m_scripted.route("squad.dtd", definition);
    QVERIFY(writeFile(path("squad.dtd"), dtd));

    ScriptedHttpServer::Reply page;
    page.body = "<?xml version=\"1.0\"?>\n<!DOCTYPE squad SYSTEM \"" + m_scripted.url("squad.dtd").toLatin1()
        + "\">\n<squad nick=\"a\"/>\n";
    m_scripted.route("remote-dtd.xml", page);
    QVERIFY(writeFile(path("local-dtd.xml"), "<!DOCTYPE squad SYSTEM \"squad.dtd\">\n<squad nick=\"a\"/>\n"));
    page.body = "<!DOCTYPE squad [<!ENTITY % ext SYSTEM \"" + m_scripted.url("squad.dtd").toLatin1()
        + "\"> %ext;]>\n<squad nick=\"a\"/>\n";
    m_scripted.route("parameter-entity.xml", page);

    for (const QString& address : {m_scripted.url("remote-dtd.xml"), path("local-dtd.xml")}) {
        XmlDocument doc;
        QVERIFY(doc.load(address));
        QVERIFY(waitForLoad(doc));
        QVERIFY2(doc.loadError().isEmpty(), qPrintable(doc.loadError()));
        QCOMPARE(doc.lastChild().nodeName(), QStringLiteral("squad"));
        QVERIFY(doc.lastChild().attributes().getNamedItem("leak").isNull());
    }
    XmlDocument doc;
    QVERIFY(doc.load(m_scripted.url("parameter-entity.xml")));
    QVERIFY(waitForLoad(doc));
    QVERIFY(doc.lastChild().isNull());
    QVERIFY(!m_scripted.requests().contains(QStringLiteral("squad.dtd")));
}

void TestXmlDocument::enforcesTheSizeLimit()
{
    const qint64 limit = 1000;
    auto page = [](qint64 size) {
        QByteArray doc = "<squads>";
        doc += QByteArray(size - 17, ' ');
        return doc + "</squads>";
    };
    QCOMPARE(page(limit).size(), limit);
    QVERIFY(writeFile(path("at-limit.xml"), page(limit)));
    QVERIFY(writeFile(path("over-limit.xml"), page(limit + 1)));
    ScriptedHttpServer::Reply big;
    big.body = page(50 * limit);
    m_scripted.route("big-with-length.xml", big);
    big.contentLength = false; // the size shows only while it arrives
    m_scripted.route("big-without-length.xml", big);

    const QString tooBig[] = {path("over-limit.xml"), m_web->url("over-limit.xml"),
                              m_scripted.url("big-with-length.xml"), m_scripted.url("big-without-length.xml")};
    for (const QString& address : tooBig) {
        XmlDocument doc;
        doc.setSizeLimit(limit);
        QVERIFY(doc.load(address));
        QVERIFY(waitForLoad(doc));
        QVERIFY(doc.lastChild().isNull());
        QVERIFY2(doc.loadError().contains(QStringLiteral("larger")), qPrintable(address + ": " + doc.loadError()));
    }
    for (const QString& address : {path("at-limit.xml"), m_web->url("at-limit.xml")}) {
        XmlDocument doc;
        doc.setSizeLimit(limit);
        QVERIFY(doc.load(address));
        QVERIFY(waitForLoad(doc));
        QVERIFY2(doc.loadError().isEmpty(), qPrintable(doc.loadError()));
    }
}

void TestXmlDocument::stalledTransferEnds()
{
    ScriptedHttpServer::Reply stalled;
    stalled.body = directoryXml;
    stalled.stallAfter = 30;
    m_scripted.route("stalled.xml", stalled);
    stalled.stallAfter = 0;
    m_scripted.route("stalled-at-start.xml", stalled);

    for (const char* name : {"stalled.xml", "stalled-at-start.xml"}) {
        XmlDocument doc;
        doc.setStallTimeout(150);
        QVERIFY(doc.load(m_scripted.url(name)));
        QVERIFY(waitForLoad(doc));
        QVERIFY(doc.lastChild().isNull());
        QVERIFY2(doc.loadError().contains(QStringLiteral("stalled")), qPrintable(doc.loadError()));
    }
}

void TestXmlDocument::newLoadAbandonsTheRunningOne()
{
    ScriptedHttpServer::Reply slow;
    slow.body = "<slow/>";
    slow.delayMs = 100;
    m_scripted.route("slow.xml", slow);
    const int answeredBefore = m_scripted.answered();

    XmlDocument doc;
    QVERIFY(doc.load(m_scripted.url("slow.xml")));
    QVERIFY(QTest::qWaitFor([&] { return m_scripted.requests().contains(QStringLiteral("slow.xml")); }, 5000));
    QVERIFY(doc.load(path("corvanet.xml")));
    QVERIFY(waitForLoad(doc));
    QCOMPARE(doc.lastChild().nodeName(), QStringLiteral("squads"));

    // Let the slow reply arrive; it must not replace what the second load got.
    QVERIFY(QTest::qWaitFor([&] { return m_scripted.answered() > answeredBefore; }, 5000));
    QTest::qWait(50);
    QCOMPARE(doc.readyState(), 4);
    QCOMPARE(doc.lastChild().nodeName(), QStringLiteral("squads"));

    // A document that goes away in the middle of a load takes the load along.
    {
        XmlDocument doomed;
        QVERIFY(doomed.load(m_scripted.url("slow.xml")));
    }
    QTest::qWait(150);
}

void TestXmlDocument::refusesBytesTheEncodingCannotRead()
{
    // 0x81 means nothing in windows-1252; the decoder used to drop what
    // followed it, so the directory loaded as an empty <squads/>, and a lone
    // UTF-16 surrogate cut the document off, unclosed root and all.
    const QByteArray entries = "<squad nick=\"caf\xe9 \x81\" web=\"a.xml\"/><squad nick=\"b\" web=\"b.xml\"/>";
    QVERIFY(writeFile(path("cp1252-undefined.xml"),
                      "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<squads>" + entries + "</squads>\n"));
    ScriptedHttpServer::Reply served;
    served.contentType = "text/xml; charset=windows-1252";
    served.body = "<squads>" + entries + "</squads>\n";
    m_scripted.route("served-cp1252-undefined.xml", served);
    const QString surrogate = QStringLiteral("<squads><squad nick=\"x\"/>") + QChar(0xD800) + QStringLiteral("<squad/></squads>");
    QByteArray utf16("\xff\xfe");
    for (const QChar c : surrogate)
        utf16 += char(c.unicode() & 0xFF) + QByteArray(1, char(c.unicode() >> 8));
    QVERIFY(writeFile(path("utf16-lone-surrogate.xml"), utf16));

    const QString addresses[] = {path("cp1252-undefined.xml"), m_scripted.url("served-cp1252-undefined.xml"),
                                 path("utf16-lone-surrogate.xml")};
    for (const QString& address : addresses) {
        XmlDocument doc;
        QVERIFY(doc.load(address));
        QVERIFY(waitForLoad(doc));
        QVERIFY2(doc.lastChild().isNull(), qPrintable(address + ": " + doc.xml()));
        QVERIFY(doc.xml().isEmpty());
        QVERIFY2(doc.loadError().contains(QStringLiteral("not valid in its encoding")),
                 qPrintable(address + ": " + doc.loadError()));
    }
}

QTEST_GUILESS_MAIN(TestXmlDocument)
#include "TestXmlDocument.moc"
