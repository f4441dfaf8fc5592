#pragma once

#include <QVector>

#include "XmlNode.h"

// A node's children in document order, taken when childNodes() is called.
class XmlNodeList {
public:
    XmlNodeList() = default;
    explicit XmlNodeList(QVector<XmlNode> nodes) : m_nodes(std::move(nodes)) {}

    int length() const { return int(m_nodes.size()); }
    // No node for an index out of range, as the DOM does.
    XmlNode item(int index) const
    {
        return index >= 0 && index < m_nodes.size() ? m_nodes[index] : XmlNode();
    }

private:
    QVector<XmlNode> m_nodes;
};
