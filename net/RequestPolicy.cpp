#include "RequestPolicy.h"

#include <algorithm>

#include "UrlParser.h"

namespace {

// The Fetch standard's list of ports no request of a page may reach.
constexpr quint16 kBadPorts[] = {
    1,    7,    9,    11,   13,   15,   17,   19,   20,   21,   22,   23,    25,   37,
    42,   43,   53,   69,   77,   79,   87,   95,   101,  102,  103,  104,   109,  110,
    111,  113,  115,  117,  119,  123,  135,  137,  139,  143,  161,  179,   389,  427,
    465,  512,  513,  514,  515,  526,  530,  531,  532,  540,  548,  554,   556,  563,
    587,  601,  636,  989,  990,  993,  995,  1719, 1720, 1723, 2049, 3659,  4045, 4190,
    5060, 5061, 6000, 6566, 6665, 6666, 6667, 6668, 6669, 6679, 6697, 10080,
};

} // namespace

TRequestPolicy TRequestPolicy::forPage(bool pageIsLocal)
{
    TRequestPolicy policy;
    policy.AllowLocalAddresses = pageIsLocal;
    policy.AllowBadPorts = false;
    return policy;
}

bool TRequestPolicy::isLocalAddress(const QHostAddress& address)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped) {
        const quint32 a = v4 >> 24, b = (v4 >> 16) & 0xFF;
        return a == 127 || a == 10 || a == 0 || (a == 172 && b >= 16 && b <= 31) ||
               (a == 192 && b == 168) || (a == 169 && b == 254);
    }
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    return address.isLoopback() || address == QHostAddress::AnyIPv6 || (bytes[0] & 0xFE) == 0xFC ||
           (bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80);
}

bool TRequestPolicy::isBadPort(quint16 port)
{
    return std::binary_search(std::begin(kBadPorts), std::end(kBadPorts), port);
}

QString TRequestPolicy::refusal(const QHostAddress& address, quint16 port) const
{
    if (!AllowBadPorts && isBadPort(port))
        return QStringLiteral("Port %1 is not allowed for this request").arg(port);
    if (!AllowLocalAddresses && isLocalAddress(address))
        return QStringLiteral("Address %1 is local and not allowed for this request")
            .arg(address.toString());
    return QString();
}

bool TRequestPolicy::pageIsLocal(const QString& pageUrl, const QHostAddress& fetchedFrom)
{
    // The address the page came from decides. Looking its name up again
    // would ask the resolver, which may answer otherwise than it did for the
    // page (a name with a public and a local address, or one whose answer
    // changes between two look-ups).
    if (!fetchedFrom.isNull())
        return isLocalAddress(fetchedFrom);
    if (!pageUrl.contains(QLatin1String("://")))
        return true; // a file of this machine
    UrlParts page;
    try {
        page = UrlParser::parse(pageUrl);
    } catch (const std::exception&) {
        return false;
    }
    if (page.scheme == QLatin1String("file"))
        return true;
    const QHostAddress literal(page.host);
    if (!literal.isNull())
        return isLocalAddress(literal);
    // A name whose address is not known (a copy shown offline) is public,
    // unless it is the one name that always means this machine.
    return page.host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0;
}
