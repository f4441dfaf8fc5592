#pragma once

// XmlDocument: a counted reference to one XML document of the document
// service; copies share the document.
//
// load() is asynchronous on the Qt event loop: it returns at once, true when
// loading has started; readyState() becomes 4 once it has ended, succeeded or
// not. Every load() first drops the content and abandons a running load. A
// failed load, or a load() that returns false, leaves the document empty
// (xml() empty, no lastChild()), readyState() 4 and the reason in
// loadError(). Addresses: http, https or file URLs, or local paths.
//
// Documents come from servers the program does not control: the parser
// resolves no external entity, loads no DTD, makes no network access of its
// own, expands entities of the document's own internal subset only within the
// parser's built-in limits and entity references within ten million bytes of
// text in all, and refuses documents over maxDocumentSize, maxDocumentNodes or
// the element limit. Every load ends: a transfer stalled for stallTimeoutMs,
// or not ended after loadTimeoutMs however slowly it trickles, fails.
//
// loadFailure() tells a failed load's two kinds apart. Permanent: the
// document is gone. That is only HTTP 404 or 410, a local file that does
// not exist, or a complete reply that is empty or not well-formed (complete:
// a local file, all of a stated Content-Length, or a chunked body that
// ended properly). Transient: anything else, which may work later: no
// connection, a reset, a time-out, a server error or other HTTP status, a
// reply cut short, a reply with neither Content-Length nor chunks (its end
// cannot be told from a dropped connection), and every refusal by the
// program's own safety limits (size, elements, depth, text length, entity
// expansion, external entities), since such a document may only be more
// than this program takes. Only a permanent failure says that a squad page
// is dead. XmlLoader and everything above it use these two kinds.
//
// A copy on disk: setCopy() names a file for the next load only. The body of
// a successful load is written there as it came (into a temporary file, mode
// 0600, renamed over it once the document has parsed); with validators given
// and the file there, the load is conditional, and a "not modified" reply
// loads that file instead, as a success with notModified() true. loadCopy()
// parses such a file at once, without the event loop.

#include <QHostAddress>
#include <QString>
#include <memory>

#include "XmlBudget.h"

#include "EOleException.h"
#include "XmlNamedNodeMap.h"
#include "XmlNode.h"
#include "XmlNodeList.h"

class XmlDocument {
public:
    XmlDocument(); // a new, empty document

    // Larger documents end as a failed load.
    static constexpr qint64 maxDocumentSize = 64 * 1024 * 1024;
    // Larger trees end as a failed load: three million nodes are about
    // 400 MB, a directory of 600,000 squads as the program writes them.
    static constexpr qint64 maxDocumentNodes = XmlBudget::defaultMaxNodes;
    // A transfer that makes no progress for this long ends as a failed load.
    static constexpr int stallTimeoutMs = 30000;
    // A load not ended after this long fails, even while bytes still arrive; a
    // directory of 100,000 squads (about 10 MB) loads within it at 1 Mbit/s.
    static constexpr int loadTimeoutMs = 120000;

    // These apply from the next load on; the defaults are the constants
    // above. Tests use them to reach the limits without 64 MiB or minutes.
    void setSizeLimit(qint64 bytes);
    // More elements fail the load (transient) as soon as the parser reaches one
    // too many, so it never takes more memory than that. 0, the default: no limit.
    void setElementLimit(qint64 elements);
    // The same for nodes of every kind (elements, attributes, texts), a bound on
    // any document's memory whatever its shape; default maxDocumentNodes, 0: none.
    void setNodeLimit(qint64 nodes);
    void setStallTimeout(int milliseconds);
    void setLoadTimeout(int milliseconds);

    enum class LoadFailure { None, Transient, Permanent };

    bool load(const QString& url);
    // Ends a running load at once as a transient failure ("Canceled"):
    // readyState() 4, the document empty; nothing when no load runs. Safe from a
    // handler that runs while another part of the program waits for this document.
    void abort();
    // Parses text as the whole document at once, without a transfer: the same
    // parser and limits as load(), readyState() 4 afterwards. Returns whether a
    // document was made; a failure leaves it empty, the reason in loadError(),
    // loadFailure() Permanent.
    bool loadXml(const QByteArray& text);
    int readyState() const; // 0 before any load, 1 while loading, 4 when ended
    QString xml() const;     // the whole document as text; empty when nothing is loaded
    QString loadError() const;
    LoadFailure loadFailure() const; // None unless the last load failed
    // The last load failed on one of the program's own limits (size, nodes,
    // elements, entity expansion, the parser's built-in limits), not on the
    // network or the document's form.
    bool refusedByLimit() const;
    // The address the last successful load's document came from (through
    // every redirection); null for a local file, a copy or text.
    QHostAddress fetchedFrom() const;

    // The next load keeps its body in copyFile; with validators of that
    // copy it asks the server whether the copy is still current.
    void setCopy(const QString& copyFile, const QByteArray& etag = {}, const QByteArray& lastModified = {});
    bool notModified() const;         // the last load got "not modified" and loaded the copy
    QByteArray replyETag() const;     // of the last load's reply; empty when it sent none
    QByteArray replyLastModified() const;
    // Loads a copy kept by an earlier load, synchronously. False (the document
    // empty, the reason in loadError()) when it cannot be read or does not parse.
    bool loadCopy(const QString& copyFile);

    XmlNode lastChild() const;
    XmlNodeList childNodes() const;

    XmlNode createElement(const QString& name);
    XmlNode createAttribute(const QString& name);

    // Writes the whole document as XML; throws EOleException when it cannot.
    void save(const QString& fileName) const;
    // The bytes save() would write.
    QByteArray saveToBytes() const;

    bool operator==(const XmlDocument& other) const { return d == other.d; }

private:
    struct Private;
    std::shared_ptr<Private> d;
};
