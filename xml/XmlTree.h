#pragma once

// XmlTree: the shared owner of one parsed (or newly created) document, and the
// only unit of the service that talks to libxml2.
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
// Parser turns the bytes of one transfer into a tree, chunk by chunk, so the
// document text is never held whole in memory. It is built for untrusted
// input: see XmlTree.cpp for the rules it enforces.

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

#include "XmlBudget.h"
#include "XmlNodeList.h"

struct _xmlDoc;
struct _xmlParserCtxt;

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

    // The parser of one document transfer.
    class Parser {
    public:
        // charset: the charset the transfer's metadata names (may be empty).
        // It applies when the document itself declares no encoding (no byte
        // order mark, no encoding in its XML declaration). budget: a
        // document that passes one of its limits fails as soon as it does.
        Parser(const QByteArray& charset, const QString& sourceName, const XmlBudget& budget = XmlBudget());
        ~Parser();
        Parser(const Parser&) = delete;
        Parser& operator=(const Parser&) = delete;

        // Parses the next piece of the document. Returns false once the
        // document has failed (error() tells why); further data is ignored.
        bool feed(const char* data, qint64 size);
        // Ends the document. Returns the tree, or null with error() set.
        std::shared_ptr<XmlTree> finish();
        QString error() const { return m_error; }
        // True when the document failed on one of the parser's safety limits
        // (the budget, libxml2's limits on depth, names, text and entity
        // expansion, an external entity) rather than on being ill-formed: it
        // may be a fine document this program will not take.
        bool failedOnLimit() const { return m_failedOnLimit; }

        // Called from libxml2's callbacks.
        void refuse(const QString& reason, bool limit);
        void recordError(const QString& message, int code, int line, int column, bool fatal);
        void countNode(bool element);
        // False (and the parse stopped) once entity references have put more
        // text into the document than the budget allows.
        bool chargeExpansion(_xmlParserCtxt* ctxt, qint64 bytes);
        // Text that is white space only reached the tree.
        void noteBlankText() { m_blankText = true; }

    private:
        bool start(bool final);
        bool push(const char* data, qint64 size, bool final);
        bool checkContext();

        struct CtxtDeleter {
            void operator()(_xmlParserCtxt* ctxt) const;
        };
        std::unique_ptr<_xmlParserCtxt, CtxtDeleter> m_ctxt;
        QByteArray m_charset;
        QByteArray m_sourceName;
        QByteArray m_head; // the first bytes, held until the encoding is known
        QString m_error;
        qint64 m_bytes = 0;
        XmlBudget m_budget;
        bool m_failed = false;
        bool m_failedOnLimit = false;
        bool m_refused = false;
        bool m_errorFatal = false;
        bool m_blankText = false;
    };

private:
    void park(void* node); // removed from the document; freed with the tree
    void check(void* node) const;

    DocPtr m_doc;
    std::vector<void*> m_orphans;
};
