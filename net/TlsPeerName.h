#pragma once

// TlsPeerName: what a server's certificate must name, and how OpenSSL is told.
//
// The peer is asked for by text: a host name, or an IP address in any of the
// spellings the socket layer connects to ("127.1", "2130706433",
// "0x7f.0.0.1" and the dotted form alike, IPv6 with or without brackets).
// An address is handed to the certificate check as its bytes, so that every
// spelling is checked against the certificate's IP entries; a name goes out
// for the server to pick its certificate (SNI) and is checked against the
// DNS entries alone, as browsers check: a certificate that names its host
// only in the subject's common name is refused, and so are partial
// wildcards. Any setting OpenSSL refuses fails the session: a check that was
// never set up must not pass for one that passed.

#include <QByteArray>
#include <QString>

struct ssl_st;

class TlsPeerName
{
public:
    explicit TlsPeerName(const QString& peerName);

    bool isAddress() const { return !m_address.isEmpty(); }
    // 4 or 16 bytes in network order; empty for a name.
    QByteArray addressBytes() const { return m_address; }
    // The name in its ASCII form; empty for an address or a name that has
    // none.
    QByteArray hostName() const { return m_name; }

    // Sets the checks (and for a name the SNI) on a session not yet started.
    // Throws ESockError when the name is unusable or a setting is refused.
    void applyTo(ssl_st* ssl) const;

private:
    QString m_text;
    QByteArray m_address;
    QByteArray m_name;
};
