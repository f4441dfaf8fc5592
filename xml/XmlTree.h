#pragma once

// XmlTree: the shared owner of one parsed (or newly created) document. With
// its parser it is the only unit of the service that talks to libxml2.
//
// Every XmlNode holds a shared_ptr to the tree it points into, so a tree lives
// as long as its XmlDocument shows it or any node reference still points into
// it. Nodes are therefore never freed while the tree lives: a node that is
// removed from the document, or whose content is replaced, is parked in the
// tree's orphan list and freed with the tree. That keeps every XmlNode valid
// for as long as it exists, whatever happens to the document meanwhile.
//
// Node handles are passed around as void* (xmlNodePtr or xmlAttrPtr) so that
// no other unit needs libxml2's headers.
//
// The tree's node operations are in XmlTree.cpp, its serialising in
// XmlTreeSave.cpp; XmlTreeParser builds trees from a transfer's bytes.

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

#include "XmlNodeList.h"
#include "XmlTreeParser.h"

struct _xmlDoc;

struct XmlTree {
    struct DocDeleter {
        void operator()(_xmlDoc* doc) const;
    };
    using DocPtr = std::unique_ptr<_xmlDoc, DocDeleter>;

    explicit XmlTree(DocPtr doc);
    ~XmlTree();
    XmlTree(const XmlTree&) = delete;
    XmlTree& operator=(const XmlTree&) = delete;

    // A document with no content, to own nodes created before anything loads.
    static std::shared_ptr<XmlTree> createEmpty();

    void* documentNode() const;
    bool hasContent() const; // false: no top-level node at all

    // The document as UTF-8 XML with declaration, indented; nothing when the
    // document has no content. Loading this text again gives the same tree.
    // sink returns false to stop (a write failed); serialize then returns
    // false too.
    bool serialize(const std::function<bool(const char* data, int size)>& sink) const;
    QString toText() const;

    // Both throw EOleException for a name that is not a valid XML name.
    void* createElement(const QString& name);
    void* createAttribute(const QString& name);

    // Node operations on handles of this tree. All throw EOleException when the
    // operation does not apply to the node.
    static QString nodeName(void* node);
    static QString text(void* node);
    static void* lastChild(void* node);
    static void* firstChild(void* node);
    static void* nextSibling(void* node);
    static XmlNodeList childNodes(const std::shared_ptr<XmlTree>& tree, void* node);
    static void* findAttribute(void* element, const QString& name);
    // The value of an element's attribute without a namespace prefix, or
    // empty text when it has none or the node is no element.
    static QString attributeValue(void* element, const char* name);
    static void appendAttributeValue(void* element, const char* name, QByteArray& out);
    static bool isElement(void* node);

    void setText(void* node, const QString& value);
    void* setAttribute(void* element, void* attribute);
    void* appendChild(void* parent, void* child);
    void* removeChild(void* parent, void* child);

    // The parser of one document transfer (XmlTreeParser.h).
    using Parser = XmlTreeParser;

private:
    void park(void* node); // removed from the document; freed with the tree
    void check(void* node) const;

    DocPtr m_doc;
    std::vector<void*> m_orphans;
};
