// A document's copy on disk and conditional loads: what is written, what is
// asked, and what a "not modified" reply loads, against a scripted server.

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include "DocumentTestHelpers.h"
#include "ScriptedHttpServer.h"
#include "XmlDocument.h"
#include "XmlLoader.h"

namespace
{

const QByteArray kDocument = "<?xml version=\"1.0\"?>\n<squads><squad nick=\"kept\"/></squads>\n";
const QByteArray kModified = "Tue, 01 Dec 2026 10:00:00 GMT";
const QByteArray kValidators =
    "ETag: \"v1\"\r\nLast-Modified: " + kModified + "\r\nDate: Tue, 01 Dec 2026 10:05:00 GMT\r\n";

ScriptedHttpServer::Reply reply(const QByteArray& status, const QByteArray& body,
                                const QByteArray& headers)
{
    ScriptedHttpServer::Reply r;
    r.status = status;
    r.body = body;
    r.headers = headers;
    return r;
}

} // namespace

class TestXmlCopy : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString copyFile() const { return m_dir.filePath("copy.xml"); }

private slots:
    void init() { QFile::remove(copyFile()); }

    // The copy is the body as it came, readable by its owner only, and the
    // reply's validators are told.
    void aLoadKeepsItsBodyAndValidators()
    {
        ScriptedHttpServer server;
        QVERIFY(server.start());
        XmlDocument doc;
        doc.setCopy(copyFile());
        QVERIFY(loadAndWait(doc, server.route("d.xml", reply("200 OK", kDocument, kValidators))));
        QVERIFY(!doc.lastChild().isNull());
        QVERIFY(!doc.notModified());
        QCOMPARE(doc.replyETag(), QByteArray("\"v1\""));
        QCOMPARE(doc.replyLastModified(), kModified);
        QCOMPARE(readFile(copyFile()), kDocument);
        const QFileDevice::Permissions permissions = QFileInfo(copyFile()).permissions();
        QVERIFY(permissions.testFlags(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QVERIFY(!(permissions & (QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                 QFileDevice::ReadOther | QFileDevice::WriteOther)));
        QVERIFY(!server.requestHeads().value(0).contains("If-"));

        // The copy applies to one load only.
        QFile::remove(copyFile());
        QVERIFY(loadAndWait(doc, server.url("d.xml")));
        QVERIFY(!QFile::exists(copyFile()));
    }

    // What the next load of the address does with the copy and the
    // validators, for each reply.
    void theCopyAndTheNextLoad_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("copy"); // on disk before the load
        QTest::addColumn<bool>("loaded");     // the document has content
        QTest::addColumn<bool>("notModified");
        QTest::addColumn<QByteArray>("copyAfter"); // empty: no copy
        const QByteArray changed = "<squads><squad nick=\"new\"/></squads>";
        QTest::newRow("not modified") << QByteArray("304 Not Modified") << QByteArray() << kDocument
                                      << true << true << kDocument;
        QTest::newRow("changed") << QByteArray("200 OK") << changed << kDocument << true << false
                                 << changed;
        QTest::newRow("not well-formed") << QByteArray("200 OK") << QByteArray("<squads><squad")
                                         << kDocument << false << false << kDocument;
        QTest::newRow("server error") << QByteArray("503 Busy") << QByteArray("busy") << kDocument
                                      << false << false << kDocument;
        QTest::newRow("not modified, copy damaged")
            << QByteArray("304 Not Modified") << QByteArray() << kDocument.left(30) << false
            << false << QByteArray();
    }

    void theCopyAndTheNextLoad()
    {
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, copy);
        QFETCH(bool, loaded);
        QFETCH(bool, notModified);
        QFETCH(QByteArray, copyAfter);
        ScriptedHttpServer server;
        QVERIFY(server.start());
        QVERIFY(writeFile(copyFile(), copy));
        XmlDocument doc;
        doc.setCopy(copyFile(), "\"v1\"", kModified);
        QVERIFY(loadAndWait(doc, server.route("d.xml", reply(status, body, kValidators))));

        const QByteArray head = server.requestHeads().value(0);
        QVERIFY(head.contains("\r\nIf-None-Match: \"v1\""));
        QVERIFY(head.contains("\r\nIf-Modified-Since: " + kModified));
        QCOMPARE(!doc.lastChild().isNull(), loaded);
        QCOMPARE(doc.notModified(), notModified);
        QCOMPARE(doc.loadFailure() == XmlDocument::LoadFailure::None, loaded);
        if (notModified)
            QCOMPARE(doc.lastChild().childNodes().item(0).attributeValue("nick"), QString("kept"));
        QCOMPARE(QFile::exists(copyFile()), !copyAfter.isEmpty());
        if (!copyAfter.isEmpty())
            QCOMPARE(readFile(copyFile()), copyAfter);
    }

    // A Last-Modified of the second the reply was sent in cannot tell a
    // change made later in that second; it is no validator.
    void aDateWithinTheSecondItWasSentIsNoValidator_data()
    {
        QTest::addColumn<QByteArray>("lastModified");
        QTest::addColumn<QByteArray>("date");
        QTest::addColumn<bool>("usable");
        QTest::newRow("a minute before")
            << kModified << QByteArray("Tue, 01 Dec 2026 10:01:00 GMT") << true;
        QTest::newRow("a second before")
            << kModified << QByteArray("Tue, 01 Dec 2026 10:00:01 GMT") << true;
        QTest::newRow("the same second") << kModified << kModified << false;
        QTest::newRow("after the date")
            << kModified << QByteArray("Tue, 01 Dec 2026 09:59:00 GMT") << false;
        QTest::newRow("not a date")
            << QByteArray("yesterday") << QByteArray("Tue, 01 Dec 2026 10:01:00 GMT") << false;
        QTest::newRow("no Date: the clock")
            << QByteArray("Sun, 06 Nov 1994 08:49:37 GMT") << QByteArray() << true;
    }

    void aDateWithinTheSecondItWasSentIsNoValidator()
    {
        QFETCH(QByteArray, lastModified);
        QFETCH(QByteArray, date);
        QFETCH(bool, usable);
        QCOMPARE(XmlLoader::usableLastModified(lastModified, date),
                 usable ? lastModified : QByteArray());
    }

    // A copy a load never finished leaves the old one as it was.
    void anAbandonedLoadKeepsTheOldCopy()
    {
        ScriptedHttpServer server;
        QVERIFY(server.start());
        QVERIFY(writeFile(copyFile(), kDocument));
        XmlDocument doc;
        doc.setCopy(copyFile());
        QVERIFY(doc.load(server.route("d.xml", reply("200 OK", "<squads/>", {}))));
        QVERIFY(doc.loadCopy(copyFile())); // before the load ended
        QVERIFY(!doc.notModified());
        QTest::qWait(200);
        QCOMPARE(readFile(copyFile()), kDocument);
        QCOMPARE(doc.readyState(), 4);
        QVERIFY(!doc.lastChild().isNull());
    }
};

QTEST_MAIN(TestXmlCopy)
#include "TestXmlCopy.moc"
