#pragma once

// XmlLoader: one asynchronous transfer of a document into a tree.
//
// The transfer runs on the Qt event loop through a QNetworkAccessManager,
// for http, https and file URLs alike (file replies also complete on later
// turns of the loop, never inside start()). Bytes go to the parser as they
// arrive, so the document text is never held whole. A transfer whose reply
// is not 2xx, that grows beyond the size limit, or whose document breaks a
// safety limit of the parser (see XmlTree.cpp, and the element limit) is
// aborted at once.
//
// A document that is not well-formed does not end the transfer at once:
// until the reply has ended it cannot be told from one cut off in the
// middle, so the rest is read and dropped (still within the size limit).
//
// The completion is called exactly once, from the event loop, with the tree
// or with null, the reason and whether the failure is permanent. Permanent
// means the address answered and holds no document: HTTP 404 or 410, a
// local file that does not exist, or a complete reply that is empty or not
// well-formed. A reply is complete when it is a local file, when all of its
// Content-Length arrived, or when its chunked body (or HTTP/2 stream) ended
// properly. Everything else is transient and may work later: no connection,
// a reset, a time-out, other HTTP errors, a reply cut short, a reply that
// neither states its length nor is chunked (its end cannot be told from a
// dropped connection), and every refusal by a safety limit (size, element
// budget, depth, text length, entity expansion, external entities), since
// such a document may only be more than this program takes. Destroying the
// loader before that abandons the transfer: its reply is disconnected and
// aborted, and the completion is never called.
//
// A conditional load sends the validators it is given (If-None-Match,
// If-Modified-Since); a 304 reply completes with a null tree, no error and
// notModified() true. The validators of the last reply (ETag, Last-Modified)
// stay readable, and every body byte of a 2xx reply is also handed to the
// body sink as it arrives, so that a caller can keep the text as it came.

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

#include "XmlTree.h"

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

class XmlLoader {
public:
    using Completion =
        std::function<void(std::shared_ptr<XmlTree> tree, const QString& error, bool permanent)>;
    using BodySink = std::function<void(const char* data, qint64 size)>;

    // What makes a load conditional, and where its body goes as well.
    struct Validators {
        QByteArray etag;
        QByteArray lastModified;
        bool isEmpty() const { return etag.isEmpty() && lastModified.isEmpty(); }
    };

    // elementLimit: more elements fail the load (0: no limit).
    XmlLoader(QNetworkAccessManager& manager, const QUrl& url, qint64 sizeLimit, qint64 elementLimit,
              int stallTimeoutMs, int loadTimeoutMs, Completion done, const Validators& conditions = {},
              BodySink sink = {});
    ~XmlLoader();
    XmlLoader(const XmlLoader&) = delete;
    XmlLoader& operator=(const XmlLoader&) = delete;

    // A Last-Modified value that can validate a copy, or nothing: servers
    // compare If-Modified-Since in whole seconds, so a document sent within
    // the second it last changed may change again in that second unnoticed
    // (HTTP calls such a date weak). date is the reply's Date; without one
    // the local clock tells the time of sending.
    static QByteArray usableLastModified(const QByteArray& lastModified, const QByteArray& date);

    bool notModified() const { return m_notModified; }
    // Of the last reply; empty when it sent none.
    const Validators& replyValidators() const { return m_replyValidators; }

private:
    void onMetaData();
    void onReadyRead();
    void onFinished();
    void onResume();
    bool statusOk(QString* problem, bool* permanent) const;
    bool replyComplete() const;
    void fail(const QString& reason, bool permanent);
    void complete(std::shared_ptr<XmlTree> tree, const QString& error, bool permanent);
    void dropReply();

    QNetworkReply* m_reply = nullptr;
    std::unique_ptr<QTimer> m_deadline;
    std::unique_ptr<QTimer> m_resume; // runs while a parse is cut into slices
    bool m_finished = false;          // the reply has ended; its rest is being parsed
    std::unique_ptr<XmlTree::Parser> m_parser; // made when the first bytes arrive
    QUrl m_url;
    qint64 m_sizeLimit;
    qint64 m_elementLimit;
    int m_stallTimeoutMs;
    qint64 m_received = 0;
    QString m_malformed; // why the document is not well-formed; the rest of the reply is dropped
    Completion m_done;
    BodySink m_sink;
    Validators m_replyValidators;
    bool m_conditional = false;
    bool m_notModified = false;
};
