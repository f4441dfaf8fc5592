// Fuzz target: a document as the document service receives it from a
// transfer, parsed by XmlTree::Parser (driven directly, as XmlLoader drives
// it; a load through XmlDocument would add a transfer and test nothing more
// of the parse), read the way the program reads the directory and squad
// pages, edited the way publishing edits the directory, saved and loaded.
//
// Checked beyond "no crash, no sanitizer report":
// - the document fed whole and fed in small pieces either both fail or give
//   the same document (the parser holds back the first bytes until it knows
//   the encoding, which depends on where the pieces end);
// - the charset a server names changes nothing for an ASCII document;
// - a failed parse says why;
// - a node's last child is the last of its child nodes;
// - what save writes loads again and saves to the same text, also after an
//   entry was added and one removed: a published directory must stay
//   loadable for everyone who reads it.

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "XmlNamedNodeMap.h"
#include "XmlNode.h"
#include "XmlNodeList.h"
#include "XmlTree.h"

namespace {

constexpr int kMaxNodes = 20000; // read per document, for deep or wide inputs

std::shared_ptr<XmlTree> parse(const QByteArray& document, qsizetype piece, QString* error = nullptr,
                               const QByteArray& charset = QByteArray())
{
    XmlTree::Parser parser(charset, QStringLiteral("fuzz.xml"));
    for (qsizetype pos = 0; pos < document.size(); pos += piece) {
        if (!parser.feed(document.constData() + pos, std::min(piece, document.size() - pos)))
            break;
    }
    std::shared_ptr<XmlTree> tree = parser.finish();
    if (!tree)
        FUZZ_CHECK(!parser.error().isEmpty());
    if (error)
        *error = parser.error();
    return tree;
}

QByteArray saved(const XmlTree& tree)
{
    QByteArray text;
    const bool ok = tree.serialize([&text](const char* data, int size) {
        text.append(data, size);
        return true;
    });
    FUZZ_CHECK(ok);
    return text;
}

// Both fail, or both give the same document.
void checkSameOutcome(const std::shared_ptr<XmlTree>& a, const std::shared_ptr<XmlTree>& b)
{
    FUZZ_CHECK(!a == !b);
    if (a)
        FUZZ_CHECK(saved(*a) == saved(*b));
}

// What the document says must survive a save and a load unchanged.
void checkReloads(const XmlTree& tree)
{
    const QByteArray text = saved(tree);
    QString error;
    const std::shared_ptr<XmlTree> again = parse(text, text.size() + 1, &error);
    if (!again) {
        std::fprintf(stderr, "saved document does not load again: %s\n%s\n", qPrintable(error),
                     text.constData());
    }
    FUZZ_CHECK(again);
    FUZZ_CHECK(saved(*again) == text);
}

// Reads every node the way the program's views do: names, texts, the
// attributes the directory and squad pages use, children by index.
void readAll(const std::shared_ptr<XmlTree>& tree)
{
    std::vector<XmlNode> pending{XmlNode(tree, tree->documentNode())};
    int visited = 0;
    while (!pending.empty() && visited < kMaxNodes) {
        const XmlNode node = pending.back();
        pending.pop_back();
        ++visited;
        node.nodeName();
        node.text();
        const XmlNamedNodeMap attributes = node.attributes();
        for (const char* name : {"nick", "web", "id"}) {
            const XmlNode attribute = attributes.getNamedItem(QLatin1String(name));
            if (!attribute.isNull()) {
                FUZZ_CHECK(attribute.nodeName() == QLatin1String(name));
                attribute.text();
            }
        }
        const XmlNodeList children = node.childNodes();
        const int count = children.length();
        FUZZ_CHECK(node.lastChild() == children.item(count - 1));
        FUZZ_CHECK(children.item(count).isNull());
        for (int i = 0; i < count; ++i) {
            const XmlNode child = children.item(i);
            FUZZ_CHECK(!child.isNull());
            pending.push_back(child);
        }
    }
}

// Publishing: the root gets a new squad entry with a nick and a web address,
// and the first entry with a web address is removed. Values are taken from
// the document itself, as the program takes them from squad pages.
void editLikePublishing(const std::shared_ptr<XmlTree>& tree, XmlNode root)
{
    const XmlNodeList children = root.childNodes();
    QString nick = root.text();
    QString web = QStringLiteral("http://127.0.0.1/squads/new.xml");
    XmlNode dead;
    for (int i = 0; i < children.length(); ++i) {
        const XmlNode attribute = children.item(i).attributes().getNamedItem(QStringLiteral("web"));
        if (!attribute.isNull()) {
            web = attribute.text();
            if (dead.isNull())
                dead = children.item(i);
        }
    }

    XmlNode entry = root.appendChild(XmlNode(tree, tree->createElement(QStringLiteral("squad"))));
    XmlNode nickAttribute(tree, tree->createAttribute(QStringLiteral("nick")));
    entry.attributes().setNamedItem(nickAttribute);
    nickAttribute.setText(nick);
    XmlNode webAttribute(tree, tree->createAttribute(QStringLiteral("web")));
    webAttribute.setText(web);
    entry.attributes().setNamedItem(webAttribute);
    FUZZ_CHECK(entry.attributes().getNamedItem(QStringLiteral("nick")).text() == nick);
    FUZZ_CHECK(root.lastChild() == entry);
    if (!dead.isNull())
        root.removeChild(dead);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray document = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));

    const std::shared_ptr<XmlTree> whole = parse(document, qMax<qsizetype>(document.size(), 1));
    // Pieces of 1 to 32 bytes, chosen by the input so that the fuzzer varies
    // the cuts along with the content.
    const qsizetype piece = size == 0 ? 1 : 1 + data[size / 2] % 32;
    checkSameOutcome(whole, parse(document, piece));

    if (std::all_of(document.begin(), document.end(), [](char c) { return uchar(c) < 0x80; })) {
        static const QByteArray charsets[] = {"ISO-8859-1", "windows-1252", "utf-8", "x-no-such-charset"};
        checkSameOutcome(whole, parse(document, qMax<qsizetype>(document.size(), 1), nullptr, charsets[size % 4]));
    }
    if (!whole)
        return 0;

    readAll(whole);
    checkReloads(*whole);

    XmlNode root(whole, XmlTree::lastChild(whole->documentNode()));
    try {
        editLikePublishing(whole, root);
    } catch (const EOleException&) {
        // No element to edit (a comment after the root): refused, and what
        // was done before must still save and load.
    }
    readAll(whole);
    checkReloads(*whole);
    return 0;
}
