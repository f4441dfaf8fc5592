// Fuzz target: an address as a squad page names its logo (anyone may
// publish a page), handed to THttpClient::ParseUrl and BuildRequestHeader,
// the steps of a request before it connects. Each input is parsed on a
// client without host or port and on one that keeps an earlier address's,
// which a URL without a host part reuses, through a proxy.
//
// Checked beyond "no crash, no sanitizer report":
// - the parse ends with a value or a documented exception;
// - the result can be requested: a port from 1 to 65535, a host without
//   "/" and with ":" only as an IPv6 address, a path that begins with "/"
//   and holds no space, control or non-ASCII character, no fragment left in
//   the URL;
// - the request header is refused or holds no CR, LF or NUL in any line,
//   and its request line is method, path (through a proxy, the whole URL,
//   encoded the same way) and protocol.

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "HttpClient.h"

namespace {

void parseAndBuild(const QString& url, const QString& host, int port, bool proxy)
{
    THttpClient client;
    client.Host = host;
    client.Port = port;
    if (proxy) {
        client.Proxy = QStringLiteral("127.0.0.1");
        client.ProxyPort = 3128;
    }
    client.RequestUrl = url;
    client.Command = cmdGet;
    try {
        client.ParseUrl();
    } catch (const Exception&) {
        return; // empty, CR/LF/NUL, a port no number or out of range, a bad IPv6 literal
    }

    FUZZ_CHECK(client.Port >= 1 && client.Port <= 65535);
    FUZZ_CHECK(!client.Host.contains(QLatin1Char('/')));
    FUZZ_CHECK(!client.Host.contains(QLatin1Char(':'))
               || QHostAddress(client.Host).protocol() == QAbstractSocket::IPv6Protocol);
    FUZZ_CHECK(client.RequestPath.startsWith(QLatin1Char('/')));
    for (const QChar c : std::as_const(client.RequestPath))
        FUZZ_CHECK(c.unicode() > 0x20 && c.unicode() < 0x7F);
    FUZZ_CHECK(!client.RequestUrl.contains(QLatin1Char('#')));

    try {
        client.BuildRequestHeader();
    } catch (const Exception&) {
        return; // a host or path that would break the header is refused
    }
    FUZZ_CHECK(!client.RequestHeaders.isEmpty());
    for (const QByteArray& line : std::as_const(client.RequestHeaders)) {
        FUZZ_CHECK(!line.contains('\r'));
        FUZZ_CHECK(!line.contains('\n'));
        FUZZ_CHECK(!line.contains('\0'));
    }
    const QByteArray requestLine = client.RequestHeaders.first();
    FUZZ_CHECK(requestLine.startsWith("GET ") && requestLine.endsWith(" HTTP/1.0"));
    FUZZ_CHECK(requestLine.count(' ') == 2);
    if (!proxy)
        FUZZ_CHECK(requestLine == "GET " + client.RequestPath.toUtf8() + " HTTP/1.0");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString url = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    parseAndBuild(url, QString(), 0, false);
    parseAndBuild(url, QStringLiteral("127.0.0.1"), 8080, true);
    flushDeferredDeletes();
    return 0;
}
