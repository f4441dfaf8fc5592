#include "XmlDocument.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSaveFile>

#include "XmlAddress.h"
#include "XmlLoader.h"
#include "XmlTree.h"

// The state behind every copy of one XmlDocument.
//
// Each completed load makes a new XmlTree; the document only swaps its
// shared_ptr, so XmlNode references into the previous content keep that tree
// alive and valid. The network manager is made on the first load and lives
// as long as the document; it is declared before the loader so that the
// loader, which aborts its reply, goes first.
struct XmlDocument::Private {
    std::shared_ptr<XmlTree> tree; // null: nothing loaded
    int readyState = 0;
    QString loadError;
    XmlDocument::LoadFailure loadFailure = XmlDocument::LoadFailure::None;
    qint64 sizeLimit = XmlDocument::maxDocumentSize;
    qint64 elementLimit = 0;
    int stallTimeoutMs = XmlDocument::stallTimeoutMs;
    int loadTimeoutMs = XmlDocument::loadTimeoutMs;
    std::unique_ptr<QNetworkAccessManager> manager;
    std::unique_ptr<XmlLoader> loader;

    XmlTree& ownTree()
    {
        if (!tree)
            tree = XmlTree::createEmpty();
        return *tree;
    }
};

XmlDocument::XmlDocument() : d(std::make_shared<Private>())
{
}

void XmlDocument::setSizeLimit(qint64 bytes)
{
    d->sizeLimit = bytes;
}

void XmlDocument::setElementLimit(qint64 elements)
{
    d->elementLimit = elements;
}

void XmlDocument::setStallTimeout(int milliseconds)
{
    d->stallTimeoutMs = milliseconds;
}

void XmlDocument::setLoadTimeout(int milliseconds)
{
    d->loadTimeoutMs = milliseconds;
}

bool XmlDocument::load(const QString& url)
{
    // A new load replaces the content at once and abandons a running load,
    // whose reply can then no longer write into this document.
    d->loader.reset();
    d->tree.reset();
    d->loadError.clear();
    d->loadFailure = LoadFailure::None;

    const XmlAddress address = XmlAddress::parse(url);
    if (!address.problem().isEmpty()) {
        d->loadError = address.problem();
        d->loadFailure = LoadFailure::Permanent;
        d->readyState = 4;
        return false;
    }

    if (!d->manager)
        d->manager = std::make_unique<QNetworkAccessManager>();
    Private* p = d.get();
    d->readyState = 1;
    // The completion runs from the event loop and only stores the outcome;
    // the loader itself stays until the next load or the document's end.
    d->loader = std::make_unique<XmlLoader>(
        *d->manager, address.url(), d->sizeLimit, d->elementLimit, d->stallTimeoutMs, d->loadTimeoutMs,
        [p](std::shared_ptr<XmlTree> tree, const QString& error, bool permanent) {
            p->loadFailure = tree ? LoadFailure::None
                : permanent       ? LoadFailure::Permanent
                                  : LoadFailure::Transient;
            p->tree = std::move(tree);
            p->loadError = error;
            p->readyState = 4;
        });
    return true;
}

bool XmlDocument::loadXml(const QByteArray& text)
{
    d->loader.reset();
    d->tree.reset();
    d->loadError.clear();
    d->loadFailure = LoadFailure::None;
    d->readyState = 4;
    if (text.size() > d->sizeLimit) {
        d->loadError = QStringLiteral("The document is larger than %1 bytes").arg(d->sizeLimit);
        d->loadFailure = LoadFailure::Permanent;
        return false;
    }
    XmlTree::Parser parser(QByteArray(), QStringLiteral("text"));
    if (parser.feed(text.constData(), text.size()))
        d->tree = parser.finish();
    if (!d->tree) {
        d->loadError = parser.error();
        d->loadFailure = LoadFailure::Permanent;
        return false;
    }
    return true;
}

int XmlDocument::readyState() const
{
    return d->readyState;
}

QString XmlDocument::xml() const
{
    return d->tree ? d->tree->toText() : QString();
}

QString XmlDocument::loadError() const
{
    return d->loadError;
}

XmlDocument::LoadFailure XmlDocument::loadFailure() const
{
    return d->loadFailure;
}

XmlNode XmlDocument::lastChild() const
{
    if (!d->tree)
        return XmlNode();
    void* last = XmlTree::lastChild(d->tree->documentNode());
    return last ? XmlNode(d->tree, last) : XmlNode();
}

XmlNodeList XmlDocument::childNodes() const
{
    if (!d->tree)
        return XmlNodeList();
    return XmlTree::childNodes(d->tree, d->tree->documentNode());
}

XmlNode XmlDocument::createElement(const QString& name)
{
    XmlTree& tree = d->ownTree();
    return XmlNode(d->tree, tree.createElement(name));
}

XmlNode XmlDocument::createAttribute(const QString& name)
{
    XmlTree& tree = d->ownTree();
    return XmlNode(d->tree, tree.createAttribute(name));
}

void XmlDocument::save(const QString& fileName) const
{
    // QSaveFile: a failed save leaves an existing file as it was, instead of
    // a truncated document that would later be uploaded. It writes through a
    // symbolic link to the file the link names; a link in the file's place is
    // removed first, so that the document replaces the link, never its target.
    if (QFileInfo(fileName).isSymLink() && !QFile::remove(fileName))
        throw EOleException(QStringLiteral("Cannot write \"%1\": a link in its place").arg(fileName));
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        throw EOleException(QStringLiteral("Cannot write \"%1\": %2").arg(fileName, file.errorString()));
    if (d->tree) {
        const bool written = d->tree->serialize([&file](const char* data, int size) {
            return file.write(data, size) == size;
        });
        // The last piece may still sit in the file's buffer: flushed here,
        // since QSaveFile's commit() does not notice a flush that fails, and
        // a directory cut short on a full disk would be committed (and then
        // published) as if it were whole.
        if (!written || !file.flush()) {
            file.cancelWriting();
            throw EOleException(QStringLiteral("Cannot write \"%1\": %2").arg(fileName, file.errorString()));
        }
    }
    if (!file.commit())
        throw EOleException(QStringLiteral("Cannot write \"%1\": %2").arg(fileName, file.errorString()));
}

QByteArray XmlDocument::saveToBytes() const
{
    QByteArray bytes;
    if (d->tree && !d->tree->serialize([&bytes](const char* data, int size) {
            bytes.append(data, size);
            return true;
        }))
        throw EOleException(QStringLiteral("Cannot serialise the document"));
    return bytes;
}
