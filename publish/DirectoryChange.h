#pragma once

// DirectoryChange: one change of the shared squad directory, kept as an
// operation ("add this entry", "remove the entry with this address") rather
// than as a whole document, or, to restore a version from the directory's
// history, the whole document that replaces it. A publisher applies it to the directory as it is
// on the server at the moment of writing, so that changes other users made
// since this program last loaded the directory are never written over.
//
// Addresses are compared exactly, character by character, as everywhere in
// the directory.

#include <QByteArray>
#include <QString>

#include "SockErrors.h"

class XmlDocument;
class XmlNode;

// A publish that did not happen, with the reason in the message. Nothing on
// the server was changed (a temporary upload of ours may have been left;
// see DirectoryPublisher).
class PublishError : public Exception {
public:
    using Exception::Exception;
};

class DirectoryChange {
public:
    enum class Kind { Add, Remove, Replace };
    // What applying the change did to a document. Unchanged: a replacement
    // that is the directory already, byte for byte.
    enum class Outcome { Changed, AlreadyListed, NotListed, Unchanged };

    // An entry "squad" with the attributes "nick" and "web", in that order,
    // appended as the last child of the root; nothing when url is listed.
    static DirectoryChange add(const QString& nick, const QString& url);
    // The first entry (in document order) whose "web" is url.
    static DirectoryChange remove(const QString& url);
    // The whole directory becomes content, byte for byte. Applied only when
    // content is a squad directory (isDirectory()); a publisher refuses it
    // otherwise.
    static DirectoryChange replace(const QByteArray& content);

    Kind kind() const { return m_kind; }
    QString nick() const { return m_nick; }
    QString url() const { return m_url; }
    const QByteArray& content() const { return m_content; }

    // Whether the document is a squad directory: a root element (the last
    // top-level node) that has no children, or at least one child element
    // with a "web" attribute. Anything else (an error page, a host's
    // "account suspended" page, a half-written file) is never written over.
    static bool isDirectory(const XmlDocument& document);

    // Applies the change to a document that isDirectory(). Throws
    // EOleException when the document service fails. A replacement loads its
    // content into the document (Changed), or throws PublishError when that
    // is no squad directory; whether it changes anything is for the caller
    // to tell from the bytes.
    Outcome applyTo(XmlDocument& document) const;

    // The first child of root whose "web" attribute is url; no node when
    // there is none. Children without the attribute are passed over.
    static XmlNode findEntry(const XmlNode& root, const QString& url);

    // The squad's name on its page: the text of the first child of the
    // page's root named "name"; empty when there is none.
    static QString pageName(const XmlDocument& page);

private:
    DirectoryChange(Kind kind, const QString& nick, const QString& url, const QByteArray& content = {})
        : m_kind(kind), m_nick(nick), m_url(url), m_content(content)
    {
    }

    Kind m_kind;
    QString m_nick;
    QString m_url;
    QByteArray m_content;
};
