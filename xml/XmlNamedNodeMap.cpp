#include "XmlNamedNodeMap.h"

#include "XmlTree.h"

XmlNode XmlNamedNodeMap::getNamedItem(const QString& name) const
{
    if (m_element.isNull())
        return XmlNode();
    void* attr = XmlTree::findAttribute(m_element.handle(), name);
    return attr ? XmlNode(m_element.tree(), attr) : XmlNode();
}

XmlNode XmlNamedNodeMap::setNamedItem(const XmlNode& attribute)
{
    if (m_element.isNull())
        throw EOleException(QStringLiteral("Only elements have attributes"));
    if (attribute.isNull())
        throw EOleException(QStringLiteral("Object required: the attribute does not exist"));
    if (attribute.tree() != m_element.tree())
        throw EOleException(QStringLiteral("The attribute belongs to another document"));
    m_element.tree()->setAttribute(m_element.handle(), attribute.handle());
    return attribute;
}
