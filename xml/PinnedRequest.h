#pragma once

// PinnedRequest: an http or https request for one address of its host.
//
// A squad page's logo may come from a local address only when the page did
// (see TRequestPolicy), so the program must know the address a page was
// actually read from. The network manager looks names up and picks an
// address on its own, and tells nobody which; so the document service looks
// the name up itself and hands the manager a request whose URL carries the
// chosen address, while the Host line and the certificate check (with the
// name sent for the server to pick its certificate) carry the name, as they
// would have without the pinning. The answer thus comes from the address
// that is recorded, never from one that a second look-up might give.

#include <QHostAddress>
#include <QNetworkRequest>
#include <QUrl>

class PinnedRequest {
public:
    // Whether url names its host by a name that must be looked up first:
    // http or https with a host that is no IP literal.
    static bool needsLookup(const QUrl& url);

    // The address an IP literal host stands for; null for a name.
    static QHostAddress literalHost(const QUrl& url);

    // The request for url, sent to address. Its redirections are not
    // followed by the manager: each one's target must be looked up and
    // pinned in turn. HTTP/2 is not offered, since its authority comes from
    // the URL and would name the address instead of the host.
    static QNetworkRequest make(const QUrl& url, const QHostAddress& address);
};
