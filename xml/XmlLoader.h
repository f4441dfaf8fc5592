#pragma once

// XmlLoader: one asynchronous transfer of a document into a tree.
//
// The transfer runs on the Qt event loop through a QNetworkAccessManager,
// for http, https and file URLs alike (file replies also complete on later
// turns of the loop, never inside start()). Bytes go to the parser as they
// arrive, so the document text is never held whole. A transfer whose reply
// is not 2xx, that grows beyond the size limit, or whose document breaks a
// safety limit of the parser (see XmlTreeParser.cpp, and the budget) is
// aborted at once.
//
// A host name is looked up here, and each of its addresses is asked in the
// resolver's order until one answers (PinnedRequest): the address the
// document came from is then known for certain (fetchedFrom()). Redirections
// are followed here for the same reason, each target looked up and pinned
// in turn: at most 20, to http or https, never from https to http.
//
// A document that is not well-formed does not end the transfer at once:
// until the reply has ended it cannot be told from one cut off in the
// middle, so the rest is read and dropped (still within the size limit).
//
// The completion is called exactly once, from the event loop, with the tree
// or with null, the reason and whether the failure is permanent (the two
// kinds of failure are XmlDocument::LoadFailure's, described in
// XmlDocument.h). Destroying the loader before that abandons the transfer:
// its reply is disconnected and aborted, and the completion is never called.
//
// A conditional load sends the validators it is given (If-None-Match,
// If-Modified-Since); a 304 reply completes with a null tree, no error and
// notModified() true. The validators of the last reply (ETag, Last-Modified)
// stay readable, and every body byte of a 2xx reply is also handed to the
// body sink as it arrives, so that a caller can keep the text as it came.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

#include "XmlTree.h"

class QHostInfo;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

class XmlLoader
{
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

    // budget: a document beyond it fails the load.
    XmlLoader(QNetworkAccessManager& manager, const QUrl& url, qint64 sizeLimit,
              const XmlBudget& budget, int stallTimeoutMs, int loadTimeoutMs, Completion done,
              const Validators& conditions = {}, BodySink sink = {});
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
    // The address the document (or the "not modified" reply) came from:
    // the one connected to for the last redirection's target. Null for a
    // local file and until the load has succeeded.
    QHostAddress fetchedFrom() const { return m_fetchedFrom; }
    // The load failed on one of the program's own limits (size, budget,
    // libxml2's limits): a document perhaps sound, only more than this
    // program takes.
    bool refusedByLimit() const { return m_refusedByLimit; }
    // Of the last reply; empty when it sent none.
    const Validators& replyValidators() const { return m_replyValidators; }

private:
    std::function<void()> guarded(void (XmlLoader::*handler)());
    void startHop();
    void onLookedUp(const QHostInfo& info);
    void sendNext();
    bool followRedirect();
    void abortLookup();
    void onMetaData();
    void onReadyRead();
    void onFinished();
    void onResume();
    bool statusOk(QString* problem, bool* permanent) const;
    bool replyComplete() const;
    void fail(const QString& reason, bool permanent);
    void failOnLimit(const QString& reason);
    void complete(std::shared_ptr<XmlTree> tree, const QString& error, bool permanent);
    void dropReply();

    QNetworkAccessManager& m_manager;
    QNetworkReply* m_reply = nullptr;
    // The address asked for now (the first, or a redirection's target), its
    // host's addresses in the resolver's order, the next one to try, and the
    // one the reply in flight comes from.
    QUrl m_hopUrl;
    QList<QHostAddress> m_candidates;
    qsizetype m_nextCandidate = 0;
    QHostAddress m_replyAddress;
    QHostAddress m_fetchedFrom;
    int m_redirects = 0;
    int m_lookupId = -1;
    quint64 m_lookupSerial = 0;         // of the look-up whose answer is awaited
    std::unique_ptr<QObject> m_context; // receives the answers; goes with the loader
    std::unique_ptr<QTimer> m_deadline;
    std::unique_ptr<QTimer> m_resume;          // runs while a parse is cut into slices
    bool m_finished = false;                   // the reply has ended; its rest is being parsed
    std::unique_ptr<XmlTree::Parser> m_parser; // made when the first bytes arrive
    QUrl m_url;
    qint64 m_sizeLimit;
    XmlBudget m_budget;
    int m_stallTimeoutMs;
    qint64 m_received = 0;
    QString m_malformed; // why the document is not well-formed; the rest of the reply is dropped
    Completion m_done;
    BodySink m_sink;
    Validators m_conditions;
    Validators m_replyValidators;
    bool m_conditional = false;
    bool m_notModified = false;
    bool m_refusedByLimit = false;
};
