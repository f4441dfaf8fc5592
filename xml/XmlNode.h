#pragma once

// XmlNode: a counted reference to one node of a document (element, attribute,
// text, comment, processing instruction). A reference keeps the whole parsed
// document alive, also after its XmlDocument has loaded something else, so
// that a view may keep pointing at elements of a page it no longer shows.
//
// A default-constructed XmlNode is "no node". Calls on no node, and every
// other failing call, throw EOleException.

#include <QByteArray>
#include <QString>
#include <memory>

#include "EOleException.h"

class XmlNodeList;
class XmlNamedNodeMap;
struct XmlTree; // the shared owner of one parsed libxml2 document

class XmlNode {
public:
    XmlNode() = default;

    bool isNull() const { return m_node == nullptr; }
    explicit operator bool() const { return m_node != nullptr; }
    bool operator==(const XmlNode& other) const { return m_node == other.m_node; }

    QString nodeName() const;
    bool isElement() const; // false for no node
    XmlNodeList childNodes() const;     // whitespace-only text between elements is no node
    XmlNamedNodeMap attributes() const; // of an element; of any other node an empty map
    XmlNode lastChild() const;
    // The first child and the next sibling, the nodes childNodes() lists,
    // for walking a long list without building it; an attribute has neither.
    XmlNode firstChild() const;
    XmlNode nextSibling() const;

    // Element: the value of its attribute of this name (one without a
    // namespace prefix), or empty text when it has none; any other node:
    // empty text. The same as attributes().getNamedItem(name).text(), without
    // the map and the node between, for reading many elements.
    QString attributeValue(const char* name) const;
    // The same value appended to out as UTF-8, read in place: no text is
    // made for it.
    void appendAttributeValue(const char* name, QByteArray& out) const;

    // Element: its text content without leading and trailing white space.
    // Attribute: its value. Text, comment: its content.
    QString text() const;
    // Element: replaces its content with one text node. Attribute: sets its
    // value, also after it was attached to an element.
    void setText(const QString& value);

    XmlNode appendChild(const XmlNode& child); // returns the appended node
    XmlNode removeChild(const XmlNode& child); // returns the removed node

    // Internal: used by the service's own classes.
    XmlNode(std::shared_ptr<XmlTree> tree, void* node) : m_tree(std::move(tree)), m_node(node) {}
    void* handle() const { return m_node; }
    const std::shared_ptr<XmlTree>& tree() const { return m_tree; }

private:
    std::shared_ptr<XmlTree> m_tree;
    void* m_node = nullptr; // xmlNodePtr or xmlAttrPtr
};
