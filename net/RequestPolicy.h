#pragma once

// TRequestPolicy: where a request may go, decided on the address about to be
// connected to (after the name look-up, and again after each redirection).
//
// A squad page makes every viewer's program fetch its logo address, so a
// hostile page could aim all its viewers at their own routers or at services
// on their own machines. As web browsers do, requests a page causes reach
// loopback and private-network addresses only when the page itself came from
// such an address, and never reach the ports of other protocols (mail, news,
// ...) that a crafted request could talk to.

#include <QHostAddress>
#include <QString>

class TRequestPolicy
{
public:
    // Loopback and private-network addresses may be contacted.
    bool AllowLocalAddresses = true;
    // The ports of the bad-port list may be contacted.
    bool AllowBadPorts = true;

    // The policy for the requests of a page: local addresses only for a page
    // from a local address, bad ports never.
    static TRequestPolicy forPage(bool pageIsLocal);

    // 127/8, ::1, 10/8, 172.16/12, 192.168/16, 169.254/16, fc00::/7,
    // fe80::/10, the unspecified addresses, and IPv4 addresses mapped into
    // IPv6 from any of these.
    static bool isLocalAddress(const QHostAddress& address);
    // The bad ports of the Fetch standard.
    static bool isBadPort(quint16 port);

    // Empty when the address may be contacted, else the reason.
    QString refusal(const QHostAddress& address, quint16 port) const;

    // Whether the page at pageUrl counts as local. fetchedFrom is the
    // address the page was read from, null when it was not fetched (a file,
    // a copy kept from earlier): then a file, a local address literal or
    // "localhost" is local and any other name is not. Never waits.
    static bool pageIsLocal(const QString& pageUrl, const QHostAddress& fetchedFrom);
};
