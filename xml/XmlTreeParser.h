#pragma once

// XmlTreeParser, used as XmlTree::Parser: the parser of one document
// transfer. It turns the bytes of the transfer into an XmlTree, chunk by
// chunk, so the document text is never held whole in memory. It is built for
// untrusted input: see XmlTreeParser.cpp for the rules it enforces.
//
// One parser serves one document on one thread; the libxml2 hooks it sets
// for the time of a feed() or finish() are per thread.

#include <QByteArray>
#include <QString>

#include <memory>

#include "XmlBudget.h"

struct XmlTree;
struct _xmlParserCtxt;

class XmlTreeParser
{
public:
    // charset: the charset the transfer's metadata names (may be empty).
    // It applies when the document itself declares no encoding (no byte
    // order mark, no encoding in its XML declaration). budget: a
    // document that passes one of its limits fails as soon as it does.
    XmlTreeParser(const QByteArray& charset, const QString& sourceName,
                  const XmlBudget& budget = XmlBudget());
    ~XmlTreeParser();
    XmlTreeParser(const XmlTreeParser&) = delete;
    XmlTreeParser& operator=(const XmlTreeParser&) = delete;

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
