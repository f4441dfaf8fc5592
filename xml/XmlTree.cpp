#include "XmlTree.h"

#include <QStringDecoder>

#include <libxml/SAX2.h>
#include <libxml/encoding.h>
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>
#include <utility>

#include "EOleException.h"
#include "XmlNode.h"

// Rules for untrusted documents
// -----------------------------
// Squad pages come from web spaces the program does not control, so the
// parser is locked down:
// - No DTD is loaded, no external entity is resolved and the parser never
//   goes to the network (no XML_PARSE_DTDLOAD, XML_PARSE_NONET, and a
//   process-wide external entity loader that refuses everything, in case
//   some path still asks for one).
// - Entities declared in the document's internal subset are expanded
//   (XML_PARSE_NOENT): pages written by hand use them for a clan name or a
//   greeting. Any entity declaration that names something outside the
//   document (SYSTEM or PUBLIC, parsed or unparsed, general or parameter) is
//   refused at the declaration, so with XML_PARSE_NOENT there is nothing
//   external left to load.
// - XML_PARSE_HUGE is never used, so libxml2 keeps its limits on nesting
//   depth, on the length of names and text nodes and on entity expansion:
//   an expansion bomb, or one large entity referenced over and over, stops
//   with "Detected an entity reference loop" once the expanded text
//   outgrows the document by far, before it takes much memory or time.
// - A budget (XmlBudget) stops a document with more nodes or elements than
//   the caller wants to hold; it counts every node libxml2 builds,
//   including the copies an entity reference makes. libxml2 stops entity
//   references in element text that expand far beyond the document, but
//   not those in attribute values: one entity of 30,000 characters in
//   60,000 attribute values is 1.8 GB of text from a page of 1 MB. So every
//   reference to an internal entity, in text or in an attribute value, at
//   any depth, charges the entity's length against the budget's expansion
//   limit, and the reference that passes it is refused.
// A document refused by one of these limits may be fine and only more than
// this program takes: failedOnLimit() tells the caller so, since such a
// failure says nothing about the document being gone. The size cap on the
// whole document is enforced by the transfer (XmlLoader).

namespace {

xmlNodePtr asNode(void* node)
{
    return static_cast<xmlNodePtr>(node);
}

const char* utf8(const xmlChar* s)
{
    return reinterpret_cast<const char*>(s);
}

bool isXmlSpace(xmlChar c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isBlank(const xmlChar* s)
{
    if (!s)
        return true;
    for (; *s; ++s) {
        if (!isXmlSpace(*s))
            return false;
    }
    return true;
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

QString fullText(const xmlChar* s)
{
    return s ? QString::fromUtf8(utf8(s)) : QString();
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
    if (name.isEmpty() || !isXmlText(name)
        || xmlValidateName(reinterpret_cast<const xmlChar*>(bytes.constData()), 0) != 0)
        throw EOleException(QStringLiteral("\"%1\" is not a valid XML name").arg(name));
    return bytes;
}

QString qualifiedName(const xmlChar* name, xmlNsPtr ns)
{
    if (ns && ns->prefix)
        return fullText(ns->prefix) + QLatin1Char(':') + fullText(name);
    return fullText(name);
}

xmlParserInputPtr refuseExternalEntity(const char*, const char*, xmlParserCtxtPtr)
{
    return nullptr;
}

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(refuseExternalEntity);
    });
}

// Removes the whitespace-only text nodes between elements, which the callers
// must not see as nodes. An element under xml:space="preserve" keeps them.
// Iterative, because a document may nest as deep as libxml2 allows.
bool preservesSpace(xmlNodePtr element, bool inherited)
{
    for (xmlAttrPtr a = element->properties; a; a = a->next) {
        if (a->ns && xmlStrEqual(a->ns->href, XML_XML_NAMESPACE)
            && xmlStrEqual(a->name, BAD_CAST "space") && a->children) {
            if (xmlStrEqual(a->children->content, BAD_CAST "preserve"))
                return true;
            if (xmlStrEqual(a->children->content, BAD_CAST "default"))
                return false;
        }
    }
    return inherited;
}

void stripBlankText(xmlDocPtr doc)
{
    std::vector<bool> preserve{false};
    auto advance = [&preserve](xmlNodePtr n) -> xmlNodePtr {
        while (n) {
            if (n->next)
                return n->next;
            n = n->parent;
            if (!n || n->type != XML_ELEMENT_NODE)
                return nullptr;
            preserve.pop_back();
        }
        return nullptr;
    };
    xmlNodePtr cur = doc->children;
    while (cur) {
        if (cur->type == XML_ELEMENT_NODE && cur->children) {
            preserve.push_back(preservesSpace(cur, preserve.back()));
            cur = cur->children;
            continue;
        }
        const bool blank = cur->type == XML_TEXT_NODE && !preserve.back() && isBlank(cur->content);
        xmlNodePtr next = advance(cur);
        if (blank) {
            xmlUnlinkNode(cur);
            xmlFreeNode(cur);
        }
        cur = next;
    }
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

// Errors that come from libxml2's limits for documents parsed without
// XML_PARSE_HUGE, rather than from the document being ill-formed. libxml2
// 2.9 reports several of them under the codes of ordinary syntax errors
// ("AttValue length too long" is XML_ERR_ATTRIBUTE_NOT_FINISHED), so their
// messages tell.
bool isLimitError(int code, const QString& message)
{
    if (code == XML_ERR_NO_MEMORY || code == XML_ERR_ENTITY_LOOP || code == XML_ERR_NAME_TOO_LONG)
        return true;
    static const char* const markers[] = {"too long", "too big", "too deep", "excessive depth", "huge"};
    return std::any_of(std::begin(markers), std::end(markers), [&message](const char* marker) {
        return message.contains(QLatin1String(marker), Qt::CaseInsensitive);
    });
}

// Structured error callback: libxml2 passes the parser context as userData.
void onParserError(void* userData, xmlErrorPtr error)
{
    auto ctxt = static_cast<xmlParserCtxtPtr>(userData);
    if (!ctxt || !ctxt->_private || !error || error->level < XML_ERR_ERROR)
        return;
    auto parser = static_cast<XmlTree::Parser*>(ctxt->_private);
    const QString message = QString::fromUtf8(error->message ? error->message : "unknown error").trimmed();
    parser->recordError(message, error->code, error->line, error->int2, error->level == XML_ERR_FATAL);
}

void refuseExternal(xmlParserCtxtPtr ctxt, const xmlChar* name)
{
    auto parser = static_cast<XmlTree::Parser*>(ctxt->_private);
    const int line = ctxt->input ? ctxt->input->line : 0;
    parser->refuse(QStringLiteral("The document declares the external entity \"%1\" (line %2); external entities "
                                  "are never loaded")
                       .arg(fullText(name))
                       .arg(line),
                   true);
    xmlStopParser(ctxt);
}

void onEntityDecl(void* ctx, const xmlChar* name, int type, const xmlChar* publicId, const xmlChar* systemId,
                  xmlChar* content)
{
    auto ctxt = static_cast<xmlParserCtxtPtr>(ctx);
    if (type == XML_INTERNAL_GENERAL_ENTITY || type == XML_INTERNAL_PARAMETER_ENTITY)
        xmlSAX2EntityDecl(ctx, name, type, publicId, systemId, content);
    else
        refuseExternal(ctxt, name);
}

void onUnparsedEntityDecl(void* ctx, const xmlChar* name, const xmlChar*, const xmlChar*, const xmlChar*)
{
    refuseExternal(static_cast<xmlParserCtxtPtr>(ctx), name);
}

// libxml2 calls the node registration hook for every node it creates,
// whether the SAX handler builds it or an entity reference copies it, so
// counting there sees every element at the cost of one call. The hook is
// per thread; while one of our parser calls runs, this scope points it at
// the parser, then restores the previous hook.
thread_local XmlTree::Parser* countingParser = nullptr;

void onNodeCreated(xmlNodePtr node)
{
    if (countingParser)
        countingParser->countNode(node->type == XML_ELEMENT_NODE);
}

// Every entity reference is looked up through this callback, in element
// text and in attribute values alike, and again for each reference inside
// an entity's own text while it is expanded.
xmlEntityPtr onGetEntity(void* ctx, const xmlChar* name)
{
    auto ctxt = static_cast<xmlParserCtxtPtr>(ctx);
    xmlEntityPtr entity = xmlSAX2GetEntity(ctx, name);
    if (!entity || entity->etype != XML_INTERNAL_GENERAL_ENTITY || !ctxt || !ctxt->_private)
        return entity;
    auto parser = static_cast<XmlTree::Parser*>(ctxt->_private);
    return parser->chargeExpansion(ctxt, entity->length) ? entity : nullptr;
}

class ElementCountScope {
public:
    // A null parser (no node budget) leaves the hook alone.
    explicit ElementCountScope(XmlTree::Parser* parser) : m_active(parser != nullptr)
    {
        if (!m_active)
            return;
        m_previousParser = std::exchange(countingParser, parser);
        m_previousHook = xmlRegisterNodeDefault(onNodeCreated);
    }
    ~ElementCountScope()
    {
        if (!m_active)
            return;
        xmlRegisterNodeDefault(m_previousHook);
        countingParser = m_previousParser;
    }
    ElementCountScope(const ElementCountScope&) = delete;
    ElementCountScope& operator=(const ElementCountScope&) = delete;

private:
    bool m_active;
    XmlTree::Parser* m_previousParser = nullptr;
    xmlRegisterNodeFunc m_previousHook = nullptr;
};

// Text nodes are built from the parser's character callbacks, so a tree
// holds a text node of white space only when some callback handed over
// white space only. Watching them tells whether the tree needs the walk
// that strips such nodes; a directory, whose white space libxml2 already
// drops between its elements, does not, and the walk over 100,000 entries
// would touch every one of them once more. While one of our parser calls
// runs, this pointer names the parser (entity text, parsed by a context of
// libxml2's own, comes through the same callback).
thread_local XmlTree::Parser* textParser = nullptr;

void onCharacters(void* ctx, const xmlChar* ch, int len)
{
    if (textParser && std::all_of(ch, ch + len, isXmlSpace))
        textParser->noteBlankText();
    xmlSAX2Characters(ctx, ch, len);
}

const QString kUndecodable = QStringLiteral("The document holds bytes that are not valid in its encoding");

// Errors of libxml2's character decoders carry no parser context: they go
// to the thread's global error handlers (which print them) instead of the
// context's, and the parse carries on without the bytes that failed. A
// document with such bytes would load with text silently missing, or, when
// the bytes arrive in a later piece of the transfer, end where they begin.
// While one of our parser calls runs, this scope routes those errors to the
// parser, which refuses the document, and silences the unstructured
// messages that come with them (the load error tells the reason); then the
// previous handlers return.
class DecoderErrorScope {
public:
    explicit DecoderErrorScope(XmlTree::Parser* parser)
        : m_handler(xmlStructuredError)
        , m_context(xmlStructuredErrorContext)
        , m_genericHandler(xmlGenericError)
        , m_genericContext(xmlGenericErrorContext)
    {
        xmlSetStructuredErrorFunc(parser, onError);
        xmlSetGenericErrorFunc(nullptr, ignoreMessage);
    }
    ~DecoderErrorScope()
    {
        xmlSetGenericErrorFunc(m_genericContext, m_genericHandler);
        xmlSetStructuredErrorFunc(m_context, m_handler);
    }
    DecoderErrorScope(const DecoderErrorScope&) = delete;
    DecoderErrorScope& operator=(const DecoderErrorScope&) = delete;

private:
    static void onError(void* userData, xmlErrorPtr error)
    {
        if (!userData || !error || error->level < XML_ERR_ERROR)
            return;
        auto parser = static_cast<XmlTree::Parser*>(userData);
        if (error->domain == XML_FROM_I18N || (error->domain == XML_FROM_IO && error->code == XML_IO_ENCODER))
            parser->refuse(kUndecodable, false);
        else {
            const QString message = QString::fromUtf8(error->message ? error->message : "unknown error").trimmed();
            parser->refuse(message, isLimitError(error->code, message));
        }
    }
    static void ignoreMessage(void*, const char*, ...) {}

    xmlStructuredErrorFunc m_handler;
    void* m_context;
    xmlGenericErrorFunc m_genericHandler;
    void* m_genericContext;
};

bool hasByteOrderMarkOrWideStart(const QByteArray& head)
{
    if (head.startsWith("\xEF\xBB\xBF") || head.startsWith("\xFE\xFF") || head.startsWith("\xFF\xFE"))
        return true;
    // UTF-16 or UTF-32 without a mark: libxml2 detects those from "<?xm" itself.
    return head.left(4).contains('\0');
}

bool declaresEncoding(const QByteArray& head)
{
    if (!head.startsWith("<?xml"))
        return false;
    const qsizetype end = head.indexOf("?>");
    return head.left(end < 0 ? head.size() : end).contains("encoding");
}

struct OutputSink {
    const std::function<bool(const char*, int)>* sink;
    bool failed = false;
};

int writeToSink(void* context, const char* buffer, int len)
{
    auto out = static_cast<OutputSink*>(context);
    if (out->failed || !(*out->sink)(buffer, len)) {
        out->failed = true;
        return -1;
    }
    return len;
}

int closeSink(void*)
{
    return 0;
}

// libxml2 writes a namespace declaration's name between quotes as it is,
// without escaping it like an attribute value (it only picks the quote).
// A name read from xmlns="&lt;" is thus saved as xmlns="<", which no parser
// accepts, and one holding a tab or line break from a character reference
// reads back with a space instead: a published directory would no longer
// load, or load different. For the time of a save, each such name is
// replaced by its escaped form, which the verbatim write turns into the
// right attribute text; the destructor puts the original names back. "&"
// is escaped as well: the parser expands entities (XML_PARSE_NOENT), so a
// name read from "&amp;" holds the character itself.
class EscapedNamespaceNames {
public:
    explicit EscapedNamespaceNames(xmlDocPtr doc)
    {
        for (xmlNodePtr n = doc->children; n;) {
            if (n->type == XML_ELEMENT_NODE) {
                for (xmlNsPtr ns = n->nsDef; ns; ns = ns->next)
                    escape(ns);
                if (n->children) {
                    n = n->children;
                    continue;
                }
            }
            while (n && !n->next && n->parent && n->parent->type == XML_ELEMENT_NODE)
                n = n->parent;
            n = n ? n->next : nullptr;
        }
    }
    ~EscapedNamespaceNames()
    {
        for (const auto& [ns, original] : m_replaced) {
            xmlFree(const_cast<xmlChar*>(ns->href));
            ns->href = original;
        }
    }
    EscapedNamespaceNames(const EscapedNamespaceNames&) = delete;
    EscapedNamespaceNames& operator=(const EscapedNamespaceNames&) = delete;

private:
    void escape(xmlNsPtr ns)
    {
        if (!ns->href)
            return;
        const QByteArray name(utf8(ns->href));
        QByteArray escaped;
        for (const char c : name) {
            switch (c) {
            case '&': escaped += "&amp;"; break;
            case '<': escaped += "&lt;"; break;
            case '\t': escaped += "&#9;"; break;
            case '\n': escaped += "&#10;"; break;
            case '\r': escaped += "&#13;"; break;
            default: escaped += c;
            }
        }
        if (escaped.size() == name.size())
            return;
        xmlChar* copy = xmlStrdup(BAD_CAST escaped.constData());
        if (!copy)
            return; // out of memory: the save goes on with the name as it is
        m_replaced.emplace_back(ns, ns->href);
        ns->href = copy;
    }

    std::vector<std::pair<xmlNsPtr, const xmlChar*>> m_replaced;
};

} // namespace

// ---------------------------------------------------------------- XmlTree

void XmlTree::DocDeleter::operator()(_xmlDoc* doc) const
{
    xmlFreeDoc(doc);
}

XmlTree::XmlTree(DocPtr doc) : m_doc(std::move(doc))
{
}

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
    initLibrary();
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

bool XmlTree::serialize(const std::function<bool(const char*, int)>& sink) const
{
    if (!hasContent())
        return true;
    OutputSink out{&sink};
    const EscapedNamespaceNames escapedNames(m_doc.get());
    xmlSaveCtxtPtr ctxt = xmlSaveToIO(writeToSink, closeSink, &out, "UTF-8", XML_SAVE_FORMAT);
    if (!ctxt)
        return false;
    const long written = xmlSaveDoc(ctxt, m_doc.get());
    const int flushed = xmlSaveClose(ctxt);
    return written >= 0 && flushed >= 0 && !out.failed;
}

QString XmlTree::toText() const
{
    QString text;
    QStringDecoder decoder(QStringDecoder::Utf8);
    // Decoded piece by piece: the document's bytes are never held whole, and
    // the decoder carries a character split between two pieces over.
    const std::function<bool(const char*, int)> sink = [&](const char* data, int size) {
        text.append(decoder.decode(QByteArrayView(data, size)));
        return true;
    };
    serialize(sink);
    return text;
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
        if (n->children == n->last
            && (n->children->type == XML_TEXT_NODE || n->children->type == XML_CDATA_SECTION_NODE))
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
        if (!(a->ns && a->ns->prefix) && std::strcmp(reinterpret_cast<const char*>(a->name), name) == 0)
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
        throw EOleException(QStringLiteral("The text contains a character that XML does not allow"));
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
            xmlNodePtr textNode = xmlNewDocTextLen(n->doc, BAD_CAST bytes.constData(), int(bytes.size()));
            if (!textNode)
                throw EOleException(QStringLiteral("Out of memory"));
            linkLastChild(n, textNode);
        }
        return;
    }
    case XML_ATTRIBUTE_NODE: {
        // An attribute's text children are never handed out, so they can go.
        xmlNodePtr textNode = xmlNewDocTextLen(n->doc, BAD_CAST bytes.constData(), int(bytes.size()));
        if (!textNode)
            throw EOleException(QStringLiteral("Out of memory"));
        xmlFreeNodeList(n->children);
        n->children = n->last = nullptr;
        linkLastChild(n, textNode);
        return;
    }
    case XML_COMMENT_NODE:
        if (bytes.contains("--") || bytes.endsWith('-'))
            throw EOleException(QStringLiteral("A comment cannot contain \"--\" or end with \"-\""));
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
            throw EOleException(QStringLiteral("A node cannot be appended to itself or its descendants"));
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

// ---------------------------------------------------------------- Parser

void XmlTree::Parser::CtxtDeleter::operator()(_xmlParserCtxt* ctxt) const
{
    if (ctxt->myDoc)
        xmlFreeDoc(ctxt->myDoc);
    ctxt->myDoc = nullptr;
    xmlFreeParserCtxt(ctxt);
}

XmlTree::Parser::Parser(const QByteArray& charset, const QString& sourceName, const XmlBudget& budget)
    : m_charset(charset.trimmed()), m_sourceName(sourceName.toUtf8()), m_budget(budget)
{
    initLibrary();
}

XmlTree::Parser::~Parser() = default;

void XmlTree::Parser::refuse(const QString& reason, bool limit)
{
    if (!m_refused) {
        m_error = reason;
        m_failedOnLimit = limit;
    }
    m_refused = true;
}

void XmlTree::Parser::recordError(const QString& message, int code, int line, int column, bool fatal)
{
    // The first fatal error explains the failure; later ones are echoes.
    if (m_refused || m_errorFatal)
        return;
    m_errorFatal = fatal;
    m_failedOnLimit = isLimitError(code, message);
    m_error = QStringLiteral("Parse error at line %1, column %2: %3").arg(line).arg(column).arg(message);
}

// Ends a parse from inside one of libxml2's callbacks. xmlStopParser would
// free the input buffer there, while the element being built still points
// into it for its attribute values; so the parse is only marked ended: the
// tree gets nothing more, the push loop stops at its next check, and the
// buffer goes with the context.
static void haltParse(xmlParserCtxtPtr ctxt)
{
    if (!ctxt)
        return;
    ctxt->disableSAX = 1;
    ctxt->instate = XML_PARSER_EOF;
}

void XmlTree::Parser::countNode(bool element)
{
    if (m_refused || m_budget.addNode(element))
        return;
    // Stopped here, the parser builds nothing more; the caller drops the
    // parser and with it what was built so far.
    refuse(m_budget.exceeded(), true);
    haltParse(m_ctxt.get());
}

bool XmlTree::Parser::chargeExpansion(_xmlParserCtxt* ctxt, qint64 bytes)
{
    if (m_refused)
        return false;
    if (m_budget.addExpansion(bytes))
        return true;
    refuse(m_budget.exceeded(), true);
    // An entity's text is parsed by a context of libxml2's own; both stop.
    haltParse(ctxt);
    haltParse(m_ctxt.get());
    return false;
}

bool XmlTree::Parser::feed(const char* data, qint64 size)
{
    if (m_failed)
        return false;
    m_bytes += size;
    if (m_ctxt)
        return push(data, size, false);
    // Hold the first bytes until the document's own encoding statement (a
    // byte order mark or the XML declaration) has been seen.
    m_head.append(data, size);
    const bool known = m_head.size() >= 4
        && (hasByteOrderMarkOrWideStart(m_head) || !m_head.startsWith("<?xml")
            || m_head.contains("?>") || m_head.size() >= 1024);
    return known ? start(false) : true;
}

bool XmlTree::Parser::start(bool final)
{
    // The transfer's charset counts only for a document that names no
    // encoding itself: a document that declares its encoding knows it better
    // than a server whose configuration labels every file alike.
    QByteArray forced;
    if (!m_charset.isEmpty() && !hasByteOrderMarkOrWideStart(m_head) && !declaresEncoding(m_head)) {
        if (xmlCharEncodingHandlerPtr handler = xmlFindCharEncodingHandler(m_charset.constData())) {
            xmlCharEncCloseFunc(handler);
            forced = m_charset;
        }
    }

    m_ctxt.reset(xmlCreatePushParserCtxt(nullptr, nullptr, nullptr, 0, m_sourceName.constData()));
    if (!m_ctxt) {
        m_failed = true;
        m_error = QStringLiteral("Out of memory");
        return false;
    }
    xmlParserCtxtPtr ctxt = m_ctxt.get();
    // The head goes in with the reset: libxml2 detects byte order marks and
    // UTF-16 from the first bytes of the chunk given here.
    const QByteArray head = std::exchange(m_head, QByteArray());
    DecoderErrorScope decoderErrors(this);
    if (xmlCtxtResetPush(ctxt, head.constData(), int(head.size()), m_sourceName.constData(),
                         forced.isEmpty() ? nullptr : forced.constData())
        != 0) {
        m_failed = true;
        m_error = QStringLiteral("The parser could not be started");
        return false;
    }
    ctxt->_private = this;
    // XML_PARSE_COMPACT keeps a text shorter than two pointers (most nicks
    // of a directory) inside its node instead of in an allocation of its own.
    xmlCtxtUseOptions(ctxt, XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_COMPACT
                                | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    ctxt->sax->entityDecl = onEntityDecl;
    ctxt->sax->getEntity = onGetEntity;
    ctxt->sax->unparsedEntityDecl = onUnparsedEntityDecl;
    ctxt->sax->serror = onParserError;
    ctxt->sax->characters = onCharacters;
    ctxt->sax->error = nullptr;
    ctxt->sax->warning = nullptr;
    ctxt->sax->fatalError = nullptr;
    return push(nullptr, 0, final);
}

bool XmlTree::Parser::push(const char* data, qint64 size, bool final)
{
    constexpr qint64 piece = 1 << 20; // xmlParseChunk takes an int
    do {
        const int n = int(std::min(size, piece));
        size -= n;
        int result = 0;
        {
            DecoderErrorScope decoderErrors(this);
            ElementCountScope counting(m_budget.limitsNodes() ? this : nullptr);
            XmlTree::Parser* const previousTextParser = std::exchange(textParser, this);
            result = xmlParseChunk(m_ctxt.get(), data, n, final && size == 0);
            textParser = previousTextParser;
        }
        data += n;
        if (!checkContext())
            return false;
        // Bytes that are invalid in the document's encoding (a lone UTF-16
        // surrogate, say) stop the parser without marking the document
        // ill-formed; only the result tells: XML_ERR_INVALID_ENCODING when
        // the decoder fails inside the parse, -1 when it fails on the bytes
        // just handed over (or on memory). Taken as it stands, the tree
        // would end where the bad bytes began, unclosed elements and all,
        // and pass for the whole document: a directory published from it
        // would lose every entry after that point.
        if (result == XML_ERR_INVALID_ENCODING || result == -1) {
            m_failed = true;
            m_error = kUndecodable;
            return false;
        }
    } while (size > 0);
    return true;
}

bool XmlTree::Parser::checkContext()
{
    xmlParserCtxtPtr ctxt = m_ctxt.get();
    // Some errors stop the tree being built without making the document
    // ill-formed: a text node beyond libxml2's limit ("huge text node") or a
    // failed allocation set disableSAX and leave wellFormed alone. The tree
    // then simply ends there, and a document cut short must never pass for
    // the whole one.
    if (!m_refused && ctxt->wellFormed && !ctxt->disableSAX)
        return true;
    m_failed = true;
    if (m_error.isEmpty()) {
        const xmlError* error = xmlCtxtGetLastError(ctxt);
        const QString message = error && error->message ? QString::fromUtf8(error->message).trimmed() : QString();
        m_error = !message.isEmpty() ? QStringLiteral("Parse error at line %1, column %2: %3")
                                           .arg(error->line)
                                           .arg(error->int2)
                                           .arg(message)
                                     : QStringLiteral("The document is not well-formed XML");
        // A tree that stopped without an ill-formed document stopped on a
        // limit (a text node too long) or on memory.
        m_failedOnLimit = ctxt->wellFormed || isLimitError(error ? error->code : 0, message);
    }
    return false;
}

std::shared_ptr<XmlTree> XmlTree::Parser::finish()
{
    if (!m_failed && m_bytes == 0) {
        m_failed = true;
        m_error = QStringLiteral("The document is empty");
    }
    if (!m_failed && !m_ctxt) {
        if (!start(true))
            return nullptr;
    } else if (!m_failed) {
        if (!push(nullptr, 0, true))
            return nullptr;
    }
    if (m_failed)
        return nullptr;
    xmlParserCtxtPtr ctxt = m_ctxt.get();
    if (!ctxt->wellFormed || ctxt->disableSAX || !ctxt->myDoc || !xmlDocGetRootElement(ctxt->myDoc)) {
        m_failed = true;
        if (m_error.isEmpty())
            m_error = QStringLiteral("The document has no root element");
        return nullptr;
    }
    DocPtr doc(ctxt->myDoc);
    ctxt->myDoc = nullptr;
    m_ctxt.reset();
    if (m_blankText)
        stripBlankText(doc.get());
    return std::make_shared<XmlTree>(std::move(doc));
}
