#include "XmlLoader.h"

#include <QDateTime>
#include <QHostInfo>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include "PinnedRequest.h"
#include "XmlTree.h"

namespace {

// The bytes parsed in one turn of the event loop. A fast server or a local
// file hands over megabytes at once; parsed whole, a large page would hold
// the window for a quarter of a second and more.
constexpr qint64 kSliceBytes = 256 * 1024;

// The most the reply holds for the parser; several slices' worth.
constexpr qint64 kReplyBufferBytes = 1024 * 1024;

// Redirections followed in one load at most.
constexpr int kMaxRedirects = 20;

// The charset parameter of a Content-Type value, without quotes.
QByteArray charsetOf(const QByteArray& contentType)
{
    const QList<QByteArray> parts = contentType.split(';');
    for (qsizetype i = 1; i < parts.size(); ++i) {
        const QByteArray part = parts[i].trimmed();
        const qsizetype eq = part.indexOf('=');
        if (eq < 0 || part.left(eq).trimmed().toLower() != "charset")
            continue;
        QByteArray value = part.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return QByteArray();
}

} // namespace

XmlLoader::XmlLoader(QNetworkAccessManager& manager, const QUrl& url, qint64 sizeLimit, const XmlBudget& budget,
                     int stallTimeoutMs, int loadTimeoutMs, Completion done, const Validators& conditions,
                     BodySink sink)
    : m_manager(manager),
      m_url(url),
      m_sizeLimit(sizeLimit),
      m_budget(budget),
      m_stallTimeoutMs(stallTimeoutMs),
      m_done(std::move(done)),
      m_sink(std::move(sink)),
      m_conditions(conditions),
      m_conditional(!conditions.isEmpty())
{
    m_hopUrl = url;
    // Owns the look-ups' answers: gone with the loader, so an answer can
    // never reach a loader that is gone.
    m_context = std::make_unique<QObject>();

    // The timer belongs to the loader, so it can never fire for a loader
    // that is gone; fail() only stores the outcome.
    m_deadline = std::make_unique<QTimer>();
    m_deadline->setSingleShot(true);
    QObject::connect(m_deadline.get(), &QTimer::timeout, m_deadline.get(), [this, loadTimeoutMs] {
        fail(QStringLiteral("The load did not end within %1 ms").arg(loadTimeoutMs), false);
    });
    m_deadline->start(loadTimeoutMs);

    // Continues a parse cut into slices; owned like the deadline.
    m_resume = std::make_unique<QTimer>();
    m_resume->setSingleShot(true);
    m_resume->setInterval(0);
    QObject::connect(m_resume.get(), &QTimer::timeout, m_resume.get(), guarded(&XmlLoader::onResume));

    startHop();
}

// Every slot catches everything, since exceptions must not unwind through
// Qt; none of them runs user code or deletes this loader.
std::function<void()> XmlLoader::guarded(void (XmlLoader::*handler)())
{
    return [this, handler] {
        try {
            (this->*handler)();
        } catch (const std::exception& e) {
            fail(QString::fromUtf8(e.what()), false);
        } catch (...) {
            fail(QStringLiteral("The load failed"), false);
        }
    };
}

void XmlLoader::startHop()
{
    m_candidates.clear();
    m_nextCandidate = 0;
    if (!PinnedRequest::needsLookup(m_hopUrl)) {
        // A file, or a host given as an address: nothing to choose.
        m_candidates.append(PinnedRequest::literalHost(m_hopUrl));
        sendNext();
        return;
    }
    // The answer may come inside lookupHost() itself; it is handled on a
    // later turn of the loop, so that no completion runs from inside the
    // constructor.
    QObject* context = m_context.get();
    const quint64 serial = ++m_lookupSerial;
    m_lookupId = QHostInfo::lookupHost(m_hopUrl.host(QUrl::FullyEncoded), context,
                                       [this, context, serial](const QHostInfo& info) {
                                           QMetaObject::invokeMethod(
                                               context,
                                               [this, serial, info] {
                                                   if (serial == m_lookupSerial)
                                                       onLookedUp(info);
                                               },
                                               Qt::QueuedConnection);
                                       });
}

void XmlLoader::onLookedUp(const QHostInfo& info)
{
    m_lookupId = -1;
    if (!m_done)
        return; // the load has ended meanwhile
    try {
        for (const QHostAddress& a : info.addresses()) {
            if (!a.isNull() && !m_candidates.contains(a))
                m_candidates.append(a);
        }
        if (m_candidates.isEmpty()) {
            fail(QStringLiteral("Host %1 not found: %2").arg(m_hopUrl.host(), info.errorString()), false);
            return;
        }
        sendNext();
    } catch (const std::exception& e) {
        fail(QString::fromUtf8(e.what()), false);
    }
}

void XmlLoader::sendNext()
{
    const QHostAddress address = m_candidates.at(m_nextCandidate++);
    QNetworkRequest request = address.isNull() || !PinnedRequest::needsLookup(m_hopUrl)
        ? QNetworkRequest(m_hopUrl)
        : PinnedRequest::make(m_hopUrl, address);
    // Redirections are taken here, so that each target is pinned in turn.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (!m_conditions.etag.isEmpty())
        request.setRawHeader("If-None-Match", m_conditions.etag);
    if (!m_conditions.lastModified.isEmpty())
        request.setRawHeader("If-Modified-Since", m_conditions.lastModified);
    // Every load ends: a transfer that makes no progress for this long is
    // aborted by Qt and ends as a failed load.
    request.setTransferTimeout(m_stallTimeoutMs);
    m_replyAddress = address;
    m_received = 0;
    m_reply = m_manager.get(request);
    // What arrives faster than it is parsed waits in the socket, not in the
    // reply: a fast server would otherwise have the whole body buffered
    // beside the tree being built from it.
    m_reply->setReadBufferSize(kReplyBufferBytes);

    // The reply is the context of every connection, so they end with it.
    QObject::connect(m_reply, &QNetworkReply::metaDataChanged, m_reply, guarded(&XmlLoader::onMetaData));
    QObject::connect(m_reply, &QNetworkReply::readyRead, m_reply, guarded(&XmlLoader::onReadyRead));
    QObject::connect(m_reply, &QNetworkReply::finished, m_reply, guarded(&XmlLoader::onFinished));
}

// A redirection: the target, read against the address that sent it, is
// looked up and pinned like the first one. Returns false when it failed the
// load.
bool XmlLoader::followRedirect()
{
    const QByteArray location = m_reply->rawHeader("Location").trimmed();
    if (location.isEmpty()) {
        fail(QStringLiteral("The server redirected without a location"), false);
        return false;
    }
    const QUrl target = m_hopUrl.resolved(QUrl::fromEncoded(location));
    const QString scheme = target.scheme().toLower();
    if (!target.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        || target.host().isEmpty()) {
        fail(QStringLiteral("The server redirected to an unusable address"), false);
        return false;
    }
    // From https to http would hand the document to anyone on the way.
    if (m_hopUrl.scheme().toLower() == QLatin1String("https") && scheme == QLatin1String("http")) {
        fail(QStringLiteral("The server redirected from https to http"), false);
        return false;
    }
    if (++m_redirects > kMaxRedirects) {
        fail(QStringLiteral("Too many redirects"), false);
        return false;
    }
    dropReply();
    m_hopUrl = target;
    startHop();
    return true;
}

QByteArray XmlLoader::usableLastModified(const QByteArray& lastModified, const QByteArray& date)
{
    // HTTP dates are always GMT, in this one form (RFC 7231 IMF-fixdate);
    // a date in another form is no validator.
    const auto parse = [](const QByteArray& text) {
        QDateTime time = QLocale::c().toDateTime(QString::fromLatin1(text).trimmed(),
                                                 QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
        time.setTimeSpec(Qt::UTC);
        return time;
    };
    const QDateTime modified = parse(lastModified);
    QDateTime sent = parse(date);
    if (!sent.isValid())
        sent = QDateTime::currentDateTimeUtc();
    return modified.isValid() && modified.secsTo(sent) >= 1 ? lastModified.trimmed() : QByteArray();
}

XmlLoader::~XmlLoader()
{
    abortLookup();
    dropReply();
}

void XmlLoader::abortLookup()
{
    if (m_lookupId != -1)
        QHostInfo::abortHostLookup(m_lookupId);
    m_lookupId = -1;
    // An answer already queued finds its look-up given up.
    ++m_lookupSerial;
}

void XmlLoader::dropReply()
{
    if (!m_reply)
        return;
    QNetworkReply* reply = std::exchange(m_reply, nullptr);
    // Disconnected first, so that nothing the reply still emits reaches us.
    // The abort is queued: we may be inside one of the reply's own signals,
    // where Qt does not expect it to be aborted. If the manager goes first,
    // it deletes the reply and the queued call with it.
    QObject::disconnect(reply, nullptr, nullptr, nullptr);
    QMetaObject::invokeMethod(
        reply,
        [reply] {
            reply->abort();
            reply->deleteLater();
        },
        Qt::QueuedConnection);
}

void XmlLoader::fail(const QString& reason, bool permanent)
{
    abortLookup();
    dropReply();
    complete(nullptr, reason, permanent);
}

void XmlLoader::failOnLimit(const QString& reason)
{
    m_refusedByLimit = true;
    fail(reason, false);
}

void XmlLoader::complete(std::shared_ptr<XmlTree> tree, const QString& error, bool permanent)
{
    m_parser.reset();
    if (m_deadline)
        m_deadline->stop();
    Completion done = std::exchange(m_done, nullptr);
    if (done) // only the first ending counts
        done(std::move(tree), error, permanent);
}

bool XmlLoader::statusOk(QString* problem, bool* permanent) const
{
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return true; // not HTTP
    const int code = status.toInt();
    if (code >= 200 && code < 300)
        return true;
    // Only "not found" and "gone" say that the document is not there; a
    // server error, an overload or a refusal may pass.
    if (permanent)
        *permanent = code == 404 || code == 410;
    if (problem) {
        const QString reason = m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        *problem = QStringLiteral("The server answered HTTP %1 %2").arg(code).arg(reason).trimmed();
    }
    return false;
}

void XmlLoader::onMetaData()
{
    if (!m_reply)
        return;
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int code = status.isValid() ? status.toInt() : 200;
    m_replyValidators = {m_reply->rawHeader("ETag"),
                         usableLastModified(m_reply->rawHeader("Last-Modified"), m_reply->rawHeader("Date"))};
    if (code >= 300 && code < 400)
        return; // a redirect Qt is following (or a 304); its target's reply comes later
    QString problem;
    bool permanent = false;
    if (!statusOk(&problem, &permanent)) {
        // An error page must never become a document.
        fail(problem, permanent);
        return;
    }
    // Our own limit says nothing about the squad being gone: transient.
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > m_sizeLimit)
        failOnLimit(QStringLiteral("The document is larger than %1 bytes").arg(m_sizeLimit));
}

bool XmlLoader::replyComplete() const
{
    // Asked once the reply has finished without an error.
    if (!m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return true; // a local file, read whole
    // Qt reports a chunked body or an HTTP/2 stream that ends before its
    // final frame as RemoteHostClosedError, so one that finished is whole.
    if (m_reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool())
        return true;
    if (m_reply->rawHeader("Transfer-Encoding").toLower().contains("chunked"))
        return true;
    // Without a length, the server's close is the only end, and a dropped
    // connection looks the same.
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (!length.isValid())
        return false;
    // Qt reports a short body as an error too; counted here all the same.
    // A body Qt decompressed has more bytes than its Content-Length.
    const QByteArray encoding = m_reply->rawHeader("Content-Encoding").trimmed().toLower();
    return (!encoding.isEmpty() && encoding != "identity") || m_received == length.toLongLong();
}

void XmlLoader::onReadyRead()
{
    if (!m_reply)
        return;
    if (!statusOk(nullptr, nullptr)) {
        m_reply->skip(m_reply->bytesAvailable()); // the body of a redirect
        return;
    }
    if (!m_parser && m_malformed.isEmpty()) {
        const QByteArray contentType = m_reply->rawHeader("Content-Type");
        m_parser = std::make_unique<XmlTree::Parser>(charsetOf(contentType), m_url.toString(), m_budget);
    }
    char buffer[64 * 1024];
    qint64 slice = 0;
    while (m_reply && m_reply->bytesAvailable() > 0) {
        if (slice >= kSliceBytes) {
            m_resume->start(); // the rest on the next turn
            return;
        }
        const qint64 n = m_reply->read(buffer, sizeof buffer);
        if (n <= 0)
            break;
        m_received += n;
        slice += n;
        if (m_received > m_sizeLimit) {
            failOnLimit(QStringLiteral("The document is larger than %1 bytes").arg(m_sizeLimit));
            return;
        }
        if (!m_malformed.isEmpty())
            continue; // dropped, only to learn whether the reply ends properly
        if (!m_parser->feed(buffer, n)) {
            if (m_parser->failedOnLimit()) {
                failOnLimit(m_parser->error());
                return;
            }
            // Whether this document is broken or was cut off shows only at
            // the reply's end; what was built goes now.
            m_malformed = m_parser->error();
            m_parser.reset();
        }
        if (m_sink)
            m_sink(buffer, n);
    }
}

void XmlLoader::onResume()
{
    if (m_finished)
        onFinished();
    else
        onReadyRead();
}

void XmlLoader::onFinished()
{
    if (!m_reply)
        return;
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (m_conditional && status.toInt() == 304) {
        // The copy the caller holds is still the document.
        m_notModified = true;
        m_fetchedFrom = m_replyAddress;
        dropReply();
        complete(nullptr, QString(), false);
        return;
    }
    if (status.isValid() && status.toInt() >= 300 && status.toInt() < 400 && status.toInt() != 304) {
        followRedirect();
        return;
    }
    const QNetworkReply::NetworkError error = m_reply->error();
    if (error != QNetworkReply::NoError && !status.isValid() && m_nextCandidate < m_candidates.size()) {
        // No answer from this address; the name's next one may give it.
        dropReply();
        sendNext();
        return;
    }
    QString problem;
    bool permanent = false;
    if (!statusOk(&problem, &permanent)) {
        fail(problem, permanent);
        return;
    }
    if (error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError) {
        // We disconnect before aborting, so a cancel seen here is Qt's
        // transfer time-out.
        fail(QStringLiteral("The transfer stalled for %1 ms: %2").arg(m_stallTimeoutMs).arg(m_reply->errorString()),
             false);
        return;
    }
    if (error != QNetworkReply::NoError) {
        // A local file that is not there is as dead as a 404. Anything else
        // (a body cut short, a reset) may work next time, whatever the
        // parser made of the part that arrived.
        fail(m_reply->errorString(),
             error == QNetworkReply::ContentNotFoundError || error == QNetworkReply::ContentGoneError);
        return;
    }
    onReadyRead(); // whatever is still buffered
    if (!m_reply)
        return;
    if (m_resume->isActive()) {
        m_finished = true; // ends once the rest is parsed
        return;
    }
    const bool whole = replyComplete();
    m_fetchedFrom = m_replyAddress;
    QNetworkReply* reply = std::exchange(m_reply, nullptr);
    QObject::disconnect(reply, nullptr, nullptr, nullptr);
    reply->deleteLater();

    // Empty or not well-formed says the document is gone only when the
    // whole of it is known to have arrived.
    const QString cutOff = QStringLiteral(" (the reply did not show that it was complete)");
    if (!m_malformed.isEmpty()) {
        complete(nullptr, whole ? m_malformed : m_malformed + cutOff, whole);
        return;
    }
    if (!m_parser)
        m_parser = std::make_unique<XmlTree::Parser>(QByteArray(), m_url.toString(), m_budget);
    std::shared_ptr<XmlTree> tree = m_parser->finish();
    if (tree) {
        complete(std::move(tree), QString(), false);
        return;
    }
    const bool limit = m_parser->failedOnLimit();
    m_refusedByLimit = limit;
    complete(nullptr, whole || limit ? m_parser->error() : m_parser->error() + cutOff, whole && !limit);
}
