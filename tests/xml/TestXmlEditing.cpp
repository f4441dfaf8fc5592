// Reading and changing loaded documents: what the callers see of the tree,
// editing the directory and saving it so that it loads again unchanged, node
// references that outlive reloads and removals, and misuse that must fail.

#include <QTemporaryDir>
#include <QTest>

#include "DocumentTestHelpers.h"
#include "XmlDocument.h"

class TestXmlEditing : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_files = 0;

    QString path(const QString& name) const { return m_dir.filePath(name); }

    XmlDocument loaded(const QByteArray& text)
    {
        const QString file = path(QStringLiteral("doc%1.xml").arg(++m_files));
        XmlDocument doc;
        if (!writeFile(file, text) || !loadAndWait(doc, file) || !doc.loadError().isEmpty())
            qWarning("could not load %s: %s", qPrintable(file), qPrintable(doc.loadError()));
        return doc;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void readsTheTreeAsCallersExpect()
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

        // Name, text and number of child nodes. A value written across lines is
        // trimmed at its ends only; white space between elements is no node,
        // except under xml:space="preserve".
        const XmlNodeList children = root.childNodes();
        QStringList seen;
        for (int i = 0; i < children.length(); ++i) {
            const XmlNode child = children.item(i);
            seen << QStringLiteral("%1 [%2] %3").arg(child.nodeName(), child.text()).arg(child.childNodes().length());
        }
        QCOMPARE(seen, QStringList({"name [Wolves of\n    the North] 1", "#comment [ the members ] 0", "member [Ann] 2",
                                    "remark [one bold word] 3", "title [<T>] 1", "render [fast] 0", "pre [] 3"}));
        QVERIFY(children.item(-1).isNull());
        QCOMPARE(children.item(3).childNodes().item(0).nodeName(), QStringLiteral("#text"));
        QCOMPARE(children.item(4).childNodes().item(0).nodeName(), QStringLiteral("#cdata-section"));

        const XmlNode member = children.item(2);
        QCOMPARE(member.lastChild().nodeName(), QStringLiteral("icq"));
        QCOMPARE(member.lastChild().text(), QString());
        QCOMPARE(member.lastChild().childNodes().length(), 0);
        QCOMPARE(member.attributes().getNamedItem("id").text(), QStringLiteral("7"));
        QVERIFY(member.attributes().getNamedItem("ID").isNull()); // names are case-sensitive

        // Attribute values are not trimmed; non-elements have no attributes.
        QCOMPARE(root.attributes().getNamedItem("nick").text(), QStringLiteral("  spaced  "));
        QCOMPARE(root.attributes().getNamedItem("nick").childNodes().length(), 0);
        QVERIFY(children.item(1).attributes().getNamedItem("nick").isNull());

        // The program takes the last top-level node for the root, whatever it is.
        const XmlDocument commented = loaded("<!DOCTYPE squads>\n<squads><squad/></squads>\n<!-- generated -->\n");
        QCOMPARE(commented.lastChild().nodeName(), QStringLiteral("#comment"));
        QCOMPARE(commented.childNodes().length(), 3);
        QCOMPARE(commented.childNodes().item(1).nodeName(), QStringLiteral("squads"));
        QCOMPARE(loaded("<squads/>\n<?done yes?>").lastChild().nodeName(), QStringLiteral("done"));
    }

    // Text of white space only is no node, however it reached the tree:
    // the parser strips it only from documents where it saw some.
    void blankTextIsNoNode_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("children"); // of the root's first child
        QTest::newRow("none") << QByteArray("<s><a><b/></a></s>") << QStringList{"b"};
        QTest::newRow("before an end tag") << QByteArray("<s><a> \n\t</a></s>") << QStringList{};
        QTest::newRow("between elements") << QByteArray("<s><a> <b/> <c/> </a></s>") << QStringList{"b", "c"};
        QTest::newRow("entity") << QByteArray("<!DOCTYPE s [<!ENTITY sp \"  \">]><s><a>&sp;</a></s>") << QStringList{};
        QTest::newRow("entity with elements")
            << QByteArray("<!DOCTYPE s [<!ENTITY e \"<b> </b> \">]><s><a>&e;&e;</a></s>") << QStringList{"b", "b"};
        QTest::newRow("character reference") << QByteArray("<s><a>&#32;&#x9;</a></s>") << QStringList{};
        QTest::newRow("CDATA stays") << QByteArray("<s><a><![CDATA[ ]]></a></s>") << QStringList{"#cdata-section"};
        QTest::newRow("preserved") << QByteArray("<s><a xml:space=\"preserve\"> <b/></a></s>")
                                   << QStringList{"#text", "b"};
        QTest::newRow("text stays") << QByteArray("<s><a> x </a></s>") << QStringList{"#text"};
    }

    void blankTextIsNoNode()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, children);
        const XmlDocument doc = loaded(text);
        QStringList seen;
        const XmlNodeList nodes = doc.lastChild().childNodes().item(0).childNodes();
        for (int i = 0; i < nodes.length(); ++i)
            seen << nodes.item(i).nodeName();
        QCOMPARE(seen, children);
    }

    // The walk and the in-place reading that fill a long list must see what
    // childNodes() and attributes() show, node for node and byte for byte.
    void walksAndReadsAttributesInPlace_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("plain") << QByteArray("<s><e nick=\"Wolves\" web=\"http://x/1.xml\"/><e web=\"w\" nick=\"\"/></s>");
        QTest::newRow("references") << QByteArray("<!DOCTYPE s [<!ENTITY c \"Clan\">]>"
                                                  "<s><e nick=\"&c; &amp; &#x17D;ab&#237;\" web=\" a\tb \"/></s>");
        QTest::newRow("no attributes, other nodes")
            << QByteArray("<s>text<!-- c --><e/><?pi x?><e nick=\"n\"/><![CDATA[d]]></s>");
        QTest::newRow("prefixed attributes are others")
            << QByteArray("<s xmlns:p=\"urn:p\"><e p:nick=\"no\" nick=\"yes\" p:web=\"no\"/></s>");
        QTest::newRow("long values") << QByteArray("<s><e nick=\"") + QByteArray(5000, 'n') + "\" web=\""
                                            + QByteArray(70000, 'w') + "\"/></s>";
        QTest::newRow("empty root") << QByteArray("<s/>");
    }

    void walksAndReadsAttributesInPlace()
    {
        QFETCH(QByteArray, text);
        const XmlDocument doc = loaded(text);
        const XmlNode root = doc.lastChild();
        const XmlNodeList children = root.childNodes();
        int i = 0;
        for (XmlNode child = root.firstChild(); child; child = child.nextSibling(), ++i) {
            QVERIFY(i < children.length());
            QVERIFY(child == children.item(i));
            for (const char* name : {"nick", "web", "none"}) {
                QByteArray value("before:");
                child.appendAttributeValue(name, value);
                QCOMPARE(QString::fromUtf8(value), "before:" + child.attributeValue(name));
                const XmlNode attribute = child.attributes().getNamedItem(name);
                QCOMPARE(child.attributeValue(name), attribute.isNull() ? QString() : attribute.text());
            }
        }
        QCOMPARE(i, children.length());
        // An attribute has no children and no siblings, though libxml2 links
        // an element's attributes to one another.
        if (i > 0) {
            for (const char* name : {"nick", "web"}) {
                const XmlNode attribute = children.item(0).attributes().getNamedItem(name);
                QVERIFY(attribute.isNull() || (attribute.firstChild().isNull() && attribute.nextSibling().isNull()));
            }
        }
    }

    void editsSaveAndLoadAgainUnchanged()
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
        const QString webText = QStringLiteral("http://squads.example/new.xml?a=1&b=2");
        nick.setText(awkward);
        web.setText(webText);
        QCOMPARE(root.appendChild(entry), entry);

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
        doc.save(path("a.tmp"));
        QCOMPARE(QString::fromUtf8(readFile(path("a.tmp"))), expected);

        XmlDocument again;
        QVERIFY(loadAndWait(again, path("a.tmp")));
        QCOMPARE(again.xml(), expected);
        const XmlNodeList entries = again.lastChild().childNodes();
        QCOMPARE(entries.length(), 4);
        QCOMPARE(entries.item(0).attributes().getNamedItem("nick").text(), QStringLiteral("Grizzlies"));
        QCOMPARE(entries.item(0).attributes().getNamedItem("web").text(),
                 QStringLiteral("http://squads.example/bears.xml"));
        QCOMPARE(entries.item(1).nodeName(), QStringLiteral("#comment"));
        QCOMPARE(entries.item(2).attributes().getNamedItem("nick").text(), awkward);
        QCOMPARE(entries.item(2).attributes().getNamedItem("web").text(), webText);
        QCOMPARE(entries.item(3).text(), QStringLiteral("a < b && c"));

        // Saving again over the file replaces it.
        root.removeChild(remark);
        doc.save(path("a.tmp"));
        QVERIFY(!readFile(path("a.tmp")).contains("remark"));
    }

    void nodeReferencesOutliveReloadsAndRemovals()
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

            QVERIFY(!doc.load(path("missing.xml")));
            QVERIFY(doc.lastChild().isNull());
            QVERIFY(writeFile(path("other.xml"), "<other/>"));
            QVERIFY(loadAndWait(doc, path("other.xml")));
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

    void misuseThrows()
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
        // Saving below a plain file, over a folder, into a missing folder.
        QVERIFY(writeFile(path("plain-file"), "x"));
        for (const QString& target : {path("plain-file/a.tmp"), m_dir.path(), path("missing-dir/a.tmp")})
            QVERIFY2(saveError(doc, target).contains(target), qPrintable(target));

        // Nothing of the above changed the document.
        QCOMPARE(root.childNodes().length(), 1);
        QCOMPARE(nick.text(), QStringLiteral("a"));
        QCOMPARE(doc.xml(), loaded(doc.xml().toUtf8()).xml());
    }

    void newDocumentIsEmpty()
    {
        XmlDocument doc;
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
};

QTEST_GUILESS_MAIN(TestXmlEditing)
#include "TestXmlEditing.moc"
