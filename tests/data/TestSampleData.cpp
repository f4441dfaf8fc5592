// Checks the sample squad data the way the program and the demo use it: the
// directory and squad pages must read as the program reads them (the root is
// the last top-level node, entries carry "nick" and "web"), every JPEG logo
// must sit where the program's address rule looks for it, and serve-data must
// produce a served copy with every placeholder replaced and nothing else
// changed.

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <algorithm>
#include <optional>

#include "TestSupport.h"

namespace {

const QString placeholder = QStringLiteral("@SERVER@");
const QString testServer = QStringLiteral("http://127.0.0.1:4711");

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// Files below `root`, as paths relative to it.
QSet<QString> filesBelow(const QString& root)
{
    QSet<QString> files;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext())
        files.insert(base.relativeFilePath(it.next()));
    return files;
}

struct RunResult {
    int exitCode = -1;
    QString errors;
};

RunResult runServeData(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("bash"), QStringList{sourcePath(QStringLiteral("scripts/serve-data"))} + arguments);
    if (!process.waitForFinished(30000))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardError())};
}

// One element as the program sees it: its attributes, and its direct child
// elements with their text content, in document order.
struct Element {
    QString name;
    QXmlStreamAttributes attributes;
    QList<std::pair<QString, QString>> fields; // direct children without element children
    QList<Element> children;                   // direct children that have element children or attributes
    QString attribute(const QString& key) const { return attributes.value(key).toString(); }
    QStringList all(const QString& field) const
    {
        QStringList values;
        for (const auto& [name, text] : fields)
            if (name == field)
                values << text;
        return values;
    }
};

Element readElement(QXmlStreamReader& reader)
{
    Element element;
    element.name = reader.name().toString();
    element.attributes = reader.attributes();
    while (reader.readNextStartElement()) {
        if (reader.attributes().isEmpty()) {
            // Peek: a field has text only; anything with child elements is
            // kept as a child element.
            const QString name = reader.name().toString();
            QString text;
            bool nested = false;
            Element inner;
            inner.name = name;
            while (!reader.atEnd()) {
                reader.readNext();
                if (reader.isCharacters())
                    text += reader.text();
                else if (reader.isStartElement()) {
                    nested = true;
                    inner.children << readElement(reader);
                } else if (reader.isEndElement())
                    break;
            }
            if (nested)
                element.children << inner;
            else
                element.fields << std::pair{name, text};
        } else {
            element.children << readElement(reader);
        }
    }
    return element;
}

struct Document {
    std::optional<Element> root;
    QString error;
    bool nodeAfterRoot = false;
};

// Reads a document and tells whether anything but whitespace follows its
// root element: the program takes the document's last child for the root.
Document readDocument(const QString& path)
{
    QFile file(path);
    Document document;
    if (!file.open(QIODevice::ReadOnly)) {
        document.error = QStringLiteral("cannot open");
        return document;
    }
    QXmlStreamReader reader(&file);
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement())
            document.root = readElement(reader);
        else if (document.root && (reader.isComment() || reader.isProcessingInstruction()
                                   || (reader.isCharacters() && !reader.isWhitespace())))
            document.nodeAfterRoot = true;
    }
    if (reader.hasError())
        document.error = reader.errorString();
    return document;
}

bool isExampleAddress(const QString& address)
{
    static const QRegularExpression example(QStringLiteral(R"((@|//www\.)example\.(com|org|net)(/|$))"));
    return example.match(address).hasMatch();
}

// The program's extension rule: the text from the last ".", "\" or ":" on,
// if that character is a full stop, upper-cased, must be ".JPG" or ".JPEG".
bool isJpegName(const QString& picture)
{
    const qsizetype at = std::max({picture.lastIndexOf(u'.'), picture.lastIndexOf(u'\\'), picture.lastIndexOf(u':')});
    if (at < 0 || picture.at(at) != u'.')
        return false;
    const QString extension = picture.mid(at).toUpper();
    return extension == QStringLiteral(".JPG") || extension == QStringLiteral(".JPEG");
}

struct JpegFrame {
    bool valid = false;
    bool progressive = false;
    int width = 0, height = 0, components = 0;
};

// Reads the frame header of a JPEG file: enough to tell a real JPEG from a
// file that only has the name, and which kind of JPEG it is.
JpegFrame jpegFrame(const QByteArray& bytes)
{
    const auto byte = [&](qsizetype i) { return i < bytes.size() ? quint8(bytes.at(i)) : 0; };
    JpegFrame frame;
    if (byte(0) != 0xFF || byte(1) != 0xD8)
        return frame;
    qsizetype i = 2;
    while (i + 4 < bytes.size()) {
        if (byte(i) != 0xFF)
            return frame;
        const int marker = byte(i + 1);
        if (marker == 0xFF) { // fill byte
            ++i;
            continue;
        }
        const int length = byte(i + 2) << 8 | byte(i + 3);
        const bool startOfFrame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (startOfFrame) {
            frame.valid = i + 9 < bytes.size();
            frame.progressive = marker == 0xC2;
            frame.height = byte(i + 5) << 8 | byte(i + 6);
            frame.width = byte(i + 7) << 8 | byte(i + 8);
            frame.components = byte(i + 9);
            return frame;
        }
        i += 2 + length;
    }
    return frame;
}

} // namespace

class TestSampleData : public QObject {
    Q_OBJECT

    QString m_data = sourcePath(QStringLiteral("data"));

    // The last "picture" of a page, resolved the way the program fetches it,
    // to the file in data/ that the served copy would deliver.
    QString logoFile(const QString& picture) const
    {
        if (picture.startsWith(placeholder + u'/'))
            return m_data + picture.mid(placeholder.size());
        return m_data + QStringLiteral("/squads/") + picture;
    }

private slots:
    void directoryListsWhatTheDemoNeeds()
    {
        const Document directory = readDocument(m_data + QStringLiteral("/corvanet.xml"));
        QVERIFY2(directory.error.isEmpty(), qPrintable(directory.error));
        QVERIFY(directory.root);
        QVERIFY2(!directory.nodeAfterRoot, "a node after the root would be taken for the root");
        QVERIFY2(directory.root->fields.isEmpty(), "every child of the root is read as an entry");

        const QList<Element>& entries = directory.root->children;
        QVERIFY(entries.size() >= 25);
        QStringList nicks, missingPages;
        QHash<QString, QSet<QString>> pagesByNick;
        QSet<QString> webs;
        for (const Element& entry : entries) {
            const QString nick = entry.attribute(QStringLiteral("nick"));
            const QString web = entry.attribute(QStringLiteral("web"));
            QVERIFY2(!nick.isEmpty() && !web.isEmpty(), qPrintable(entry.name));
            QVERIFY2(web.startsWith(placeholder + QStringLiteral("/squads/")), qPrintable(web));
            QVERIFY2(!webs.contains(web), qPrintable(QStringLiteral("listed twice: ") + web));
            webs.insert(web);
            nicks << nick;
            pagesByNick[nick].insert(web);
            if (!QFile::exists(m_data + web.mid(placeholder.size())))
                missingPages << nick;
        }

        // Exactly one dead squad, so the "Squad not found." path is easy to show.
        QCOMPARE(missingPages, QStringList{QStringLiteral("Ghost Patrol")});
        QVERIFY2(std::any_of(pagesByNick.cbegin(), pagesByNick.cend(), [](const auto& pages) { return pages.size() > 1; }),
                 "one nick should name two different pages");
        QVERIFY2(std::any_of(nicks.cbegin(), nicks.cend(), [](const QString& nick) {
                     return std::any_of(nick.cbegin(), nick.cend(), [](QChar c) { return c.unicode() > 127; });
                 }),
                 "non-ASCII nicks are missing");

        // The list must come out differently with and without regard to case.
        QStringList caseless = nicks, exact = nicks;
        std::sort(caseless.begin(), caseless.end(),
                  [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
        std::sort(exact.begin(), exact.end());
        QVERIFY(caseless != exact);
        QVERIFY2(caseless != nicks, "document order should not already be sorted");

        // newcomers.xml is the page to add by hand, so it must not be listed.
        QVERIFY(QFile::exists(m_data + QStringLiteral("/squads/newcomers.xml")));
        QVERIFY(!webs.contains(placeholder + QStringLiteral("/squads/newcomers.xml")));
    }

    void squadPagesReadAsTheProgramReadsThem()
    {
        const QStringList pages = QDir(m_data + QStringLiteral("/squads")).entryList({QStringLiteral("*.xml")}, QDir::Files);
        QVERIFY(pages.size() >= 25);
        int memberless = 0;
        for (const QString& name : pages) {
            const QString path = m_data + QStringLiteral("/squads/") + name;
            const Document page = readDocument(path);
            QVERIFY2(page.error.isEmpty(), qPrintable(name + u' ' + page.error));
            QVERIFY2(page.root && page.root->name == QStringLiteral("squad"), qPrintable(name));
            QVERIFY2(!page.nodeAfterRoot, qPrintable(name + QStringLiteral(": node after the root")));
            QVERIFY2(!page.root->attribute(QStringLiteral("nick")).isEmpty(), qPrintable(name));
            QVERIFY2(page.root->all(QStringLiteral("name")).size() >= 1, qPrintable(name));
            for (const QString& field : {QStringLiteral("email"), QStringLiteral("web")})
                for (const QString& address : page.root->all(field))
                    QVERIFY2(isExampleAddress(address), qPrintable(name + u' ' + address));

            int members = 0;
            for (const Element& child : page.root->children) {
                if (child.name != QStringLiteral("member"))
                    continue;
                ++members;
                const QString where = name + u' ' + child.attribute(QStringLiteral("nick"));
                QVERIFY2(!child.attribute(QStringLiteral("nick")).isEmpty(), qPrintable(where));
                QVERIFY2(!child.attribute(QStringLiteral("id")).isEmpty(), qPrintable(where));
                for (const QString& field : {QStringLiteral("name"), QStringLiteral("email"), QStringLiteral("icq"),
                                             QStringLiteral("remark")})
                    QVERIFY2(!child.all(field).isEmpty(), qPrintable(where + QStringLiteral(" lacks ") + field));
                for (const QString& address : child.all(QStringLiteral("email")))
                    QVERIFY2(isExampleAddress(address), qPrintable(where + u' ' + address));
            }
            if (members == 0)
                ++memberless;
        }
        QCOMPARE(memberless, 1);
    }

    void logosSitWhereTheProgramFetchesThem()
    {
        const QStringList pages = QDir(m_data + QStringLiteral("/squads")).entryList({QStringLiteral("*.xml")}, QDir::Files);
        int absolute = 0, relative = 0;
        QSet<QString> notJpeg;
        for (const QString& name : pages) {
            const Document page = readDocument(m_data + QStringLiteral("/squads/") + name);
            QVERIFY(page.root);
            const QStringList pictures = page.root->all(QStringLiteral("picture"));
            if (pictures.isEmpty() || !isJpegName(pictures.last()))
                continue;
            const QString picture = pictures.last();
            if (picture.startsWith(placeholder)) {
                ++absolute;
            } else {
                QVERIFY2(!picture.contains(QStringLiteral("://")), qPrintable(name + u' ' + picture));
                // The program first hands a relative value to its HTTP client
                // as it stands, which takes the text before the first "/" for
                // a host name. A first part that cannot be a host name fails
                // at once; a plain name would go to the DNS resolver, and
                // "localhost" would reach the demo's own server at the port
                // the client used last.
                static const QRegularExpression hostName(QStringLiteral("^[A-Za-z0-9._-]*$"));
                QVERIFY2(!hostName.match(picture.section(u'/', 0, 0)).hasMatch(), qPrintable(name + u' ' + picture));
                ++relative;
            }
            const QString file = logoFile(picture);
            QVERIFY2(QFile::exists(file), qPrintable(name + QStringLiteral(": no ") + file));
            const JpegFrame frame = jpegFrame(readAll(file));
            if (!frame.valid) {
                notJpeg.insert(name);
                continue;
            }
            QVERIFY2(frame.width >= 64 && frame.width <= 240 && frame.height >= 64 && frame.height <= 160,
                     qPrintable(name + QStringLiteral(": logo too large or too small for the logo area")));
        }
        QVERIFY(absolute >= 5);
        QVERIFY(relative >= 5);
        QCOMPARE(notJpeg, QSet<QString>{QStringLiteral("vortex.xml")});

        // The decoder variants the sample data promises.
        const JpegFrame progressive = jpegFrame(readAll(m_data + QStringLiteral("/logos/iron-kestrels.jpg")));
        QVERIFY(progressive.valid && progressive.progressive);
        QCOMPARE(jpegFrame(readAll(m_data + QStringLiteral("/logos/fjellvind.jpg"))).components, 1);
        QCOMPARE(jpegFrame(readAll(m_data + QStringLiteral("/logos/red-kites.jpg"))).components, 4);
    }

    void serveDataReplacesOnlyThePlaceholder()
    {
        QTemporaryDir served;
        QVERIFY(served.isValid());
        const QString target = served.filePath(QStringLiteral("www"));
        const RunResult run = runServeData({target, testServer + u'/'});
        QVERIFY2(run.exitCode == 0, qPrintable(run.errors));

        QSet<QString> expected = filesBelow(m_data);
        expected.remove(QStringLiteral("README.md"));
        QCOMPARE(filesBelow(target), expected);

        const QByteArray from = placeholder.toLatin1(), to = testServer.toLatin1();
        for (const QString& file : expected) {
            const QByteArray original = readAll(m_data + u'/' + file);
            const QByteArray copy = readAll(target + u'/' + file);
            QVERIFY2(!copy.contains(from), qPrintable(file));
            if (file.endsWith(QStringLiteral(".xml")))
                QVERIFY2(copy == QByteArray(original).replace(from, to), qPrintable(file));
            else
                QVERIFY2(copy == original, qPrintable(file + QStringLiteral(" changed")));
        }
        // A served directory entry is an address the program can load as is.
        QVERIFY(readAll(target + QStringLiteral("/corvanet.xml"))
                    .contains("web=\"http://127.0.0.1:4711/squads/alpha.xml\""));

        // Running it again over the same folder refreshes the copy.
        QFile::remove(target + QStringLiteral("/corvanet.xml"));
        QCOMPARE(runServeData({target, testServer}).exitCode, 0);
        QVERIFY(QFile::exists(target + QStringLiteral("/corvanet.xml")));
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
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());
        for (QString& argument : arguments)
            argument.replace(QStringLiteral("@TMP@"), scratch.path());
        mustNotExist.replace(QStringLiteral("@TMP@"), scratch.path());

        const QSet<QString> before = filesBelow(m_data);
        QCOMPARE(runServeData(arguments).exitCode, 2);
        if (!mustNotExist.isEmpty())
            QVERIFY2(!QFileInfo::exists(mustNotExist), qPrintable(mustNotExist));
        QCOMPARE(filesBelow(m_data), before);
    }
};

QTEST_GUILESS_MAIN(TestSampleData)
#include "TestSampleData.moc"
