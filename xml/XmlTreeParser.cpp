#include "XmlTreeParser.h"

#include <libxml/SAX2.h>
#include <libxml/encoding.h>
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

#include "XmlTree.h"
#include "XmlTreeSupport.h"

using XmlTreeSupport::fullText;
using XmlTreeSupport::isXmlSpace;

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

namespace
{

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

// Removes the whitespace-only text nodes between elements, which the callers
// must not see as nodes. An element under xml:space="preserve" keeps them.
// Iterative, because a document may nest as deep as libxml2 allows.
bool preservesSpace(xmlNodePtr element, bool inherited)
{
    for (xmlAttrPtr a = element->properties; a; a = a->next) {
        if (a->ns && xmlStrEqual(a->ns->href, XML_XML_NAMESPACE) &&
            xmlStrEqual(a->name, BAD_CAST "space") && a->children) {
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

// Errors that come from libxml2's limits for documents parsed without
// XML_PARSE_HUGE, rather than from the document being ill-formed. libxml2
// 2.9 reports several of them under the codes of ordinary syntax errors
// ("AttValue length too long" is XML_ERR_ATTRIBUTE_NOT_FINISHED), so their
// messages tell.
bool isLimitError(int code, const QString& message)
{
    if (code == XML_ERR_NO_MEMORY || code == XML_ERR_ENTITY_LOOP || code == XML_ERR_NAME_TOO_LONG)
        return true;
    static const char* const markers[] = {"too long", "too big", "too deep", "excessive depth",
                                          "huge"};
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
    auto parser = static_cast<XmlTreeParser*>(ctxt->_private);
    const QString message =
        QString::fromUtf8(error->message ? error->message : "unknown error").trimmed();
    parser->recordError(message, error->code, error->line, error->int2,
                        error->level == XML_ERR_FATAL);
}

void refuseExternal(xmlParserCtxtPtr ctxt, const xmlChar* name)
{
    auto parser = static_cast<XmlTreeParser*>(ctxt->_private);
    const int line = ctxt->input ? ctxt->input->line : 0;
    parser->refuse(
        QStringLiteral(
            "The document declares the external entity \"%1\" (line %2); external entities "
            "are never loaded")
            .arg(fullText(name))
            .arg(line),
        true);
    xmlStopParser(ctxt);
}

void onEntityDecl(void* ctx, const xmlChar* name, int type, const xmlChar* publicId,
                  const xmlChar* systemId, xmlChar* content)
{
    auto ctxt = static_cast<xmlParserCtxtPtr>(ctx);
    if (type == XML_INTERNAL_GENERAL_ENTITY || type == XML_INTERNAL_PARAMETER_ENTITY)
        xmlSAX2EntityDecl(ctx, name, type, publicId, systemId, content);
    else
        refuseExternal(ctxt, name);
}

void onUnparsedEntityDecl(void* ctx, const xmlChar* name, const xmlChar*, const xmlChar*,
                          const xmlChar*)
{
    refuseExternal(static_cast<xmlParserCtxtPtr>(ctx), name);
}

// libxml2 calls the node registration hook for every node it creates,
// whether the SAX handler builds it or an entity reference copies it, so
// counting there sees every element at the cost of one call. The hook is
// per thread; while one of our parser calls runs, this scope points it at
// the parser, then restores the previous hook.
thread_local XmlTreeParser* countingParser = nullptr;

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
    auto parser = static_cast<XmlTreeParser*>(ctxt->_private);
    return parser->chargeExpansion(ctxt, entity->length) ? entity : nullptr;
}

class ElementCountScope
{
public:
    // A null parser (no node budget) leaves the hook alone.
    explicit ElementCountScope(XmlTreeParser* parser) : m_active(parser != nullptr)
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
    XmlTreeParser* m_previousParser = nullptr;
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
thread_local XmlTreeParser* textParser = nullptr;

void onCharacters(void* ctx, const xmlChar* ch, int len)
{
    if (textParser && std::all_of(ch, ch + len, isXmlSpace))
        textParser->noteBlankText();
    xmlSAX2Characters(ctx, ch, len);
}

const QString kUndecodable =
    QStringLiteral("The document holds bytes that are not valid in its encoding");

// Errors of libxml2's character decoders carry no parser context: they go
// to the thread's global error handlers (which print them) instead of the
// context's, and the parse carries on without the bytes that failed. A
// document with such bytes would load with text silently missing, or, when
// the bytes arrive in a later piece of the transfer, end where they begin.
// While one of our parser calls runs, this scope routes those errors to the
// parser, which refuses the document, and silences the unstructured
// messages that come with them (the load error tells the reason); then the
// previous handlers return.
class DecoderErrorScope
{
public:
    explicit DecoderErrorScope(XmlTreeParser* parser)
        : m_handler(xmlStructuredError), m_context(xmlStructuredErrorContext),
          m_genericHandler(xmlGenericError), m_genericContext(xmlGenericErrorContext)
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
        auto parser = static_cast<XmlTreeParser*>(userData);
        if (error->domain == XML_FROM_I18N ||
            (error->domain == XML_FROM_IO && error->code == XML_IO_ENCODER))
            parser->refuse(kUndecodable, false);
        else {
            const QString message =
                QString::fromUtf8(error->message ? error->message : "unknown error").trimmed();
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
    if (head.startsWith("\xEF\xBB\xBF") || head.startsWith("\xFE\xFF") ||
        head.startsWith("\xFF\xFE"))
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

xmlParserInputPtr refuseExternalEntity(const char*, const char*, xmlParserCtxtPtr)
{
    return nullptr;
}

} // namespace

void XmlTreeSupport::initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(refuseExternalEntity);
    });
}

void XmlTreeParser::CtxtDeleter::operator()(_xmlParserCtxt* ctxt) const
{
    if (ctxt->myDoc)
        xmlFreeDoc(ctxt->myDoc);
    ctxt->myDoc = nullptr;
    xmlFreeParserCtxt(ctxt);
}

XmlTreeParser::XmlTreeParser(const QByteArray& charset, const QString& sourceName,
                             const XmlBudget& budget)
    : m_charset(charset.trimmed()), m_sourceName(sourceName.toUtf8()), m_budget(budget)
{
    XmlTreeSupport::initLibrary();
}

XmlTreeParser::~XmlTreeParser() = default;

void XmlTreeParser::refuse(const QString& reason, bool limit)
{
    if (!m_refused) {
        m_error = reason;
        m_failedOnLimit = limit;
    }
    m_refused = true;
}

void XmlTreeParser::recordError(const QString& message, int code, int line, int column, bool fatal)
{
    // The first fatal error explains the failure; later ones are echoes.
    if (m_refused || m_errorFatal)
        return;
    m_errorFatal = fatal;
    m_failedOnLimit = isLimitError(code, message);
    m_error =
        QStringLiteral("Parse error at line %1, column %2: %3").arg(line).arg(column).arg(message);
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

void XmlTreeParser::countNode(bool element)
{
    if (m_refused || m_budget.addNode(element))
        return;
    // Stopped here, the parser builds nothing more; the caller drops the
    // parser and with it what was built so far.
    refuse(m_budget.exceeded(), true);
    haltParse(m_ctxt.get());
}

bool XmlTreeParser::chargeExpansion(_xmlParserCtxt* ctxt, qint64 bytes)
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

bool XmlTreeParser::feed(const char* data, qint64 size)
{
    if (m_failed)
        return false;
    m_bytes += size;
    if (m_ctxt)
        return push(data, size, false);
    // Hold the first bytes until the document's own encoding statement (a
    // byte order mark or the XML declaration) has been seen.
    m_head.append(data, size);
    const bool known =
        m_head.size() >= 4 && (hasByteOrderMarkOrWideStart(m_head) || !m_head.startsWith("<?xml") ||
                               m_head.contains("?>") || m_head.size() >= 1024);
    return known ? start(false) : true;
}

bool XmlTreeParser::start(bool final)
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
                         forced.isEmpty() ? nullptr : forced.constData()) != 0) {
        m_failed = true;
        m_error = QStringLiteral("The parser could not be started");
        return false;
    }
    ctxt->_private = this;
    // XML_PARSE_COMPACT keeps a text shorter than two pointers (most nicks
    // of a directory) inside its node instead of in an allocation of its own.
    xmlCtxtUseOptions(ctxt, XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_NOBLANKS |
                                XML_PARSE_COMPACT | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
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

bool XmlTreeParser::push(const char* data, qint64 size, bool final)
{
    constexpr qint64 piece = 1 << 20; // xmlParseChunk takes an int
    do {
        const int n = int(std::min(size, piece));
        size -= n;
        int result = 0;
        {
            DecoderErrorScope decoderErrors(this);
            ElementCountScope counting(m_budget.limitsNodes() ? this : nullptr);
            XmlTreeParser* const previousTextParser = std::exchange(textParser, this);
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

bool XmlTreeParser::checkContext()
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
        const QString message =
            error && error->message ? QString::fromUtf8(error->message).trimmed() : QString();
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

std::shared_ptr<XmlTree> XmlTreeParser::finish()
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
    if (!ctxt->wellFormed || ctxt->disableSAX || !ctxt->myDoc ||
        !xmlDocGetRootElement(ctxt->myDoc)) {
        m_failed = true;
        if (m_error.isEmpty())
            m_error = QStringLiteral("The document has no root element");
        return nullptr;
    }
    XmlTree::DocPtr doc(ctxt->myDoc);
    ctxt->myDoc = nullptr;
    m_ctxt.reset();
    if (m_blankText)
        stripBlankText(doc.get());
    return std::make_shared<XmlTree>(std::move(doc));
}
