// Checks the sample squad data as the demo serves it: serve-data must copy
// data/ with every placeholder replaced and nothing else changed, and in that
// copy every squad page the directory lists must load as the program loads
// it, and every JPEG logo must sit where the program fetches it and decode.

#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include "JpegImage.h"
#include "TestSupport.h"
#include "XmlDocument.h"

namespace {

const QString placeholder = QStringLiteral("@SERVER@");
const QString testServer = QStringLiteral("http://127.0.0.1:4711");

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Files below `root`, as paths relative to it.
QSet<QString> filesBelow(const QString& root)
{
    QSet<QString> files;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.insert(QDir(root).relativeFilePath(it.next()));
    return files;
}

// Its exit code; what it says on stderr goes to the test's output.
int runServeData(const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("bash"), QStringList{sourcePath(QStringLiteral("scripts/serve-data"))} + arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

XmlDocument loaded(const QString& path)
{
    XmlDocument doc;
    if (doc.load(path) && !QTest::qWaitFor([&doc] { return doc.readyState() == 4; }, 5000))
        qWarning("loading %s did not end", qPrintable(path));
    return doc;
}

QString attribute(const XmlNode& node, const QString& name)
{
    const XmlNode attribute = node.attributes().getNamedItem(name);
    return attribute.isNull() ? QString() : attribute.text();
}

} // namespace

class TestSampleData : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;
    QString m_served; // what serve-data made of data/ for testServer

private slots:
    void initTestCase()
    {
        QVERIFY(m_scratch.isValid());
        m_served = m_scratch.filePath(QStringLiteral("www"));
        QCOMPARE(runServeData({m_served, testServer + u'/'}), 0);
    }

    void serveDataReplacesOnlyThePlaceholder()
    {
        const QString data = sourcePath(QStringLiteral("data"));
        QSet<QString> expected = filesBelow(data);
        expected.remove(QStringLiteral("README.md"));
        QCOMPARE(filesBelow(m_served), expected);

        const QByteArray from = placeholder.toLatin1(), to = testServer.toLatin1();
        for (const QString& file : expected) {
            const QByteArray original = readAll(data + u'/' + file);
            const QByteArray copy = readAll(m_served + u'/' + file);
            QVERIFY2(!copy.contains(from), qPrintable(file));
            if (file.endsWith(QStringLiteral(".xml")))
                QVERIFY2(copy == QByteArray(original).replace(from, to), qPrintable(file));
            else
                QVERIFY2(copy == original, qPrintable(file + QStringLiteral(" changed")));
        }

        // Running it again over the same folder refreshes the copy.
        QVERIFY(QFile::remove(m_served + QStringLiteral("/corvanet.xml")));
        QCOMPARE(runServeData({m_served, testServer}), 0);
        QCOMPARE(readAll(m_served + QStringLiteral("/corvanet.xml")),
                 readAll(data + QStringLiteral("/corvanet.xml")).replace(from, to));
    }

    void listedSquadPagesLoadAsSquads()
    {
        const XmlDocument directory = loaded(m_served + QStringLiteral("/corvanet.xml"));
        QVERIFY2(directory.loadError().isEmpty(), qPrintable(directory.loadError()));
        // The program reads the last top-level node as the root, and every
        // child of it as an entry.
        QCOMPARE(directory.lastChild().nodeName(), QStringLiteral("squads"));
        const XmlNodeList entries = directory.lastChild().childNodes();
        QVERIFY(entries.length() >= 25);
        QStringList dead;
        QSet<QString> pages;
        for (int i = 0; i < entries.length(); ++i) {
            const QString nick = attribute(entries.item(i), QStringLiteral("nick"));
            const QString web = attribute(entries.item(i), QStringLiteral("web"));
            QVERIFY2(!nick.isEmpty() && web.startsWith(testServer + QStringLiteral("/squads/")),
                     qPrintable(entries.item(i).nodeName() + u' ' + nick + u' ' + web));
            QVERIFY2(!pages.contains(web), qPrintable(QStringLiteral("listed twice: ") + web));
            pages.insert(web);
            const QString file = m_served + web.mid(testServer.size());
            if (!QFile::exists(file)) {
                dead << nick;
                continue;
            }
            const XmlDocument page = loaded(file);
            QVERIFY2(page.loadError().isEmpty(), qPrintable(file + u' ' + page.loadError()));
            QCOMPARE(page.lastChild().nodeName(), QStringLiteral("squad"));
            QVERIFY2(!attribute(page.lastChild(), QStringLiteral("nick")).isEmpty(), qPrintable(file));
        }
        // Exactly one dead squad, for the demo's "Squad not found."; and the
        // page to add by hand is not listed yet.
        QCOMPARE(dead, QStringList{QStringLiteral("Ghost Patrol")});
        QVERIFY(QFile::exists(m_served + QStringLiteral("/squads/newcomers.xml")));
        QVERIFY(!pages.contains(testServer + QStringLiteral("/squads/newcomers.xml")));
    }

    void logosDecodeWhereTheProgramFetchesThem()
    {
        static const QRegularExpression exampleAddress(QStringLiteral(R"((@|//www\.)example\.(com|org|net)(/|$))"));
        static const QRegularExpression addressField(QStringLiteral(R"(<(email|web)>\s*([^<]*?)\s*</)"));
        // The program first hands a relative value to its HTTP client as it
        // stands, which takes the text before the first "/" for a host name.
        // One that cannot be a host name fails at once; a plain name would go
        // to the DNS resolver, and "localhost" would reach the demo's own
        // server at the port the client used last.
        static const QRegularExpression hostName(QStringLiteral("^[A-Za-z0-9._-]*$"));

        const QString folder = m_served + QStringLiteral("/squads/");
        int absolute = 0, relative = 0;
        QSet<QString> undecodable;
        for (const QString& name : QDir(folder).entryList({QStringLiteral("*.xml")}, QDir::Files)) {
            // No real address may reach the demo or its screenshots.
            for (const auto& match : addressField.globalMatch(QString::fromLatin1(readAll(folder + name)))) {
                const QString address = match.captured(2);
                QVERIFY2(exampleAddress.match(address).hasMatch(), qPrintable(name + u' ' + address));
            }

            const XmlDocument page = loaded(folder + name);
            QVERIFY2(page.loadError().isEmpty() && !page.lastChild().isNull(),
                     qPrintable(name + u' ' + page.loadError()));
            QString picture; // the last one counts
            const XmlNodeList children = page.lastChild().childNodes();
            for (int i = 0; i < children.length(); ++i)
                if (children.item(i).nodeName() == QStringLiteral("picture"))
                    picture = children.item(i).text();
            if (!QRegularExpression(QStringLiteral("\\.jpe?g$"), QRegularExpression::CaseInsensitiveOption)
                     .match(picture)
                     .hasMatch())
                continue; // the program fetches no logo

            QString file;
            if (picture.startsWith(testServer + u'/')) {
                ++absolute;
                file = m_served + picture.mid(testServer.size());
            } else {
                QVERIFY2(!picture.contains(QStringLiteral("://")), qPrintable(name + u' ' + picture));
                QVERIFY2(!hostName.match(picture.section(u'/', 0, 0)).hasMatch(), qPrintable(name + u' ' + picture));
                ++relative;
                file = folder + picture;
            }
            QVERIFY2(QFile::exists(file), qPrintable(name + QStringLiteral(": no ") + file));
            const QImage logo = JpegImage::load(file);
            if (logo.isNull())
                undecodable.insert(name);
            else
                QVERIFY2(logo.width() >= 64 && logo.width() <= 240 && logo.height() >= 64 && logo.height() <= 160,
                         qPrintable(name + QStringLiteral(": logo too large or too small for the logo area")));
        }
        QVERIFY(absolute >= 5);
        QVERIFY(relative >= 5);
        // Its "logo" is an HTML error page saved under a JPEG name.
        QCOMPARE(undecodable, QSet<QString>{QStringLiteral("vortex.xml")});
    }

    void serveDataRefusesUnsafeArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("mustNotExist");
        const QString fresh = QStringLiteral("@TMP@/fresh");
        QTest::newRow("no arguments") << QStringList{} << QString();
        QTest::newRow("no server") << QStringList{fresh} << fresh;
        QTest::newRow("ampersand in address") << QStringList{fresh, QStringLiteral("http://127.0.0.1:1/a&b")} << fresh;
        QTest::newRow("quote in address") << QStringList{fresh, QStringLiteral("http://127.0.0.1:1/\"x")} << fresh;
        QTest::newRow("space in address") << QStringList{fresh, QStringLiteral("http://127.0.0.1 x")} << fresh;
        QTest::newRow("no scheme") << QStringList{fresh, QStringLiteral("127.0.0.1:1")} << fresh;
        QTest::newRow("into data") << QStringList{sourcePath(QStringLiteral("data/served")), testServer}
                                   << sourcePath(QStringLiteral("data/served"));
        QTest::newRow("into the source root") << QStringList{sourcePath(QStringLiteral("data/..")), testServer}
                                              << QString();
    }

    void serveDataRefusesUnsafeArguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, mustNotExist);
        for (QString& argument : arguments)
            argument.replace(QStringLiteral("@TMP@"), m_scratch.path());
        mustNotExist.replace(QStringLiteral("@TMP@"), m_scratch.path());

        const QSet<QString> before = filesBelow(sourcePath(QStringLiteral("data")));
        QCOMPARE(runServeData(arguments), 2);
        if (!mustNotExist.isEmpty())
            QVERIFY2(!QFileInfo::exists(mustNotExist), qPrintable(mustNotExist));
        QCOMPARE(filesBelow(sourcePath(QStringLiteral("data"))), before);
    }
};

QTEST_GUILESS_MAIN(TestSampleData)
#include "TestSampleData.moc"
