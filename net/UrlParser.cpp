#include "UrlParser.h"

#include <QHostAddress>
#include <QStringList>

#include <algorithm>

#include "SockErrors.h"
#include "WireText.h"

namespace {

bool isAsciiAlpha(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
}

bool isAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool isHexDigit(QChar c)
{
    return isAsciiDigit(c) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))
        || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

int hexValue(QChar c)
{
    if (isAsciiDigit(c))
        return c.unicode() - '0';
    return (c.toLower().unicode() - 'a') + 10;
}

// RFC 3986: ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ).
bool isScheme(QStringView text)
{
    if (text.isEmpty() || !isAsciiAlpha(text.front()))
        return false;
    for (const QChar c : text) {
        if (!isAsciiAlpha(c) && !isAsciiDigit(c) && c != QLatin1Char('+') && c != QLatin1Char('-')
            && c != QLatin1Char('.'))
            return false;
    }
    return true;
}

// A character of a registered name: unreserved and sub-delims of RFC 3986,
// and any character beyond ASCII that is neither a control nor a space (the
// resolver turns such a name into its ASCII form). Percent-encoding is not
// taken: a name that means one thing encoded and another decoded would be
// looked up as neither.
bool isNameCharacter(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= 0x80)
        return u >= 0xA0 && !c.isSpace() && c.category() != QChar::Other_Control;
    if (isAsciiAlpha(c) || isAsciiDigit(c))
        return true;
    return QStringView(u"-._~!$&'()*+,;=").contains(c);
}

// One part of an IPv4 address in the system's spellings.
bool parseIPv4Part(QStringView part, quint64* value)
{
    if (part.isEmpty())
        return false;
    int base = 10;
    if (part.size() >= 2 && part[0] == QLatin1Char('0')
        && (part[1] == QLatin1Char('x') || part[1] == QLatin1Char('X'))) {
        base = 16;
        part = part.mid(2);
    } else if (part.size() >= 2 && part[0] == QLatin1Char('0')) {
        base = 8;
        part = part.mid(1);
    }
    quint64 result = 0;
    for (const QChar c : part) {
        int digit = -1;
        if (base == 16 && isHexDigit(c))
            digit = hexValue(c);
        else if (isAsciiDigit(c) && c.unicode() - '0' < base)
            digit = c.unicode() - '0';
        if (digit < 0)
            return false;
        result = result * quint64(base) + quint64(digit);
        if (result > 0xFFFFFFFFu)
            return false;
    }
    *value = result;
    return true;
}

// The parts of a host name, without the one empty label a name may end in.
QList<QStringView> labels(QStringView host)
{
    QList<QStringView> parts = host.split(QLatin1Char('.'));
    if (parts.size() > 1 && parts.last().isEmpty())
        parts.removeLast();
    return parts;
}

int parsePort(const QString& text)
{
    for (const QChar c : text) {
        if (!isAsciiDigit(c))
            throw EConvertError::notAnInteger(text);
    }
    // Long enough to overflow is out of range as well; the text says which.
    if (text.size() > 9)
        throw ERangeError(QStringLiteral("Port %1 is out of range").arg(text));
    const int port = text.toInt();
    // Port 0 is no port a server listens on; the system would pick one.
    if (port < 1 || port > 65535)
        throw ERangeError(QStringLiteral("Port %1 is out of range").arg(port));
    return port;
}

// Checks a registered name or IPv4 address and returns it as it is to be
// used: an IPv4 address in its dotted form.
QString checkedHost(const QString& host)
{
    if (host.isEmpty())
        return host;
    for (const QChar c : host) {
        if (!isNameCharacter(c))
            throw Exception(QStringLiteral("Invalid host name in URL"));
    }
    if (UrlParser::endsInNumber(host)) {
        quint32 address = 0;
        if (!UrlParser::parseIPv4(host, &address))
            throw Exception(QStringLiteral("Invalid IPv4 address in URL"));
        return QHostAddress(address).toString();
    }
    const QList<QStringView> parts = labels(host);
    for (const QStringView label : parts) {
        if (label.isEmpty())
            throw Exception(QStringLiteral("Invalid host name in URL"));
    }
    return host;
}

void parseAuthority(const QString& authority, UrlParts& parts)
{
    QString hostPort = authority;
    // The last "@": a user name or password may hold an unencoded one, a
    // host never does.
    const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        parts.hasUserInfo = true;
        parts.userInfo = authority.left(at);
        hostPort = authority.mid(at + 1);
    }
    QString portText;
    bool hasPort = false;
    if (hostPort.startsWith(QLatin1Char('['))) {
        // An IPv6 literal: the colons inside the brackets are the address's.
        const qsizetype close = hostPort.indexOf(QLatin1Char(']'));
        const QString rest = close < 0 ? QString() : hostPort.mid(close + 1);
        const QString literal = close < 0 ? QString() : hostPort.mid(1, close - 1);
        if (close < 0 || QHostAddress(literal).protocol() != QAbstractSocket::IPv6Protocol
            || literal.contains(QLatin1Char('%')) || !(rest.isEmpty() || rest.startsWith(QLatin1Char(':'))))
            throw Exception(QStringLiteral("Invalid IPv6 address in URL"));
        parts.host = QHostAddress(literal).toString();
        hasPort = !rest.isEmpty();
        portText = rest.mid(1);
    } else {
        const qsizetype colon = hostPort.indexOf(QLatin1Char(':'));
        parts.host = checkedHost(colon < 0 ? hostPort : hostPort.left(colon));
        hasPort = colon >= 0;
        portText = hostPort.mid(colon + 1);
    }
    // "host:" names the scheme's default port (RFC 3986, section 3.2.3).
    if (hasPort && !portText.isEmpty())
        parts.port = parsePort(portText);
}

} // namespace

bool UrlParts::isIPv6Literal() const
{
    return host.contains(QLatin1Char(':'));
}

QString UrlParts::hostAndPort() const
{
    QString text = isIPv6Literal() ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    if (port >= 0)
        text += QLatin1Char(':') + QString::number(port);
    return text;
}

QString UrlParts::toString(bool withFragment) const
{
    QString text;
    if (!scheme.isEmpty())
        text = scheme + QLatin1Char(':');
    if (hasAuthority)
        text += QStringLiteral("//") + hostAndPort();
    text += path;
    if (hasQuery)
        text += QLatin1Char('?') + query;
    if (withFragment && hasFragment)
        text += QLatin1Char('#') + fragment;
    return text;
}

UrlParts UrlParser::parse(const QString& text)
{
    if (WireText::holdsLineBreakOrNul(text))
        throw Exception(QStringLiteral("URL holds a line break or NUL character"));
    UrlParts parts;
    qsizetype i = 0;
    const qsizetype n = text.size();
    auto nextOf = [&text, n](qsizetype from, QStringView delimiters) {
        for (qsizetype k = from; k < n; ++k) {
            if (delimiters.contains(text[k]))
                return k;
        }
        return n;
    };

    const qsizetype firstDelimiter = nextOf(0, u":/?#");
    if (firstDelimiter < n && text[firstDelimiter] == QLatin1Char(':')
        && isScheme(QStringView(text).left(firstDelimiter))) {
        parts.scheme = text.left(firstDelimiter).toLower();
        i = firstDelimiter + 1;
    }
    if (QStringView(text).mid(i).startsWith(u"//")) {
        const qsizetype end = nextOf(i + 2, u"/?#");
        parts.hasAuthority = true;
        parseAuthority(text.mid(i + 2, end - i - 2), parts);
        i = end;
    }
    const qsizetype pathEnd = nextOf(i, u"?#");
    parts.path = text.mid(i, pathEnd - i);
    i = pathEnd;
    if (i < n && text[i] == QLatin1Char('?')) {
        const qsizetype queryEnd = nextOf(i + 1, u"#");
        parts.hasQuery = true;
        parts.query = text.mid(i + 1, queryEnd - i - 1);
        i = queryEnd;
    }
    if (i < n && text[i] == QLatin1Char('#')) {
        parts.hasFragment = true;
        parts.fragment = text.mid(i + 1);
    }
    return parts;
}

UrlParts UrlParser::resolve(const UrlParts& base, const UrlParts& reference)
{
    UrlParts target;
    if (!reference.scheme.isEmpty()) {
        target = reference;
        target.path = removeDotSegments(reference.path);
    } else {
        if (reference.hasAuthority) {
            target = reference;
            target.path = removeDotSegments(reference.path);
        } else {
            target = base;
            if (reference.path.isEmpty()) {
                if (reference.hasQuery) {
                    target.hasQuery = true;
                    target.query = reference.query;
                }
            } else {
                if (reference.path.startsWith(QLatin1Char('/'))) {
                    target.path = removeDotSegments(reference.path);
                } else {
                    // Merge: the base's path up to its last "/", or "/" for
                    // an authority with an empty path.
                    QString merged;
                    if (base.hasAuthority && base.path.isEmpty())
                        merged = QLatin1Char('/') + reference.path;
                    else
                        merged = base.path.left(base.path.lastIndexOf(QLatin1Char('/')) + 1) + reference.path;
                    target.path = removeDotSegments(merged);
                }
                target.hasQuery = reference.hasQuery;
                target.query = reference.query;
            }
        }
        target.scheme = base.scheme;
    }
    target.hasFragment = reference.hasFragment;
    target.fragment = reference.fragment;
    return target;
}

QString UrlParser::removeDotSegments(const QString& path)
{
    QStringView input(path);
    QString output;
    auto dropLastSegment = [&output] {
        const qsizetype slash = output.lastIndexOf(QLatin1Char('/'));
        output.truncate(slash < 0 ? 0 : slash);
    };
    while (!input.isEmpty()) {
        if (input.startsWith(u"../")) {
            input = input.mid(3);
        } else if (input.startsWith(u"./")) {
            input = input.mid(2);
        } else if (input.startsWith(u"/./")) {
            input = input.mid(2);
        } else if (input == u"/.") {
            input = u"/";
        } else if (input.startsWith(u"/../")) {
            input = input.mid(3);
            dropLastSegment();
        } else if (input == u"/..") {
            input = u"/";
            dropLastSegment();
        } else if (input == u"." || input == u"..") {
            input = {};
        } else {
            // The first segment, with its leading "/", moves to the output.
            const qsizetype next = input.indexOf(QLatin1Char('/'), input.startsWith(QLatin1Char('/')) ? 1 : 0);
            const qsizetype length = next < 0 ? input.size() : next;
            output += input.left(length);
            input = input.mid(length);
        }
    }
    return output;
}

bool UrlParser::endsInNumber(const QString& host)
{
    const QList<QStringView> parts = labels(host);
    const QStringView last = parts.last();
    if (last.isEmpty())
        return false;
    if (std::all_of(last.begin(), last.end(), isAsciiDigit))
        return true;
    return last.size() >= 2 && last[0] == QLatin1Char('0')
        && (last[1] == QLatin1Char('x') || last[1] == QLatin1Char('X'))
        && std::all_of(last.begin() + 2, last.end(), isHexDigit);
}

bool UrlParser::parseIPv4(const QString& host, quint32* address)
{
    const QList<QStringView> parts = labels(host);
    if (parts.isEmpty() || parts.size() > 4)
        return false;
    quint64 values[4] = {};
    for (qsizetype k = 0; k < parts.size(); ++k) {
        if (!parseIPv4Part(parts[k], &values[k]))
            return false;
    }
    // Every part but the last is one byte; the last fills the bytes left.
    quint64 result = 0;
    const qsizetype last = parts.size() - 1;
    for (qsizetype k = 0; k < last; ++k) {
        if (values[k] > 255)
            return false;
        result |= values[k] << (8 * (3 - k));
    }
    const int bitsLeft = int(8 * (4 - last));
    if (bitsLeft < 32 && values[last] >= (quint64(1) << bitsLeft))
        return false;
    result |= values[last];
    *address = quint32(result);
    return true;
}
