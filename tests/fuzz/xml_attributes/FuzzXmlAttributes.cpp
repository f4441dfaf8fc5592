// Fuzz target: documents heavy with attributes and with the entity
// references in them, as a squad page or a directory may be written to hurt:
// the input follows an internal subset that declares entities small and
// large, nested and holding markup, and is parsed with a budget (the
// program's kind, smaller limits so that a run stays fast).
//
// Checked beyond "no crash, no sanitizer report":
// - fed whole and fed in pieces, the document fails in both or gives the
//   same document in both;
// - a tree never holds more nodes than the budget, nor more attribute text
//   than the document's own (decoded) plus the expansion the budget allows;
// - a refusal by the budget says so and counts as a refusal on a limit,
//   never as a document that is ill-formed (which would make a squad page
//   a dead one).

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "XmlBudget.h"
#include "XmlNode.h"
#include "XmlNodeList.h"
#include "XmlTree.h"

namespace {

// Small enough that an input of a few kilobytes passes it, in the middle of
// an element's attributes too.
constexpr qint64 kMaxNodes = 300;
constexpr qint64 kMaxExpansion = 200000;

const QByteArray& prologue()
{
    static const QByteArray text = "<!DOCTYPE squad [\n<!ENTITY s \"x\">\n<!ENTITY m \""
        + QByteArray("&s;").repeated(10) + "\">\n<!ENTITY big \"" + QByteArray(4000, 'b')
        + "\">\n<!ENTITY bigger \"" + QByteArray("&big;").repeated(10)
        + "\">\n<!ENTITY mark \"<member nick='&big;' id='&m;'/>\">\n<!ENTITY amp2 \"&#38;#38;\">\n]>\n";
    return text;
}

struct Outcome {
    std::shared_ptr<XmlTree> tree;
    QString error;
    bool limit = false;
};

Outcome parse(const QByteArray& document, qsizetype piece)
{
    XmlTree::Parser parser(QByteArray(), QStringLiteral("fuzz.xml"), XmlBudget(0, kMaxNodes, kMaxExpansion));
    for (qsizetype pos = 0; pos < document.size(); pos += piece) {
        if (!parser.feed(document.constData() + pos, std::min(piece, document.size() - pos)))
            break;
    }
    Outcome outcome;
    outcome.tree = parser.finish();
    outcome.error = parser.error();
    outcome.limit = parser.failedOnLimit();
    if (!outcome.tree)
        FUZZ_CHECK(!outcome.error.isEmpty());
    if (outcome.error.contains(QLatin1String("entity references expand"))
        || outcome.error.contains(QLatin1String("more than")))
        FUZZ_CHECK(outcome.limit);
    return outcome;
}

QByteArray saved(const XmlTree& tree)
{
    QByteArray text;
    FUZZ_CHECK(tree.serialize([&text](const char* data, int size) {
        text.append(data, size);
        return true;
    }));
    return text;
}

// The nodes of the tree and the bytes of the attributes the program reads.
void measure(const std::shared_ptr<XmlTree>& tree, qint64* nodes, qint64* attributeBytes)
{
    std::vector<XmlNode> pending{XmlNode(tree, tree->documentNode())};
    QByteArray value;
    while (!pending.empty()) {
        const XmlNode node = pending.back();
        pending.pop_back();
        ++*nodes;
        for (const char* name : {"nick", "id", "web"}) {
            value.clear();
            node.appendAttributeValue(name, value);
            *attributeBytes += value.size();
        }
        for (XmlNode child = node.firstChild(); child; child = child.nextSibling())
            pending.push_back(child);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray document =
        prologue() + QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
    const Outcome whole = parse(document, document.size() + 1);
    const Outcome pieces = parse(document, 7);
    FUZZ_CHECK(!whole.tree == !pieces.tree);
    if (!whole.tree)
        return 0;
    FUZZ_CHECK(saved(*whole.tree) == saved(*pieces.tree));

    qint64 nodes = 0;
    qint64 attributeBytes = 0;
    measure(whole.tree, &nodes, &attributeBytes);
    FUZZ_CHECK(nodes <= kMaxNodes);
    // A byte of the input is at most three of UTF-8 (Latin-1 or UTF-16
    // input); everything beyond that came from entity references.
    FUZZ_CHECK(attributeBytes <= 3 * qint64(size) + kMaxExpansion);
    return 0;
}
