#include "XmlDocument.h"

#include <algorithm>

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
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
    qint64 nodeLimit = XmlDocument::maxDocumentNodes;
    bool refusedByLimit = false;
    QHostAddress fetchedFrom;
    int stallTimeoutMs = XmlDocument::stallTimeoutMs;
    int loadTimeoutMs = XmlDocument::loadTimeoutMs;
    // The copy on disk: set for the next load, taken by it.
    QString copyFile;
    XmlLoader::Validators copyValidators;
    std::unique_ptr<QSaveFile> copyOut; // the body being written, while loading
    bool copyWritten = true;            // no write to copyOut has failed
    XmlLoader::Validators replyValidators;
    bool notModified = false;
    std::unique_ptr<QNetworkAccessManager> manager;
    std::unique_ptr<XmlLoader> loader;

    XmlBudget budget() const { return XmlBudget(elementLimit, nodeLimit, XmlBudget::defaultMaxExpansion); }
    void finishCopy(bool keep);
    bool parseCopy(const QString& fileName);

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

void XmlDocument::setNodeLimit(qint64 nodes)
{
    d->nodeLimit = nodes;
}

void XmlDocument::setStallTimeout(int milliseconds)
{
    d->stallTimeoutMs = milliseconds;
}

void XmlDocument::setLoadTimeout(int milliseconds)
{
    d->loadTimeoutMs = milliseconds;
}

void XmlDocument::Private::finishCopy(bool keep)
{
    if (!copyOut)
        return;
    std::unique_ptr<QSaveFile> file = std::move(copyOut);
    // A copy that was not written whole must not stand for the document.
    if (!keep || !copyWritten || !file->flush())
        file->cancelWriting();
    file->commit();
}

bool XmlDocument::Private::parseCopy(const QString& fileName)
{
    tree.reset();
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        loadError = QStringLiteral("Cannot read \"%1\": %2").arg(fileName, file.errorString());
        return false;
    }
    if (file.size() > sizeLimit) {
        loadError = QStringLiteral("The document is larger than %1 bytes").arg(sizeLimit);
        return false;
    }
    XmlTree::Parser parser(QByteArray(), fileName, budget());
    char buffer[64 * 1024];
    for (;;) {
        const qint64 n = file.read(buffer, sizeof buffer);
        if (n < 0) {
            loadError = QStringLiteral("Cannot read \"%1\": %2").arg(fileName, file.errorString());
            return false;
        }
        if (n == 0)
            break;
        if (!parser.feed(buffer, n)) {
            loadError = parser.error();
            refusedByLimit = parser.failedOnLimit();
            return false;
        }
    }
    tree = parser.finish();
    loadError = tree ? QString() : parser.error();
    refusedByLimit = !tree && parser.failedOnLimit();
    return bool(tree);
}

bool XmlDocument::loadCopy(const QString& copyFile)
{
    d->loader.reset();
    d->finishCopy(false);
    d->copyFile.clear();
    d->copyValidators = {};
    d->replyValidators = {};
    d->notModified = false;
    d->refusedByLimit = false;
    d->fetchedFrom.clear();
    const bool loaded = d->parseCopy(copyFile);
    d->loadFailure = loaded ? LoadFailure::None : LoadFailure::Permanent;
    d->readyState = 4;
    return loaded;
}

void XmlDocument::setCopy(const QString& copyFile, const QByteArray& etag, const QByteArray& lastModified)
{
    d->copyFile = copyFile;
    d->copyValidators = {etag, lastModified};
}

bool XmlDocument::notModified() const
{
    return d->notModified;
}

QByteArray XmlDocument::replyETag() const
{
    return d->replyValidators.etag;
}

QByteArray XmlDocument::replyLastModified() const
{
    return d->replyValidators.lastModified;
}

bool XmlDocument::load(const QString& url)
{
    // A new load replaces the content at once and abandons a running load,
    // whose reply can then no longer write into this document.
    d->loader.reset();
    d->finishCopy(false);
    d->tree.reset();
    d->loadError.clear();
    d->loadFailure = LoadFailure::None;
    d->replyValidators = {};
    d->notModified = false;
    d->refusedByLimit = false;
    d->fetchedFrom.clear();
    // The copy applies to this load only.
    const QString copyFile = std::exchange(d->copyFile, QString());
    XmlLoader::Validators conditions = std::exchange(d->copyValidators, {});
    if (copyFile.isEmpty() || !QFile::exists(copyFile))
        conditions = {};

    const XmlAddress address = XmlAddress::parse(url);
    if (!address.problem().isEmpty()) {
        d->loadError = address.problem();
        d->loadFailure = address.problemIsTransient() ? LoadFailure::Transient : LoadFailure::Permanent;
        d->readyState = 4;
        return false;
    }

    if (!d->manager)
        d->manager = std::make_unique<QNetworkAccessManager>();
    Private* p = d.get();
    XmlLoader::BodySink sink;
    if (!copyFile.isEmpty()) {
        auto file = std::make_unique<QSaveFile>(copyFile);
        if (file->open(QIODevice::WriteOnly)) {
            // The copy may hold what only this user was allowed to read.
            file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
            p->copyOut = std::move(file);
            p->copyWritten = true;
            sink = [p](const char* data, qint64 size) {
                if (p->copyWritten && p->copyOut)
                    p->copyWritten = p->copyOut->write(data, size) == size;
            };
        }
    }
    d->readyState = 1;
    // The completion runs from the event loop and only stores the outcome;
    // the loader itself stays until the next load or the document's end.
    d->loader = std::make_unique<XmlLoader>(
        *d->manager, address.url(), d->sizeLimit, d->budget(), d->stallTimeoutMs, d->loadTimeoutMs,
        [p, copyFile](std::shared_ptr<XmlTree> tree, const QString& error, bool permanent) {
            p->replyValidators = p->loader->replyValidators();
            p->fetchedFrom = p->loader->fetchedFrom();
            p->refusedByLimit = p->loader->refusedByLimit();
            p->finishCopy(bool(tree));
            if (p->loader->notModified()) {
                // The copy is the document. One that no longer parses is
                // gone: the next load asks for the whole document again.
                p->notModified = p->parseCopy(copyFile);
                if (!p->notModified)
                    QFile::remove(copyFile);
                p->loadFailure = p->notModified ? LoadFailure::None : LoadFailure::Transient;
                p->readyState = 4;
                return;
            }
            p->loadFailure = tree ? LoadFailure::None
                : permanent       ? LoadFailure::Permanent
                                  : LoadFailure::Transient;
            p->tree = std::move(tree);
            p->loadError = error;
            p->readyState = 4;
        },
        conditions, std::move(sink));
    return true;
}

void XmlDocument::abort()
{
    if (d->readyState != 1)
        return;
    // Dropping the loader aborts its reply; its completion can no longer
    // reach this document.
    d->loader.reset();
    d->tree.reset();
    d->loadError = QStringLiteral("Canceled");
    d->loadFailure = LoadFailure::Transient;
    d->readyState = 4;
}

bool XmlDocument::loadXml(const QByteArray& text)
{
    d->loader.reset();
    d->tree.reset();
    d->loadError.clear();
    d->loadFailure = LoadFailure::None;
    d->refusedByLimit = false;
    d->fetchedFrom.clear();
    d->readyState = 4;
    if (text.size() > d->sizeLimit) {
        d->loadError = QStringLiteral("The document is larger than %1 bytes").arg(d->sizeLimit);
        d->loadFailure = LoadFailure::Permanent;
        return false;
    }
    XmlTree::Parser parser(QByteArray(), QStringLiteral("text"), d->budget());
    // In pieces, as a load from the network arrives: libxml2 refuses to look
    // ahead through more than ten million bytes pushed at once ("Huge input
    // lookup"), so a large document given whole would never parse.
    constexpr qsizetype kPiece = 256 * 1024;
    bool fed = true;
    for (qsizetype at = 0; fed && at < text.size(); at += kPiece)
        fed = parser.feed(text.constData() + at, std::min(kPiece, text.size() - at));
    if (fed)
        d->tree = parser.finish();
    if (!d->tree) {
        d->loadError = parser.error();
        d->refusedByLimit = parser.failedOnLimit();
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

bool XmlDocument::refusedByLimit() const
{
    return d->refusedByLimit;
}

QHostAddress XmlDocument::fetchedFrom() const
{
    return d->fetchedFrom;
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
