// Reading and changing loaded documents: what the callers see of the tree,
// editing the directory and saving it so that it loads again unchanged, node
// references that outlive reloads and removals, and misuse that must fail.

#include <QTemporaryDir>
#include <QTest>

#include "DocumentTestHelpers.h"
#include "XmlDocument.h"

class TestXmlEditing : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void readsTheTreeAsCallersExpect();
    void lastChildIsTheLastTopLevelNode();
    void editsSaveAndLoadAgainUnchanged();
    void saveFailureThrows();
    void nodeReferencesOutliveReloadsAndRemovals();
    void misuseThrows();
    void newDocumentIsEmpty();

private:
    XmlDocument loaded(const QByteArray& text);
    QString path(const QString& name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    int m_files = 0;
};

XmlDocument TestXmlEditing::loaded(const QByteArray& text)
{
    const QString file = path(QStringLiteral("doc%1.xml").arg(++m_files));
    XmlDocument doc;
    if (!writeFile(file, text) || !doc.load(file) || !waitForLoad(doc))
        qWarning("could not load %s", qPrintable(file));
    if (!doc.loadError().isEmpty())
        qWarning("%s", qPrintable(doc.loadError()));
    return doc;
}

void TestXmlEditing::readsTheTreeAsCallersExpect()
{
    const XmlDocument doc = loaded("<?xml version=\"1.0\"?>\n"
                                   "<squad nick=\"  spaced  \">\n"
                                   "  <name>\n    Wolves of\n    the North\n  </name>\n"
                                   "  <!-- the members -->\n"
                                   "  <member nick=\"a\" id=\"7\"><name>Ann</name>\t<icq> </icq></member>\n"
                                   "  <remark>one <b>bold</b> word</remark>\n"
                                   "  <title><![CDATA[ <T> ]]></title>\n"
                                   "  <?render fast?>\n"
                                   "  <pre xml:space=\"preserve\"> <x/> </pre>\n"
                                   "</squad>\n");
    const XmlNode root = doc.lastChild();
    QCOMPARE(root.nodeName(), QStringLiteral("squad"));

    const XmlNodeList children = root.childNodes();
    QCOMPARE(children.length(), 7); // the white space between elements is no node
    QStringList names;
    for (int i = 0; i < children.length(); ++i)
        names << children.item(i).nodeName();
    QCOMPARE(names, QStringList({"name", "#comment", "member", "remark", "title", "render", "pre"}));
    QVERIFY(children.item(-1).isNull());
    QVERIFY(children.item(7).isNull());

    // A value written across lines is trimmed at its ends only.
    QCOMPARE(children.item(0).text(), QStringLiteral("Wolves of\n    the North"));
    QCOMPARE(children.item(1).text(), QStringLiteral(" the members "));
    QCOMPARE(children.item(3).text(), QStringLiteral("one bold word"));
    QCOMPARE(children.item(3).childNodes().item(0).nodeName(), QStringLiteral("#text"));
    QCOMPARE(children.item(4).text(), QStringLiteral("<T>"));
    QCOMPARE(children.item(4).childNodes().item(0).nodeName(), QStringLiteral("#cdata-section"));
    QCOMPARE(children.item(5).text(), QStringLiteral("fast"));
    QCOMPARE(children.item(6).childNodes().length(), 3); // xml:space="preserve" keeps its blanks

    const XmlNode member = children.item(2);
    QCOMPARE(member.childNodes().length(), 2);
    QCOMPARE(member.lastChild().nodeName(), QStringLiteral("icq"));
    QCOMPARE(member.lastChild().text(), QString());
    QCOMPARE(member.lastChild().childNodes().length(), 0);
    QCOMPARE(member.attributes().getNamedItem("id").text(), QStringLiteral("7"));
    QCOMPARE(member.attributes().getNamedItem("id").nodeName(), QStringLiteral("id"));
    QVERIFY(member.attributes().getNamedItem("ID").isNull()); // names are case-sensitive
    QVERIFY(member.attributes().getNamedItem("web").isNull());

    // Attribute values are not trimmed; non-elements have no attributes.
    QCOMPARE(root.attributes().getNamedItem("nick").text(), QStringLiteral("  spaced  "));
    QVERIFY(children.item(1).attributes().getNamedItem("nick").isNull());
    QVERIFY(root.attributes().getNamedItem("nick").childNodes().length() == 0);
}

void TestXmlEditing::lastChildIsTheLastTopLevelNode()
{
    const XmlDocument commented = loaded("<squads><squad nick=\"a\" web=\"b\"/></squads>\n<!-- generated -->\n");
    QCOMPARE(commented.lastChild().nodeName(), QStringLiteral("#comment"));
    QCOMPARE(commented.lastChild().childNodes().length(), 0);
    QCOMPARE(commented.childNodes().length(), 2);
    QCOMPARE(commented.childNodes().item(0).nodeName(), QStringLiteral("squads"));

    const XmlDocument instructed = loaded("<!DOCTYPE squads>\n<squads/>\n<?done yes?>");
    QCOMPARE(instructed.lastChild().nodeName(), QStringLiteral("done"));
    QCOMPARE(instructed.childNodes().length(), 3);
}

void TestXmlEditing::editsSaveAndLoadAgainUnchanged()
{
    XmlDocument doc = loaded("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<squads>\n"
                             "  <squad nick=\"Wolves\" web=\"http://squads.example/wolves.xml\"/>\n"
                             "  <squad nick=\"Bears\" web=\"http://squads.example/bears.xml\"/>\n"
                             "  <!-- keep -->\n"
                             "</squads>\n");
    XmlNode root = doc.lastChild();

    // What the Add Squad dialog does: element, two attributes, values set
    // after attaching, appended to the root.
    XmlNode entry = doc.createElement("squad");
    XmlNode nick = doc.createAttribute("nick");
    XmlNode web = doc.createAttribute("web");
    QCOMPARE(entry.attributes().setNamedItem(nick), nick);
    entry.attributes().setNamedItem(web);
    const QString awkward = QString::fromUtf8("Ž<&\"'>\ttab\nline");
    nick.setText(awkward);
    web.setText("http://squads.example/new.xml?a=1&b=2");
    const XmlNode appended = root.appendChild(entry);
    QCOMPARE(appended, entry);
    QCOMPARE(root.lastChild().attributes().getNamedItem("nick").text(), awkward);

    // What the dead-entry removal does.
    const XmlNode removed = root.removeChild(root.childNodes().item(0));
    QCOMPARE(removed.attributes().getNamedItem("nick").text(), QStringLiteral("Wolves"));

    // Replacing an attribute keeps its place; element text with markup.
    XmlNode renamed = doc.createAttribute("nick");
    root.childNodes().item(0).attributes().setNamedItem(renamed);
    renamed.setText("Grizzlies");
    XmlNode remark = doc.createElement("remark");
    remark.setText("  a < b && c  ");
    root.appendChild(remark);

    const QString expected = doc.xml();
    QVERIFY(expected.startsWith(QStringLiteral("<?xml")));
    QVERIFY(!expected.contains(QStringLiteral("Wolves")));
    doc.save(path("a.tmp"));
    QCOMPARE(QString::fromUtf8(readFile(path("a.tmp"))), expected);

    XmlDocument again;
    QVERIFY(again.load(path("a.tmp")));
    QVERIFY(waitForLoad(again));
    QCOMPARE(again.xml(), expected);
    const XmlNodeList entries = again.lastChild().childNodes();
    QCOMPARE(entries.length(), 4);
    QCOMPARE(entries.item(0).attributes().getNamedItem("nick").text(), QStringLiteral("Grizzlies"));
    QCOMPARE(entries.item(0).attributes().getNamedItem("web").text(), QStringLiteral("http://squads.example/bears.xml"));
    QCOMPARE(entries.item(1).nodeName(), QStringLiteral("#comment"));
    QCOMPARE(entries.item(2).attributes().getNamedItem("nick").text(), awkward);
    QCOMPARE(entries.item(2).attributes().getNamedItem("web").text(), QStringLiteral("http://squads.example/new.xml?a=1&b=2"));
    QCOMPARE(entries.item(3).text(), QStringLiteral("a < b && c"));

    // Saving again over the file replaces it.
    root.removeChild(remark);
    doc.save(path("a.tmp"));
    QVERIFY(!readFile(path("a.tmp")).contains("remark"));
}

void TestXmlEditing::saveFailureThrows()
{
    XmlDocument doc = loaded("<squads/>");
    QVERIFY(writeFile(path("plain-file"), "x"));
    QVERIFY_THROWS_EXCEPTION(EOleException, doc.save(path("plain-file/a.tmp")));
    QVERIFY_THROWS_EXCEPTION(EOleException, doc.save(m_dir.path()));
    try {
        doc.save(path("missing-dir/a.tmp"));
        QFAIL("saved into a directory that does not exist");
    } catch (const EOleException& e) {
        QVERIFY(e.description().contains(QStringLiteral("a.tmp")));
    }
}

void TestXmlEditing::nodeReferencesOutliveReloadsAndRemovals()
{
    XmlNode root, member, nick, nameText, removed;
    {
        XmlDocument doc = loaded("<squad nick=\"Wolves\"><member nick=\"a\"><name>Ann</name></member>"
                                 "<member nick=\"b\"/></squad>");
        root = doc.lastChild();
        member = root.childNodes().item(0);
        nick = root.attributes().getNamedItem("nick");
        nameText = member.childNodes().item(0).childNodes().item(0);
        removed = root.childNodes().item(1);
        root.removeChild(removed);
        member.childNodes().item(0).setText("Anna"); // replaces nameText
        root.attributes().setNamedItem(doc.createAttribute("nick")); // replaces nick

        QVERIFY(doc.load(path("missing.xml")) == false);
        QVERIFY(doc.lastChild().isNull());
        writeFile(path("other.xml"), "<other/>");
        QVERIFY(doc.load(path("other.xml")));
        QVERIFY(waitForLoad(doc));
        QCOMPARE(doc.lastChild().nodeName(), QStringLiteral("other"));
    } // the document itself is gone now

    QCOMPARE(root.nodeName(), QStringLiteral("squad"));
    QCOMPARE(root.childNodes().length(), 1);
    QCOMPARE(member.childNodes().item(0).text(), QStringLiteral("Anna"));
    QCOMPARE(nameText.text(), QStringLiteral("Ann"));
    QCOMPARE(nick.text(), QStringLiteral("Wolves"));
    QCOMPARE(removed.attributes().getNamedItem("nick").text(), QStringLiteral("b"));

    // Detached nodes can be put back.
    root.appendChild(removed);
    root.attributes().setNamedItem(nick);
    QCOMPARE(root.childNodes().length(), 2);
    QCOMPARE(root.attributes().getNamedItem("nick").text(), QStringLiteral("Wolves"));
}

void TestXmlEditing::misuseThrows()
{
    XmlDocument doc = loaded("<squads><squad nick=\"a\"><name>x</name></squad></squads>");
    XmlDocument other = loaded("<other/>");
    XmlNode root = doc.lastChild();
    XmlNode entry = root.childNodes().item(0);
    XmlNode nick = entry.attributes().getNamedItem("nick");

    QVERIFY_THROWS_EXCEPTION(EOleException, XmlNode().text());
    QVERIFY_THROWS_EXCEPTION(EOleException, root.appendChild(XmlNode()));
    QVERIFY_THROWS_EXCEPTION(EOleException, doc.createElement("1squad"));
    QVERIFY_THROWS_EXCEPTION(EOleException, doc.createAttribute("we b"));
    QVERIFY_THROWS_EXCEPTION(EOleException, root.appendChild(other.lastChild()));
    QVERIFY_THROWS_EXCEPTION(EOleException, entry.appendChild(root)); // a cycle
    QVERIFY_THROWS_EXCEPTION(EOleException, root.removeChild(entry.childNodes().item(0)));
    QVERIFY_THROWS_EXCEPTION(EOleException, root.appendChild(doc.createAttribute("nick")));
    QVERIFY_THROWS_EXCEPTION(EOleException, root.attributes().setNamedItem(nick)); // attached elsewhere
    QVERIFY_THROWS_EXCEPTION(EOleException, root.attributes().setNamedItem(other.createAttribute("x")));
    // Text that XML cannot carry would make the saved file unloadable.
    QVERIFY_THROWS_EXCEPTION(EOleException, nick.setText(QStringLiteral("bell\x07")));
    QVERIFY_THROWS_EXCEPTION(EOleException, nick.setText(QString(QChar(0xD800))));

    // Nothing of the above changed the document.
    QCOMPARE(root.childNodes().length(), 1);
    QCOMPARE(nick.text(), QStringLiteral("a"));
    QCOMPARE(doc.xml(), loaded(doc.xml().toUtf8()).xml());
}

void TestXmlEditing::newDocumentIsEmpty()
{
    XmlDocument doc;
    QCOMPARE(doc.readyState(), 0);
    QCOMPARE(doc.xml(), QString());
    QVERIFY(doc.lastChild().isNull());
    QCOMPARE(doc.childNodes().length(), 0);
    XmlNode element = doc.createElement("squad");
    element.setText("free-standing");
    QCOMPARE(element.text(), QStringLiteral("free-standing"));
    QCOMPARE(doc.xml(), QString()); // not part of the document
    doc.save(path("empty.tmp"));
    QCOMPARE(readFile(path("empty.tmp")), QByteArray());
}

QTEST_GUILESS_MAIN(TestXmlEditing)
#include "TestXmlEditing.moc"
