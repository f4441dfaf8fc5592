// Fuzz target: the URL parser alone, on its own (no client, no socket), as
// every address from a squad page or a server's Location reaches it: parsed,
// and resolved against a page's address.
//
// Checked beyond "no crash, no sanitizer report":
// - parsing ends with parts or with one of the documented exceptions;
// - the parts are usable: a port of 1 to 65535 or none, a host without
//   characters that would mean something else to a resolver or a header
//   (controls, spaces, "/?#@[]\%"), a host that ends in a number in dotted
//   form, an IPv6 host that is an IPv6 address;
// - the parts written out read back as the same parts;
// - a reference resolved against a page's address has the page's scheme or
//   its own, no "." or ".." segment left when it has an authority, and
//   resolving what it writes out changes nothing.

#include <QHostAddress>
#include <QString>

#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "SockErrors.h"
#include "UrlParser.h"

namespace {

bool sameParts(const UrlParts& a, const UrlParts& b)
{
    return a.scheme == b.scheme && a.hasAuthority == b.hasAuthority && a.host == b.host && a.port == b.port
        && a.path == b.path && a.hasQuery == b.hasQuery && a.query == b.query && a.hasFragment == b.hasFragment
        && a.fragment == b.fragment;
}

void checkHost(const UrlParts& parts)
{
    FUZZ_CHECK(parts.port == -1 || (parts.port >= 1 && parts.port <= 65535));
    if (parts.isIPv6Literal()) {
        FUZZ_CHECK(QHostAddress(parts.host).protocol() == QAbstractSocket::IPv6Protocol);
        return;
    }
    for (const QChar c : parts.host) {
        FUZZ_CHECK(c.unicode() > 0x20 && c.unicode() != 0x7F);
        FUZZ_CHECK(!QStringView(u"/?#@[]\\%:<>\"{}|^`").contains(c));
        FUZZ_CHECK(!c.isSpace());
    }
    if (!parts.host.isEmpty() && UrlParser::endsInNumber(parts.host))
        FUZZ_CHECK(QHostAddress(parts.host).toString() == parts.host);
}

void checkResolved(const UrlParts& base, const UrlParts& reference)
{
    const UrlParts target = UrlParser::resolve(base, reference);
    FUZZ_CHECK(!target.scheme.isEmpty());
    FUZZ_CHECK(target.scheme == base.scheme || target.scheme == reference.scheme);
    if (target.hasAuthority) {
        FUZZ_CHECK(target.path.isEmpty() || target.path.startsWith(QLatin1Char('/')));
        for (const QStringView segment : QStringView(target.path).split(QLatin1Char('/')))
            FUZZ_CHECK(segment != u"." && segment != u"..");
    }
    // "//" at the start of a path without an authority would read back as
    // one; RFC 3986 leaves that case to the writer.
    if (!target.hasAuthority && target.path.startsWith(u"//"))
        return;
    const QString written = target.toString(true);
    const UrlParts again = UrlParser::resolve(base, UrlParser::parse(written));
    FUZZ_CHECK(again.toString(true) == written);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    UrlParts parts;
    try {
        parts = UrlParser::parse(text);
    } catch (const Exception&) {
        return 0; // a bad port, host or IPv6 literal, a line break or NUL
    }
    checkHost(parts);
    UrlParts written = UrlParser::parse(parts.toString(true));
    parts.hasUserInfo = false; // toString leaves the user info out
    parts.userInfo.clear();
    FUZZ_CHECK(sameParts(parts, written));

    static const UrlParts page = UrlParser::parse(QStringLiteral("http://squads.example:8080/dir/page.xml?v=1"));
    static const UrlParts bare = UrlParser::parse(QStringLiteral("https://[::1]"));
    checkResolved(page, parts);
    checkResolved(bare, parts);
    return 0;
}
