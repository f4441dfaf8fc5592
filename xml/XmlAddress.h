#pragma once

// XmlAddress: what an address handed to XmlDocument::load() means, and
// whether a load of it can start at all.
//
// Accepted are http and https URLs, file URLs (without a host, or with
// "localhost") and local paths, absolute or relative to the current
// directory. A load cannot start for an empty or malformed address, any other
// scheme, a local file that does not exist, or a network address whose host
// is not on loopback while no network interface other than loopback is up.

#include <QString>
#include <QUrl>

#include <functional>

class XmlAddress {
public:
    enum class Kind { Invalid, Network, LocalFile };

    static XmlAddress parse(const QString& address);

    Kind kind() const { return m_kind; }
    // For a local file, a file: URL of its absolute path.
    QUrl url() const { return m_url; }
    // Why a load of this address cannot start; empty when it can.
    QString problem() const { return m_problem; }
    // Whether that problem may go away by itself (no network just now), as
    // against an address that can never be loaded.
    bool problemIsTransient() const { return m_transient; }

    static bool isLoopbackHost(const QString& host);

    // Whether some network interface other than loopback is up and running.
    // Tests replace the check, so that the no-network path can be exercised
    // without sending anything anywhere; an empty probe restores the real one.
    using InterfaceProbe = std::function<bool()>;
    static void setInterfaceProbe(InterfaceProbe probe);
    static bool networkInterfaceUp();

private:
    Kind m_kind = Kind::Invalid;
    QUrl m_url;
    QString m_problem;
    bool m_transient = false;
};
