#pragma once

// UrlParser: web addresses as RFC 3986 reads them, and references (a
// redirection's Location, a logo named relative to its page) resolved
// against the address they were found at.
//
// Pure: it opens no socket, looks no name up and keeps no state, so the HTTP
// client, the request policy and the fuzzer all read an address the same
// way. Addresses come from squad pages and from servers, so what would be
// read one way here and another way by the socket layer, a resolver or a
// certificate check is refused rather than guessed at:
// - an authority whose port is no number of 1 to 65535 ("h:8080:80" too),
// - a host that is no IP literal, dotted address or host name (characters
//   outside RFC 3986's registered names, empty labels such as ".."),
// - a host that ends in a number but is no IPv4 address ("1.2.3.256").
// A host written as an IPv4 address in any of the spellings the system's
// address parser takes ("127.1", "2130706433", "0x7f.0.0.1",
// "017700000001") comes out in its one dotted form, "127.0.0.1", so that
// the address connected to, the Host header and the certificate check all
// see the same address.

#include <QString>

struct UrlParts {
    QString scheme;            // lower case; empty: a reference without one
    bool hasAuthority = false; // "//" was there
    bool hasUserInfo = false;
    QString userInfo; // as written, still percent-encoded
    QString host;     // without brackets; an IPv4 address in dotted form
    int port = -1;    // -1: none written (or "h:" with an empty port)
    QString path;     // as written; dot segments go when a reference is resolved
    bool hasQuery = false;
    QString query; // without the "?"
    bool hasFragment = false;
    QString fragment;

    bool isIPv6Literal() const;
    // host, bracketed when it is an IPv6 address, and ":port" when one was
    // written.
    QString hostAndPort() const;
    // The address as text: scheme, authority (without the user info), path
    // and query; the fragment only when asked for.
    QString toString(bool withFragment = false) const;
};

class UrlParser {
public:
    // Splits text (an absolute address or a reference) into its parts.
    // Throws ERangeError for a port out of range, EConvertError for a port
    // that is no number, Exception for a bad host, a line break, NUL or
    // other control character.
    static UrlParts parse(const QString& text);

    // RFC 3986 section 5.2.2 (the strict form): the address reference
    // stands for when it was found at base. base must have a scheme.
    static UrlParts resolve(const UrlParts& base, const UrlParts& reference);

    // RFC 3986 section 5.2.4: "." and ".." segments removed, empty segments
    // kept ("/a//b").
    static QString removeDotSegments(const QString& path);

    // The host as an IPv4 address in host byte order, read as the system's
    // address parser reads it (one to four parts, each decimal, octal with a
    // leading 0 or hexadecimal with 0x). False when it is none.
    static bool parseIPv4(const QString& host, quint32* address);
    // Whether a host name ends in a number, as an IPv4 address does: such a
    // host is meant as an address and must read as one.
    static bool endsInNumber(const QString& host);
};
