#include "TlsSession.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "SockErrors.h"
#include "TlsPeerName.h"

namespace {

// The classic number a broken TLS stream reports: the connection is unusable
// as if the peer had aborted it.
constexpr int kTlsBroken = 10053;

// One context for the whole process: its trust store is read once.
SSL_CTX* sharedContext()
{
    static SSL_CTX* const context = [] {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        if (!ctx)
            return ctx;
        // A context that lacks any of its settings would accept what it
        // must refuse: none is made then, and every session fails to start.
        if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) {
            SSL_CTX_free(ctx);
            return static_cast<SSL_CTX*>(nullptr);
        }
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        // Web servers of HTTP/1.0 replies often close without the closing
        // alert; the body's length check catches a reply cut short.
        SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
        SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT);
        // As curl and OpenSSL's own tools: SSL_CERT_FILE names the bundle to
        // trust instead of the system's store.
        const char* bundle = std::getenv("SSL_CERT_FILE");
        const int trusted = bundle && *bundle ? SSL_CTX_load_verify_locations(ctx, bundle, nullptr)
                                              : SSL_CTX_set_default_verify_paths(ctx);
        if (trusted != 1) {
            SSL_CTX_free(ctx);
            return static_cast<SSL_CTX*>(nullptr);
        }
        return ctx;
    }();
    return context;
}

// The socket BIO of the sessions. OpenSSL's own writes the descriptor with
// write(), which raises SIGPIPE when the peer has reset the connection (a
// closing alert after a reset is enough to end the process); this one goes
// through SocketSys, whose sends never raise it. errno is left as the failed
// call set it, since the session's error handling reads it.
int bioWrite(BIO* bio, const char* data, int length)
{
    BIO_clear_retry_flags(bio);
    const int handle = int(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    const SocketSys::Result r = SocketSys::send(handle, data, length);
    if (r.ok())
        return int(r.value);
    if (r.error == SocketSys::kWouldBlock)
        BIO_set_retry_write(bio);
    return -1;
}

int bioRead(BIO* bio, char* data, int length)
{
    BIO_clear_retry_flags(bio);
    const int handle = int(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    const SocketSys::Result r = SocketSys::receive(handle, data, length);
    if (r.ok())
        return int(r.value);
    if (r.error == SocketSys::kWouldBlock)
        BIO_set_retry_read(bio);
    return -1;
}

long bioControl(BIO*, int command, long, void*)
{
    // Writes go straight to the socket: there is nothing to flush.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bioCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD* socketMethod()
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "corvanet socket");
        if (m) {
            BIO_meth_set_write(m, bioWrite);
            BIO_meth_set_read(m, bioRead);
            BIO_meth_set_ctrl(m, bioControl);
            BIO_meth_set_create(m, bioCreate);
        }
        return m;
    }();
    return method;
}

QString openSslError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return QStringLiteral("unknown error");
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

} // namespace

struct TTlsSession::Private {
    SSL* ssl = nullptr;
    bool closed = false;
    // The peer's closing alert (or the end of the stream) was read, possibly
    // in the same read as the last data: nothing more will come.
    bool peerClosed = false;
    // A copy of the first resumable session of this connection, never used
    // by a connection itself: OpenSSL marks a TLS 1.3 session it resumed
    // with as not resumable, so handing out the live one would let only the
    // first data connection resume. Each data connection gets a copy of it.
    SSL_SESSION* offer = nullptr;

    // The outcome of an SSL call in the SocketSys form.
    SocketSys::Result result(int rc)
    {
        if (rc > 0)
            return {rc, 0};
        switch (SSL_get_error(ssl, rc)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            return {-1, SocketSys::kWouldBlock};
        case SSL_ERROR_ZERO_RETURN:
            return {0, 0};
        case SSL_ERROR_SYSCALL:
            ERR_clear_error();
            return errno != 0 ? SocketSys::Result{-1, SocketSys::classicError(errno)}
                              : SocketSys::Result{0, 0};
        default:
            ERR_clear_error();
            return {-1, kTlsBroken};
        }
    }
};

TTlsSession::TTlsSession(int handle, const QString& peerName, const TTlsSession* resumeFrom)
    : d(std::make_unique<Private>())
{
    SSL_CTX* ctx = sharedContext();
    d->ssl = ctx ? SSL_new(ctx) : nullptr;
    BIO* bio = d->ssl && socketMethod() ? BIO_new(socketMethod()) : nullptr;
    if (!bio) {
        if (d->ssl)
            SSL_free(d->ssl);
        d->ssl = nullptr;
        throw ESockError(QStringLiteral("TLS could not start: %1").arg(openSslError()));
    }
    BIO_set_data(bio, reinterpret_cast<void*>(intptr_t(handle)));
    SSL_set_bio(d->ssl, bio, bio);
    // Names are sent for the server to pick its certificate and checked
    // against it; addresses are checked against its IP entries.
    try {
        TlsPeerName(peerName).applyTo(d->ssl);
    } catch (...) {
        SSL_free(d->ssl);
        d->ssl = nullptr;
        throw;
    }
    if (resumeFrom) {
        SSL_SESSION* session = resumeFrom->offeredSession();
        if (session) {
            // A session that cannot be offered costs a full handshake, not
            // the checks.
            SSL_set_session(d->ssl, session);
            SSL_SESSION_free(session);
        }
    }
}

TTlsSession::~TTlsSession()
{
    if (d->offer)
        SSL_SESSION_free(d->offer);
    if (d->ssl)
        SSL_free(d->ssl);
}

SSL_SESSION* TTlsSession::offeredSession() const
{
    if (!d->offer && d->ssl && SSL_is_init_finished(d->ssl)) {
        // TLS 1.3 servers send their tickets after the handshake; the control
        // connection normally has read them with its next reply, but tickets
        // still waiting in the socket are read now, without waiting.
        SSL_SESSION* current = SSL_get0_session(d->ssl);
        if ((!current || !SSL_SESSION_is_resumable(current)) && !d->peerClosed) {
            char byte;
            ERR_clear_error();
            SSL_peek(d->ssl, &byte, 1);
            ERR_clear_error();
            current = SSL_get0_session(d->ssl);
        }
        if (current && SSL_SESSION_is_resumable(current))
            d->offer = SSL_SESSION_dup(current);
    }
    return d->offer ? SSL_SESSION_dup(d->offer) : nullptr;
}

TTlsSession::Step TTlsSession::handshake()
{
    ERR_clear_error();
    errno = 0;
    const int rc = SSL_connect(d->ssl);
    if (rc == 1)
        return Step::Done;
    const int error = SSL_get_error(d->ssl, rc);
    if (error == SSL_ERROR_WANT_READ)
        return Step::WantRead;
    if (error == SSL_ERROR_WANT_WRITE)
        return Step::WantWrite;
    const long verify = SSL_get_verify_result(d->ssl);
    if (verify != X509_V_OK) {
        ERR_clear_error();
        throw ESockError(QStringLiteral("TLS certificate verification failed: %1")
                             .arg(QString::fromLatin1(X509_verify_cert_error_string(verify))));
    }
    if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
        throw ESockError(QStringLiteral("TLS handshake failed: the connection closed"));
    throw ESockError(QStringLiteral("TLS handshake failed: %1").arg(openSslError()));
}

SocketSys::Result TTlsSession::send(const char* data, qint64 length)
{
    ERR_clear_error();
    errno = 0;
    return d->result(SSL_write(d->ssl, data, int(qMin<qint64>(length, 1 << 30))));
}

SocketSys::Result TTlsSession::receive(char* data, qint64 length)
{
    if (d->peerClosed && SSL_pending(d->ssl) == 0)
        return {0, 0};
    // One call returns one record at most (16 KiB); the socket layer moves
    // larger chunks, so the records already here are gathered into one.
    qint64 got = 0;
    while (got < length) {
        ERR_clear_error();
        errno = 0;
        const SocketSys::Result r =
            d->result(SSL_read(d->ssl, data + got, int(qMin<qint64>(length - got, 1 << 30))));
        if (r.ok() && r.value > 0) {
            got += r.value;
            continue;
        }
        // The closing alert often comes in the same read as the last data.
        // It is remembered here, since the socket has nothing more to say
        // and so would never wake anybody to look again.
        if (r.ok())
            d->peerClosed = true;
        if (got > 0)
            return {got, 0};
        return r;
    }
    return {got, 0};
}

SocketSys::Result TTlsSession::peek(char* data, qint64 length)
{
    if (d->peerClosed && SSL_pending(d->ssl) == 0)
        return {0, 0};
    ERR_clear_error();
    errno = 0;
    const SocketSys::Result r = d->result(SSL_peek(d->ssl, data, int(qMin<qint64>(length, 1 << 30))));
    if (r.ok() && r.value == 0)
        d->peerClosed = true;
    return r;
}

bool TTlsSession::peerClosed() const
{
    return d->peerClosed;
}

bool TTlsSession::hasPending() const
{
    return SSL_pending(d->ssl) > 0;
}

void TTlsSession::close()
{
    if (d->closed || !SSL_is_init_finished(d->ssl))
        return;
    d->closed = true;
    // A socket closed with unread bytes waiting resets the connection, and a
    // reset makes the peer drop what it has not read yet: the end of an
    // upload. TLS 1.3 servers send session tickets that a sending client
    // never reads, so whatever is waiting is read (and dropped) first.
    char sink[16384];
    for (int i = 0; i < 64; ++i) {
        ERR_clear_error();
        if (SSL_read(d->ssl, sink, int(sizeof sink)) <= 0)
            break;
    }
    ERR_clear_error();
    SSL_shutdown(d->ssl);
    ERR_clear_error();
}

QString TTlsSession::protocol() const
{
    return QString::fromLatin1(SSL_get_version(d->ssl));
}
