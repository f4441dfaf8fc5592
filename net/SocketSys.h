#pragma once

// SocketSys: the thin wrapper over the system's socket calls, the only place
// that talks to them; everything above sees plain integers. Every call is
// non-blocking and retried when a signal interrupts it. A failure never shows
// as errno: each call reports the classic socket error number (10035 for
// would-block, 10061 for a refused connection ...) in its result, so the layer
// above keeps one numbering on every platform. Sends never raise SIGPIPE;
// sockets are created close-on-exec.

#include <QByteArray>
#include <QtGlobal>

namespace SocketSys {

// Classic numbers the connection object tests for by name.
constexpr int kWouldBlock = 10035;
constexpr int kNotConnected = 10057;
constexpr int kNoSocket = -1;

// The outcome of a call: value is the call's result (bytes moved, a new
// handle); error is 0 on success, otherwise the classic error number.
struct Result {
    qint64 value = -1;
    int error = 0;
    bool ok() const { return error == 0; }
};

// The classic number for an errno value; one without gets 20000 + errno, so it
// still counts as an error (above 10000) and names the system's number in
// "Unknown Error No. N".
int classicError(int errnoValue);

// A new non-blocking IPv4 TCP socket; value is its handle.
Result createTcpSocket();
// The same for IPv6 when ipv6 is set. An IPv6 socket takes IPv6 peers only.
Result createTcpSocket(bool ipv6);
// True when the socket is an IPv6 one.
bool isIPv6Socket(int handle);
int closeSocket(int handle);

// SO_LINGER: with on and seconds 0, closing resets the connection.
int setLinger(int handle, bool on, int seconds);
// SO_RCVLOWAT: read readiness is only signalled once this many bytes wait
// (or the peer has closed).
int setReceiveLowWater(int handle, int bytes);

// address and port in host byte order. An unfinished connect reports
// would-block (the non-blocking connect's normal answer), never 10036.
int connectIPv4(int handle, quint32 address, quint16 port);
// The error that ended a non-blocking connect (SO_ERROR), 0 when it succeeded.
int pendingError(int handle);

int bindIPv4(int handle, quint32 address, quint16 port);

// The IPv6 forms of connect and bind: address is the 16 bytes in network
// order, port in host order; bindIPv6 with a null address binds to all.
int connectIPv6(int handle, const quint8* address, quint32 scopeId, quint16 port);
int bindIPv6(int handle, const quint8* address, quint16 port);
// The local address of an IPv6 socket (16 bytes, network order) and port.
bool localAddressIPv6(int handle, quint8* address, quint16* port);
int listen(int handle, int backlog);
// Ends the sending side (FIN) and keeps receiving.
int shutdownSend(int handle);
// A new non-blocking close-on-exec handle; the peer's address and port in
// host byte order (address 0 for an IPv6 peer, whose 16 bytes in network
// order go to peerAddressIPv6 when it is given).
Result accept(int handle, quint32* peerAddress, quint16* peerPort, quint8* peerAddressIPv6 = nullptr);

Result send(int handle, const char* data, qint64 length);
Result receive(int handle, char* data, qint64 length);
Result peek(int handle, char* data, qint64 length);
// True when the peer has closed its sending side, unread data waiting or not.
bool peerHasClosed(int handle);

// The bytes sent on the socket that the peer has not acknowledged yet (still
// in the send queue, SIOCOUTQ), -1 when the system cannot tell.
qint64 unsentBytes(int handle);

// The local address and port of a bound or connected socket, host order.
bool localAddress(int handle, quint32* address, quint16* port);

// A dotted IPv4 address as the classic inet_addr reads it (also the short
// forms such as "127.1"); host byte order. "255.255.255.255" does not count:
// the classic call cannot tell it from its failure value.
bool parseDottedIPv4(const QByteArray& text, quint32* address);
QByteArray dottedIPv4(quint32 address);

// The number of sockets a process may hold, capped to 16 bits.
int maxSockets();

} // namespace SocketSys
