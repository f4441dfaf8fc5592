#pragma once

// XmlBudget: how much of a document the parser may build before it refuses
// the document, and the count of one parse against it.
//
// The size limit of a transfer bounds the text, not what the text builds:
// 60 MB of empty elements make twelve million nodes, and an entity of a few
// kilobytes referenced in thousands of attribute values makes gigabytes of
// text. So a parse counts the nodes libxml2 builds (elements, attributes,
// texts, also those an entity reference copies) and the bytes of text entity
// references put into the document, wherever they stand, and stops as soon
// as one count passes its limit. A limit of 0 sets none.

#include <QString>

class XmlBudget {
public:
    // Every document's: three million nodes (a directory of 600,000 squads
    // as the program writes it; a tree of about 400 MB) and ten million
    // bytes of text from entity references (as much as libxml2 allows in
    // one text node), no limit of its own on elements.
    static constexpr qint64 defaultMaxNodes = 3000000;
    static constexpr qint64 defaultMaxExpansion = 10000000;

    XmlBudget() = default;
    XmlBudget(qint64 maxElements, qint64 maxNodes, qint64 maxExpansion)
        : m_maxElements(maxElements), m_maxNodes(maxNodes), m_maxExpansion(maxExpansion)
    {
    }

    qint64 maxElements() const { return m_maxElements; }
    qint64 maxNodes() const { return m_maxNodes; }
    qint64 maxExpansion() const { return m_maxExpansion; }
    bool limitsNodes() const { return m_maxElements > 0 || m_maxNodes > 0; }

    // One more node (an element when element is set). False once a limit is
    // passed; exceeded() then says which.
    bool addNode(bool element);
    // The bytes of text one entity reference puts into the document.
    bool addExpansion(qint64 bytes);
    // Why the budget is spent; empty while it is not.
    QString exceeded() const { return m_exceeded; }

private:
    qint64 m_maxElements = 0;
    qint64 m_maxNodes = defaultMaxNodes;
    qint64 m_maxExpansion = defaultMaxExpansion;
    qint64 m_elements = 0;
    qint64 m_nodes = 0;
    qint64 m_expansion = 0;
    QString m_exceeded;
};
