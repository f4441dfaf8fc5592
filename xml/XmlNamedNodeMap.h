#pragma once

#include "XmlNode.h"

// The attributes of one element.
class XmlNamedNodeMap {
public:
    XmlNamedNodeMap() = default;
    explicit XmlNamedNodeMap(XmlNode element) : m_element(std::move(element)) {}

    // No node, not an error, when the element lacks the attribute.
    XmlNode getNamedItem(const QString& name) const;
    // Attaches an attribute made by XmlDocument::createAttribute; an attribute
    // of the same name is replaced. Returns the attached attribute.
    XmlNode setNamedItem(const XmlNode& attribute);

private:
    XmlNode m_element;
};
