#pragma once

// XmlLoader: one asynchronous transfer of a document into a tree.
//
// The transfer runs on the Qt event loop through a QNetworkAccessManager,
// for http, https and file URLs alike (file replies also complete on later
// turns of the loop, never inside start()). Bytes go to the parser as they
// arrive, so the document text is never held whole; a transfer whose reply is
// not 2xx, whose document fails to parse, or that grows beyond the size limit
// is aborted at once.
//
// The completion is called exactly once, from the event loop, with the tree
// or with null and the reason. Destroying the loader before that abandons
// the transfer: its reply is disconnected and aborted, and the completion is
// never called.

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

#include "XmlTree.h"

class QNetworkAccessManager;
class QNetworkReply;

class XmlLoader {
public:
    using Completion = std::function<void(std::shared_ptr<XmlTree> tree, const QString& error)>;

    XmlLoader(QNetworkAccessManager& manager, const QUrl& url, qint64 sizeLimit, int stallTimeoutMs,
              Completion done);
    ~XmlLoader();
    XmlLoader(const XmlLoader&) = delete;
    XmlLoader& operator=(const XmlLoader&) = delete;

private:
    void onMetaData();
    void onReadyRead();
    void onFinished();
    bool statusOk(QString* problem) const;
    void fail(const QString& reason);
    void complete(std::shared_ptr<XmlTree> tree, const QString& error);
    void dropReply();

    QNetworkReply* m_reply = nullptr;
    std::unique_ptr<XmlTree::Parser> m_parser; // made when the first bytes arrive
    QUrl m_url;
    qint64 m_sizeLimit;
    int m_stallTimeoutMs;
    qint64 m_received = 0;
    Completion m_done;
};
