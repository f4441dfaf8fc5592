#include "SocketSys.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace SocketSys {

namespace {

Result failure()
{
    return Result{-1, classicError(errno)};
}

int lastError(int rc)
{
    return rc == 0 ? 0 : classicError(errno);
}

sockaddr_in ipv4Address(quint32 address, quint16 port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    return sa;
}

// recv() in both flavours: EINTR is retried, the rest reported.
Result receiveWith(int handle, char* data, qint64 length, int flags)
{
    for (;;) {
        const ssize_t n = ::recv(handle, data, size_t(length), flags | MSG_DONTWAIT);
        if (n >= 0)
            return Result{n, 0};
        if (errno != EINTR)
            return failure();
    }
}

} // namespace

int classicError(int e)
{
    switch (e) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case ENFILE: return 10024;
    case EAGAIN: return 10035;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return 10035;
#endif
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: return 10055;
    case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    // Sending on a socket that is shut down or no longer connected.
    case EPIPE: return 10058;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    default: return 20000 + e;
    }
}

Result createTcpSocket()
{
    return createTcpSocket(false);
}

Result createTcpSocket(bool ipv6)
{
    const int handle = ::socket(ipv6 ? AF_INET6 : AF_INET,
                                SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (handle < 0)
        return failure();
    if (ipv6) {
        // Mapped IPv4 addresses would let one socket reach both families;
        // each family gets its own socket instead, as it does on the wire.
        const int only = 1;
        ::setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    }
    return Result{handle, 0};
}

bool isIPv6Socket(int handle)
{
    sockaddr_storage sa{};
    socklen_t length = sizeof sa;
    return ::getsockname(handle, reinterpret_cast<sockaddr*>(&sa), &length) == 0 &&
           sa.ss_family == AF_INET6;
}

int closeSocket(int handle)
{
    // No retry on EINTR: on Linux the handle is gone whatever close() says,
    // and a retry could close a handle another part of the program just got.
    const int rc = ::close(handle);
    if (rc != 0 && errno == EINTR)
        return 0;
    return lastError(rc);
}

int setLinger(int handle, bool on, int seconds)
{
    linger value{};
    value.l_onoff = on ? 1 : 0;
    value.l_linger = seconds;
    return lastError(::setsockopt(handle, SOL_SOCKET, SO_LINGER, &value, sizeof value));
}

int setReceiveLowWater(int handle, int bytes)
{
    const int value = std::max(bytes, 1);
    return lastError(::setsockopt(handle, SOL_SOCKET, SO_RCVLOWAT, &value, sizeof value));
}

int connectIPv4(int handle, quint32 address, quint16 port)
{
    const sockaddr_in sa = ipv4Address(address, port);
    int rc = ::connect(handle, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    // An interrupted connect goes on in the background, like an unfinished one.
    if (rc != 0 && (errno == EINPROGRESS || errno == EINTR))
        return kWouldBlock;
    return lastError(rc);
}

int pendingError(int handle)
{
    int value = 0;
    socklen_t length = sizeof value;
    if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &value, &length) != 0)
        return classicError(errno);
    return classicError(value);
}

int bindIPv4(int handle, quint32 address, quint16 port)
{
    const sockaddr_in sa = ipv4Address(address, port);
    return lastError(::bind(handle, reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
}

namespace {

sockaddr_in6 ipv6Address(const quint8* address, quint32 scopeId, quint16 port)
{
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port);
    sa.sin6_scope_id = scopeId;
    if (address)
        std::copy(address, address + 16, sa.sin6_addr.s6_addr);
    return sa;
}

} // namespace

int connectIPv6(int handle, const quint8* address, quint32 scopeId, quint16 port)
{
    const sockaddr_in6 sa = ipv6Address(address, scopeId, port);
    int rc = ::connect(handle, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (rc != 0 && (errno == EINPROGRESS || errno == EINTR))
        return kWouldBlock;
    return lastError(rc);
}

int bindIPv6(int handle, const quint8* address, quint16 port)
{
    const sockaddr_in6 sa = ipv6Address(address, 0, port);
    return lastError(::bind(handle, reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
}

bool localAddressIPv6(int handle, quint8* address, quint16* port)
{
    sockaddr_in6 sa{};
    socklen_t length = sizeof sa;
    if (::getsockname(handle, reinterpret_cast<sockaddr*>(&sa), &length) != 0 ||
        sa.sin6_family != AF_INET6)
        return false;
    std::copy(sa.sin6_addr.s6_addr, sa.sin6_addr.s6_addr + 16, address);
    *port = ntohs(sa.sin6_port);
    return true;
}

int shutdownSend(int handle)
{
    return lastError(::shutdown(handle, SHUT_WR));
}

int listen(int handle, int backlog)
{
    return lastError(::listen(handle, backlog));
}

Result accept(int handle, quint32* peerAddress, quint16* peerPort, quint8* peerAddressIPv6)
{
    for (;;) {
        sockaddr_storage storage{};
        socklen_t length = sizeof storage;
        const int rc = ::accept4(handle, reinterpret_cast<sockaddr*>(&storage), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (rc >= 0) {
            const bool v4 = storage.ss_family == AF_INET;
            const auto* sa = reinterpret_cast<const sockaddr_in*>(&storage);
            const auto* sa6 = reinterpret_cast<const sockaddr_in6*>(&storage);
            if (peerAddress)
                *peerAddress = v4 ? ntohl(sa->sin_addr.s_addr) : 0;
            if (peerPort)
                *peerPort = ntohs(v4 ? sa->sin_port : sa6->sin6_port);
            if (peerAddressIPv6 && !v4)
                std::memcpy(peerAddressIPv6, sa6->sin6_addr.s6_addr, 16);
            return Result{rc, 0};
        }
        if (errno != EINTR)
            return failure();
    }
}

Result send(int handle, const char* data, qint64 length)
{
    for (;;) {
        // MSG_NOSIGNAL: a peer that has gone must give an error, not SIGPIPE.
        const ssize_t n = ::send(handle, data, size_t(length), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return Result{n, 0};
        if (errno != EINTR)
            return failure();
    }
}

Result receive(int handle, char* data, qint64 length)
{
    return receiveWith(handle, data, length, 0);
}

Result peek(int handle, char* data, qint64 length)
{
    return receiveWith(handle, data, length, MSG_PEEK);
}

bool peerHasClosed(int handle)
{
    pollfd p{};
    p.fd = handle;
    p.events = POLLRDHUP;
    for (;;) {
        const int rc = ::poll(&p, 1, 0);
        if (rc >= 0)
            return rc > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
        if (errno != EINTR)
            return false;
    }
}

qint64 unsentBytes(int handle)
{
    int queued = 0;
    // TIOCOUTQ is SIOCOUTQ on sockets: the unsent and unacknowledged bytes.
    if (::ioctl(handle, TIOCOUTQ, &queued) != 0)
        return -1;
    return queued;
}

bool localAddress(int handle, quint32* address, quint16* port)
{
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (::getsockname(handle, reinterpret_cast<sockaddr*>(&sa), &length) != 0
        || sa.sin_family != AF_INET)
        return false;
    *address = ntohl(sa.sin_addr.s_addr);
    *port = ntohs(sa.sin_port);
    return true;
}

bool parseDottedIPv4(const QByteArray& text, quint32* address)
{
    if (text.isEmpty() || text.contains('\0'))
        return false;
    const in_addr_t value = ::inet_addr(text.constData());
    if (value == INADDR_NONE)
        return false;
    *address = ntohl(value);
    return true;
}

QByteArray dottedIPv4(quint32 address)
{
    return QByteArray::number((address >> 24) & 0xFF) + '.' + QByteArray::number((address >> 16) & 0xFF)
        + '.' + QByteArray::number((address >> 8) & 0xFF) + '.' + QByteArray::number(address & 0xFF);
}

int maxSockets()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 32767;
    return int(std::min<rlim_t>(limit.rlim_cur, 32767));
}

} // namespace SocketSys
