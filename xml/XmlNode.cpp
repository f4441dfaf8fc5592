#include "XmlNode.h"

#include "XmlNamedNodeMap.h"
#include "XmlNodeList.h"
#include "XmlTree.h"

namespace {

// Every call on "no node" fails the way the document service reports it.
void requireNode(const XmlNode& node)
{
    if (node.isNull())
        throw EOleException(QStringLiteral("Object required: the node does not exist"));
}

} // namespace

bool XmlNode::isElement() const
{
    return m_node && XmlTree::isElement(m_node);
}

QString XmlNode::nodeName() const
{
    requireNode(*this);
    return XmlTree::nodeName(m_node);
}

XmlNodeList XmlNode::childNodes() const
{
    requireNode(*this);
    return XmlTree::childNodes(m_tree, m_node);
}

XmlNamedNodeMap XmlNode::attributes() const
{
    requireNode(*this);
    // Non-elements get an empty map, so that asking it for an attribute gives
    // "no node" rather than an error.
    return XmlTree::isElement(m_node) ? XmlNamedNodeMap(*this) : XmlNamedNodeMap();
}

XmlNode XmlNode::lastChild() const
{
    requireNode(*this);
    void* last = XmlTree::lastChild(m_node);
    return last ? XmlNode(m_tree, last) : XmlNode();
}

XmlNode XmlNode::firstChild() const
{
    requireNode(*this);
    void* first = XmlTree::firstChild(m_node);
    return first ? XmlNode(m_tree, first) : XmlNode();
}

XmlNode XmlNode::nextSibling() const
{
    requireNode(*this);
    void* next = XmlTree::nextSibling(m_node);
    return next ? XmlNode(m_tree, next) : XmlNode();
}

void XmlNode::appendAttributeValue(const char* name, QByteArray& out) const
{
    requireNode(*this);
    XmlTree::appendAttributeValue(m_node, name, out);
}

QString XmlNode::attributeValue(const char* name) const
{
    requireNode(*this);
    return XmlTree::attributeValue(m_node, name);
}

QString XmlNode::text() const
{
    requireNode(*this);
    return XmlTree::text(m_node);
}

void XmlNode::setText(const QString& value)
{
    requireNode(*this);
    m_tree->setText(m_node, value);
}

XmlNode XmlNode::appendChild(const XmlNode& child)
{
    requireNode(*this);
    requireNode(child);
    if (child.m_tree != m_tree)
        throw EOleException(QStringLiteral("The node belongs to another document"));
    m_tree->appendChild(m_node, child.m_node);
    return child;
}

XmlNode XmlNode::removeChild(const XmlNode& child)
{
    requireNode(*this);
    requireNode(child);
    if (child.m_tree != m_tree)
        throw EOleException(QStringLiteral("The node is not a child of this node"));
    m_tree->removeChild(m_node, child.m_node);
    return child;
}
