#include "XmlTree.h"

#include <libxml/tree.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "EOleException.h"
#include "XmlNode.h"
#include "XmlTreeSupport.h"

using XmlTreeSupport::fullText;
using XmlTreeSupport::isXmlSpace;
using XmlTreeSupport::utf8;

namespace
{

xmlNodePtr asNode(void* node)
{
    return static_cast<xmlNodePtr>(node);
}

// XML white space only: a no-break space at the end of a name is content.
QString trimmedText(const xmlChar* s)
{
    if (!s)
        return QString();
    const xmlChar* end = s + std::strlen(utf8(s));
    while (s < end && isXmlSpace(*s))
        ++s;
    while (end > s && isXmlSpace(end[-1]))
        --end;
    return QString::fromUtf8(utf8(s), end - s);
}

// Characters XML 1.0 allows. Anything else would serialise as text that no
// parser accepts, so the document could not be loaded again after save().
bool isXmlText(const QString& value)
{
    const auto chars = QStringView(value);
    for (qsizetype i = 0; i < chars.size(); ++i) {
        const char16_t c = chars[i].unicode();
        if (QChar::isHighSurrogate(c)) {
            if (i + 1 >= chars.size() || !QChar::isLowSurrogate(chars[i + 1].unicode()))
                return false;
            ++i;
            continue;
        }
        if (QChar::isLowSurrogate(c))
            return false;
        if (c < 0x20 && c != 0x9 && c != 0xA && c != 0xD)
            return false;
        if (c == 0xFFFE || c == 0xFFFF)
            return false;
    }
    return true;
}

QByteArray checkedName(const QString& name)
{
    const QByteArray bytes = name.toUtf8();
    if (name.isEmpty() || !isXmlText(name) ||
        xmlValidateName(reinterpret_cast<const xmlChar*>(bytes.constData()), 0) != 0)
        throw EOleException(QStringLiteral("\"%1\" is not a valid XML name").arg(name));
    return bytes;
}

QString qualifiedName(const xmlChar* name, xmlNsPtr ns)
{
    if (ns && ns->prefix)
        return fullText(ns->prefix) + QLatin1Char(':') + fullText(name);
    return fullText(name);
}

void linkLastChild(xmlNodePtr parent, xmlNodePtr child)
{
    // Linked by hand: xmlAddChild merges adjacent text nodes and frees the
    // one it merged, which would leave an XmlNode pointing at freed memory.
    child->parent = parent;
    child->next = nullptr;
    child->prev = parent->last;
    if (parent->last)
        parent->last->next = child;
    else
        parent->children = child;
    parent->last = child;
}

} // namespace

// ---------------------------------------------------------------- XmlTree

void XmlTree::DocDeleter::operator()(_xmlDoc* doc) const
{
    xmlFreeDoc(doc);
}

XmlTree::XmlTree(DocPtr doc) : m_doc(std::move(doc)) {}

XmlTree::~XmlTree()
{
    // A parked node may since have been attached somewhere else (then its new
    // parent frees it), and may have been parked more than once. Decide which
    // ones are free-standing before freeing any, since freeing one may free
    // others inside it.
    std::sort(m_orphans.begin(), m_orphans.end());
    m_orphans.erase(std::unique(m_orphans.begin(), m_orphans.end()), m_orphans.end());
    std::vector<xmlNodePtr> loose;
    for (void* node : m_orphans) {
        if (!asNode(node)->parent)
            loose.push_back(asNode(node));
    }
    // Before the document: names may live in its dictionary.
    for (xmlNodePtr node : loose)
        xmlFreeNode(node); // frees attributes too
}

std::shared_ptr<XmlTree> XmlTree::createEmpty()
{
    XmlTreeSupport::initLibrary();
    xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
    if (!doc)
        throw EOleException(QStringLiteral("Out of memory"));
    return std::make_shared<XmlTree>(DocPtr(doc));
}

void* XmlTree::documentNode() const
{
    return m_doc.get();
}

bool XmlTree::hasContent() const
{
    return m_doc->children != nullptr;
}

void XmlTree::park(void* node)
{
    m_orphans.push_back(node);
}

void XmlTree::check(void* node) const
{
    if (!node)
        throw EOleException(QStringLiteral("No node"));
    if (asNode(node)->doc != m_doc.get())
        throw EOleException(QStringLiteral("The node belongs to another document"));
}

void* XmlTree::createElement(const QString& name)
{
    const QByteArray bytes = checkedName(name);
    xmlNodePtr node = xmlNewDocNode(m_doc.get(), nullptr, BAD_CAST bytes.constData(), nullptr);
    if (!node)
        throw EOleException(QStringLiteral("Out of memory"));
    park(node);
    return node;
}

void* XmlTree::createAttribute(const QString& name)
{
    const QByteArray bytes = checkedName(name);
    xmlAttrPtr attr = xmlNewDocProp(m_doc.get(), BAD_CAST bytes.constData(), nullptr);
    if (!attr)
        throw EOleException(QStringLiteral("Out of memory"));
    park(attr);
    return attr;
}

QString XmlTree::nodeName(void* node)
{
    xmlNodePtr n = asNode(node);
    switch (n->type) {
    case XML_ELEMENT_NODE:
        return qualifiedName(n->name, n->ns);
    case XML_ATTRIBUTE_NODE:
        return qualifiedName(n->name, reinterpret_cast<xmlAttrPtr>(n)->ns);
    case XML_TEXT_NODE:
        return QStringLiteral("#text");
    case XML_CDATA_SECTION_NODE:
        return QStringLiteral("#cdata-section");
    case XML_COMMENT_NODE:
        return QStringLiteral("#comment");
    case XML_DOCUMENT_NODE:
        return QStringLiteral("#document");
    default: // processing instruction (its target), document type, entity reference
        return fullText(n->name);
    }
}

QString XmlTree::text(void* node)
{
    xmlNodePtr n = asNode(node);
    switch (n->type) {
    case XML_ATTRIBUTE_NODE:
        // The common case, one text child, is read in place: the directory
        // reads two attributes of every entry.
        if (!n->children)
            return QString();
        if (n->children == n->last && n->children->type == XML_TEXT_NODE)
            return fullText(n->children->content);
        break;
    case XML_ELEMENT_NODE:
        if (!n->children)
            return QString();
        if (n->children == n->last &&
            (n->children->type == XML_TEXT_NODE || n->children->type == XML_CDATA_SECTION_NODE))
            return trimmedText(n->children->content);
        {
            xmlChar* content = xmlNodeGetContent(n);
            QString result = trimmedText(content);
            xmlFree(content);
            return result;
        }
    case XML_DOCUMENT_NODE: {
        xmlNodePtr root = xmlDocGetRootElement(reinterpret_cast<xmlDocPtr>(n));
        return root ? text(root) : QString();
    }
    case XML_DTD_NODE:
        return QString();
    default:
        break;
    }
    xmlChar* content = xmlNodeGetContent(n);
    QString result = fullText(content);
    xmlFree(content);
    return result;
}

void* XmlTree::lastChild(void* node)
{
    xmlNodePtr n = asNode(node);
    // Attribute values and entity references have children in libxml2 but
    // none that the service shows.
    if (n->type != XML_ELEMENT_NODE && n->type != XML_DOCUMENT_NODE)
        return nullptr;
    return n->last;
}

void* XmlTree::firstChild(void* node)
{
    xmlNodePtr n = asNode(node);
    if (n->type != XML_ELEMENT_NODE && n->type != XML_DOCUMENT_NODE)
        return nullptr;
    return n->children;
}

void* XmlTree::nextSibling(void* node)
{
    xmlNodePtr n = asNode(node);
    // An attribute's next is the element's next attribute, no sibling.
    if (n->type == XML_ATTRIBUTE_NODE)
        return nullptr;
    return n->next;
}

XmlNodeList XmlTree::childNodes(const std::shared_ptr<XmlTree>& tree, void* node)
{
    xmlNodePtr n = asNode(node);
    if (n->type != XML_ELEMENT_NODE && n->type != XML_DOCUMENT_NODE)
        return XmlNodeList();
    qsizetype count = 0;
    for (xmlNodePtr c = n->children; c; c = c->next)
        ++count;
    QVector<XmlNode> nodes;
    nodes.reserve(count);
    for (xmlNodePtr c = n->children; c; c = c->next)
        nodes.append(XmlNode(tree, c));
    return XmlNodeList(std::move(nodes));
}

bool XmlTree::isElement(void* node)
{
    return node && asNode(node)->type == XML_ELEMENT_NODE;
}

void* XmlTree::findAttribute(void* element, const QString& name)
{
    xmlNodePtr n = asNode(element);
    if (n->type != XML_ELEMENT_NODE)
        return nullptr;
    for (xmlAttrPtr a = n->properties; a; a = a->next) {
        if (a->ns && a->ns->prefix) {
            if (qualifiedName(a->name, a->ns) == name)
                return a;
        } else if (QAnyStringView::equal(QUtf8StringView(utf8(a->name)), name)) {
            return a;
        }
    }
    return nullptr;
}

QString XmlTree::attributeValue(void* element, const char* name)
{
    xmlNodePtr n = asNode(element);
    if (n->type != XML_ELEMENT_NODE)
        return QString();
    for (xmlAttrPtr a = n->properties; a; a = a->next) {
        if (!(a->ns && a->ns->prefix) &&
            std::strcmp(reinterpret_cast<const char*>(a->name), name) == 0)
            return text(a);
    }
    return QString();
}

void XmlTree::appendAttributeValue(void* element, const char* name, QByteArray& out)
{
    xmlNodePtr n = asNode(element);
    if (n->type != XML_ELEMENT_NODE)
        return;
    for (xmlAttrPtr a = n->properties; a; a = a->next) {
        if ((a->ns && a->ns->prefix) || std::strcmp(utf8(a->name), name) != 0)
            continue;
        // As text() reads it: one text child in place, anything else through
        // libxml2's own joining.
        if (!a->children)
            return;
        if (a->children == a->last && a->children->type == XML_TEXT_NODE) {
            if (a->children->content)
                out.append(utf8(a->children->content));
            return;
        }
        xmlChar* content = xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(a));
        if (content)
            out.append(utf8(content));
        xmlFree(content);
        return;
    }
}

void XmlTree::setText(void* node, const QString& value)
{
    check(node);
    if (!isXmlText(value))
        throw EOleException(
            QStringLiteral("The text contains a character that XML does not allow"));
    xmlNodePtr n = asNode(node);
    const QByteArray bytes = value.toUtf8();
    switch (n->type) {
    case XML_ELEMENT_NODE: {
        // The old children may still be referenced: park them, do not free.
        while (xmlNodePtr child = n->children) {
            xmlUnlinkNode(child);
            park(child);
        }
        if (!bytes.isEmpty()) {
            xmlNodePtr textNode =
                xmlNewDocTextLen(n->doc, BAD_CAST bytes.constData(), int(bytes.size()));
            if (!textNode)
                throw EOleException(QStringLiteral("Out of memory"));
            linkLastChild(n, textNode);
        }
        return;
    }
    case XML_ATTRIBUTE_NODE: {
        // An attribute's text children are never handed out, so they can go.
        xmlNodePtr textNode =
            xmlNewDocTextLen(n->doc, BAD_CAST bytes.constData(), int(bytes.size()));
        if (!textNode)
            throw EOleException(QStringLiteral("Out of memory"));
        xmlFreeNodeList(n->children);
        n->children = n->last = nullptr;
        linkLastChild(n, textNode);
        return;
    }
    case XML_COMMENT_NODE:
        if (bytes.contains("--") || bytes.endsWith('-'))
            throw EOleException(
                QStringLiteral("A comment cannot contain \"--\" or end with \"-\""));
        break;
    case XML_PI_NODE:
        if (bytes.contains("?>"))
            throw EOleException(QStringLiteral("A processing instruction cannot contain \"?>\""));
        break;
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
        break;
    default:
        throw EOleException(QStringLiteral("The text of this node cannot be set"));
    }
    // Text, CDATA, comment, PI: xmlNodeSetContent copies the value as it is.
    xmlNodeSetContent(n, BAD_CAST bytes.constData());
}

void* XmlTree::setAttribute(void* element, void* attribute)
{
    check(element);
    check(attribute);
    xmlNodePtr e = asNode(element);
    auto attr = static_cast<xmlAttrPtr>(attribute);
    if (e->type != XML_ELEMENT_NODE)
        throw EOleException(QStringLiteral("Only elements have attributes"));
    if (attr->type != XML_ATTRIBUTE_NODE)
        throw EOleException(QStringLiteral("The node is not an attribute"));
    if (attr->parent == e)
        return attr;
    if (attr->parent)
        throw EOleException(QStringLiteral("The attribute is already attached to another element"));

    xmlAttrPtr old = nullptr;
    for (xmlAttrPtr a = e->properties; a; a = a->next) {
        if (xmlStrEqual(a->name, attr->name) && a->ns == attr->ns) {
            old = a;
            break;
        }
    }
    attr->parent = e;
    if (old) {
        // Takes the replaced attribute's place, so the order stays as written.
        attr->prev = old->prev;
        attr->next = old->next;
        if (old->prev)
            old->prev->next = attr;
        else
            e->properties = attr;
        if (old->next)
            old->next->prev = attr;
        old->parent = nullptr;
        old->prev = old->next = nullptr;
        park(old);
    } else {
        attr->next = nullptr;
        attr->prev = nullptr;
        if (!e->properties) {
            e->properties = attr;
        } else {
            xmlAttrPtr last = e->properties;
            while (last->next)
                last = last->next;
            last->next = attr;
            attr->prev = last;
        }
    }
    return attr;
}

void* XmlTree::appendChild(void* parent, void* child)
{
    check(parent);
    check(child);
    xmlNodePtr p = asNode(parent);
    xmlNodePtr c = asNode(child);
    if (p->type != XML_ELEMENT_NODE)
        throw EOleException(QStringLiteral("Only elements can take child nodes"));
    switch (c->type) {
    case XML_ELEMENT_NODE:
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
        break;
    default:
        throw EOleException(QStringLiteral("This kind of node cannot be appended as a child"));
    }
    for (xmlNodePtr a = p; a; a = a->parent) {
        if (a == c)
            throw EOleException(
                QStringLiteral("A node cannot be appended to itself or its descendants"));
    }
    if (c->parent)
        xmlUnlinkNode(c);
    linkLastChild(p, c);
    return c;
}

void* XmlTree::removeChild(void* parent, void* child)
{
    check(parent);
    check(child);
    xmlNodePtr c = asNode(child);
    if (c->type == XML_ATTRIBUTE_NODE || c->parent != asNode(parent))
        throw EOleException(QStringLiteral("The node is not a child of this node"));
    xmlUnlinkNode(c);
    park(c);
    return c;
}
