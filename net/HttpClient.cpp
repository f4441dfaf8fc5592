#include "HttpClient.h"

#include "LocalFile.h"
#include "ReentryGuard.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <limits>
#include <optional>

#include "UUProcessor.h"
#include "UrlEncoder.h"
#include "UrlParser.h"
#include "WireText.h"

namespace {

const char* const methodWords[] = {
    "GET ",  "OPTIONS ", "HEAD ", "POST ", "PUT ",    "PATCH ",
    "COPY ", "MOVE ",    "DELETE ", "LINK ", "UNLINK ", "TRACE ",
};

bool sendsData(CmdType command)
{
    switch (command) {
    case cmdPost:
    case cmdPut:
    case cmdPatch:
    case cmdTrace:
    case cmdCustom:
        return true;
    default:
        return false;
    }
}

QByteArray withoutTerminator(QByteArray line)
{
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

// The second space-separated field of a status line as a number; 0 when there
// is none or it is not a number a reply code can hold.
qint16 statusCode(const QByteArray& statusLine)
{
    const QList<QByteArray> fields = withoutTerminator(statusLine).split(' ');
    qsizetype seen = 0;
    for (const QByteArray& field : fields) {
        if (field.isEmpty())
            continue;
        if (++seen == 2) {
            bool ok = false;
            const int code = field.toInt(&ok);
            return ok && code >= 0 && code <= std::numeric_limits<qint16>::max()
                       ? static_cast<qint16>(code)
                       : 0;
        }
    }
    return 0;
}

// The digits of a Content-Length value after any leading non-digits; -1 when
// there are none. Absurdly long numbers saturate instead of overflowing.
qint64 contentLengthValue(const QByteArray& value)
{
    qsizetype i = 0;
    while (i < value.size() && !(value[i] >= '0' && value[i] <= '9'))
        ++i;
    if (i == value.size())
        return -1;
    qint64 result = 0;
    constexpr qint64 cap = std::numeric_limits<qint64>::max() / 10 - 10;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i)
        result = result < cap ? result * 10 + (value[i] - '0') : cap;
    return result;
}

QString fileName(const QByteArray& name)
{
    return QFile::decodeName(name);
}

// The path and query as they go on the request line: spaces, other control
// characters and everything beyond ASCII percent-encoded from UTF-8. What is
// already encoded stays as it is, and so does every other character.
QString encodedPath(const QString& path)
{
    const QByteArray utf8 = path.toUtf8();
    QString out;
    out.reserve(utf8.size());
    static const char hex[] = "0123456789ABCDEF";
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) {
            out += QLatin1Char('%');
            out += QLatin1Char(hex[byte >> 4]);
            out += QLatin1Char(hex[byte & 0xF]);
        } else {
            out += QLatin1Char(c);
        }
    }
    return out;
}

// "%41" and the like back to bytes, for the user and password of a URL.
QByteArray decodedUserInfo(const QString& text)
{
    return QByteArray::fromPercentEncoding(text.toUtf8());
}

// The port a scheme's servers listen on unless the address names another.
int defaultPort(const QString& scheme)
{
    if (scheme == QLatin1String("https"))
        return 443;
    if (scheme == QLatin1String("ftp"))
        return 21;
    if (scheme == QLatin1String("gopher"))
        return 70;
    return 80;
}

} // namespace

THttpClient::THttpClient(QObject* owner) : TSocketConn(owner) {}

THttpClient::~THttpClient()
{
    *m_alive = false;
}

// ---------------------------------------------------------------------------
// Request operations

void THttpClient::storeRequest(CmdType command, const QString& url)
{
    RequestUrl = url;
    Command = command;
}

void THttpClient::Options(const QString& url)
{
    storeRequest(cmdOptions, url);
    RequestCycle();
}

void THttpClient::Get(const QString& url)
{
    storeRequest(cmdGet, url);
    RequestCycle();
}

void THttpClient::Post(const QString& url, const QByteArray& data)
{
    storeRequest(cmdPost, url);
    if (EncodeFormData && !OutputFileMode) {
        TUrlEncoder encoder(this);
        encoder.InputString = data;
        SendData = encoder.Encode();
    } else {
        SendData = data;
    }
    RequestCycle();
}

void THttpClient::Put(const QString& url, const QByteArray& data)
{
    storeRequest(cmdPut, url);
    SendData = data;
    RequestCycle();
}

void THttpClient::Head(const QString& url)
{
    storeRequest(cmdHead, url);
    RequestCycle();
}

void THttpClient::Patch(const QString& url, const QByteArray& data)
{
    storeRequest(cmdPatch, url);
    SendData = data;
    RequestCycle();
}

void THttpClient::Delete(const QString& url)
{
    storeRequest(cmdDelete, url);
    RequestCycle();
}

void THttpClient::Trace(const QString& url, const QByteArray& data)
{
    storeRequest(cmdTrace, url);
    SendData = data;
    RequestCycle();
}

void THttpClient::Copy(const QString& url, const QString& target)
{
    storeRequest(cmdCopy, url);
    TargetUri = target;
    RequestCycle();
}

void THttpClient::Move(const QString& url, const QString& target)
{
    storeRequest(cmdMove, url);
    TargetUri = target;
    RequestCycle();
}

void THttpClient::Link(const QString& url, const QString& target)
{
    storeRequest(cmdLink, url);
    TargetUri = target;
    SendData = "Send.dat";
    RequestCycle();
}

void THttpClient::Unlink(const QString& url, const QString& target)
{
    storeRequest(cmdUnlink, url);
    TargetUri = target;
    SendData = "Send.dat";
    RequestCycle();
}

void THttpClient::Custom(const QString& url, const QByteArray& data)
{
    storeRequest(cmdCustom, url);
    SendData = data;
    RequestCycle();
}

// ---------------------------------------------------------------------------
// The cycle

void THttpClient::RequestCycle()
{
    // A second request started from an event handler while this one waits
    // would share the socket and the request state with it.
    if (m_busy)
        throw Exception(QStringLiteral("A request is already running on this connection"));
    const std::shared_ptr<bool> alive = m_alive;
    const ReentryGuard busy(m_busy, alive);

    // The call's first address has no base; each redirection's Location is
    // read against the address that sent it.
    m_asked = UrlParts();
    int repeats = 0;
    for (;;) {
        ParseUrl();
        if (repeats == 0 && HeaderInfo.Cookie != m_cookieValue) {
            // A cookie the caller set belongs to the host first asked.
            m_cookieValue = HeaderInfo.Cookie;
            m_cookieHost = Host;
        }
        BuildRequestHeader();
        if (OnAboutToSend)
            OnAboutToSend(this);

        try {
            Connect();
            SendRequest();
            ReplyCode = 0;
            ReadReplyHeader();
            receiveBody();
            checkBodyComplete();

            if (ReplyCode <= 298) {
                if (OnSuccess)
                    OnSuccess(Command);
                ReportStatus(2, QStringLiteral("Transaction Completed"));
            } else if (ReplyCode <= 399) {
                if (followsLocation(ReplyCode)) {
                    // Without a location the empty text would turn into the
                    // server's root below: a different resource stored as
                    // if it were the one asked for.
                    if (RedirectLocation.isEmpty())
                        throw Exception(QStringLiteral("Redirect without a location"));
                    RequestUrl = RedirectLocation;
                    // "See other" asks for the other resource with GET; 307
                    // and 308 (like 301 and 302 here) repeat the method.
                    if (ReplyCode == 303 && Command != cmdHead)
                        Command = cmdGet;
                }
            } else if (OnFailure) {
                OnFailure(Command);
            }
        } catch (...) {
            // The client may have been destroyed during the wait that threw.
            if (*alive) {
                try {
                    Disconnect();
                } catch (...) {
                    // The first failure is the one the caller needs.
                }
            }
            throw;
        }
        Disconnect();

        if (ReplyCode >= 300 && ReplyCode <= 398) {
            bool handled = false;
            if (!ReceivedCookie.isEmpty()) {
                // The cookie belongs to the host that set it.
                HeaderInfo.Cookie = ReceivedCookie;
                m_cookieValue = ReceivedCookie;
                m_cookieHost = Host;
            }
            if (OnRedirect)
                OnRedirect(handled);
            if (handled)
                return;
        }
        if (ReplyCode == 401 && OnAuthenticationNeeded)
            OnAuthenticationNeeded(this);

        if (ReplyCode < 299 || ReplyCode > 399)
            return;
        if (++repeats > MaxRedirects)
            throw Exception(QStringLiteral("Too many redirects"));
    }
}

void THttpClient::ParseUrl()
{
    if (RequestUrl.isEmpty())
        throw Exception(QStringLiteral("Empty URL"));
    const UrlParts target = requestTarget();
    if (!target.hasAuthority || target.host.isEmpty())
        throw Exception(QStringLiteral("URL has no host"));

    UseTls = target.scheme == QLatin1String("https");
    // A proxy would need a CONNECT tunnel for TLS, which this client does
    // not build; TLS to the proxy itself would be no https at all.
    if (UseTls && !Proxy.isEmpty())
        throw Exception(QStringLiteral("https through a proxy is not supported"));
    m_defaultPort = defaultPort(target.scheme);
    Port = target.port > 0 ? target.port : m_defaultPort;
    Host = target.host;

    // "user:password@" is for the Authorization line only.
    m_urlUser.clear();
    m_urlPassword.clear();
    if (target.hasUserInfo) {
        const qsizetype split = target.userInfo.indexOf(QLatin1Char(':'));
        m_urlUser = decodedUserInfo(target.userInfo.left(split));
        m_urlPassword = split < 0 ? QByteArray() : decodedUserInfo(target.userInfo.mid(split + 1));
    }

    RequestPath = encodedPath(target.path.isEmpty() ? QStringLiteral("/") : target.path);
    if (target.hasQuery)
        RequestPath += QLatin1Char('?') + encodedPath(target.query);

    // What was asked for, as the next redirection's base and a proxy's
    // request line: without the user info and the fragment (the reader's
    // business, never the server's), the port only when it is not the
    // scheme's own.
    UrlParts asked = target;
    asked.hasUserInfo = false;
    asked.userInfo.clear();
    asked.port = Port == m_defaultPort ? -1 : Port;
    if (asked.path.isEmpty())
        asked.path = QStringLiteral("/");
    m_asked = asked;
    RequestUrl = asked.toString();
}

// The absolute address RequestUrl stands for. A redirection's Location is
// resolved against the address that answered it (RFC 3986). The first
// address of a call has no such base; it is read as this client has always
// read addresses: with a scheme and "//" as it is, a path as one on Host and
// Port, and anything else as "host[:port]/path" on the scheme and port in use.
UrlParts THttpClient::requestTarget() const
{
    const UrlParts reference = UrlParser::parse(RequestUrl);
    if (!reference.scheme.isEmpty() && reference.hasAuthority)
        return UrlParser::resolve(reference, reference);
    if (!m_asked.scheme.isEmpty())
        return UrlParser::resolve(m_asked, reference);
    const QString scheme = UseTls ? QStringLiteral("https") : QStringLiteral("http");
    if (reference.scheme.isEmpty() && reference.hasAuthority)
        return UrlParser::parse(scheme + QLatin1Char(':') + RequestUrl);
    if (RequestUrl.startsWith(QLatin1Char('/'))) {
        UrlParts base =
            UrlParser::parse(scheme + QStringLiteral("://") + WireText::bracketed(Host));
        base.port = Port;
        return UrlParser::resolve(base, reference);
    }
    UrlParts target = UrlParser::parse(scheme + QStringLiteral("://") + RequestUrl);
    if (target.port < 0 && Port > 0)
        target.port = Port;
    return UrlParser::resolve(target, target);
}

bool THttpClient::followsLocation(int replyCode)
{
    return (replyCode >= 300 && replyCode <= 303) || replyCode == 307 || replyCode == 308;
}

void THttpClient::checkRemoteAddress(const QHostAddress& address, quint16 port)
{
    const QString refusal = RequestPolicy.refusal(address, port);
    if (!refusal.isEmpty())
        throw ESockError(refusal);
}

QByteArray THttpClient::basicCredentials(const QByteArray& user, const QByteArray& password) const
{
    QByteArray plain = user + ':' + password;
    QBuffer input(&plain);
    QByteArray encoded;
    QBuffer output(&encoded);
    input.open(QIODevice::ReadOnly);
    output.open(QIODevice::WriteOnly);
    TUUProcessor processor;
    processor.Method = uuMime;
    processor.InputStream = &input;
    processor.OutputStream = &output;
    processor.Encode();
    // The encoder breaks its output every 45 input bytes. Since 45 is a
    // multiple of 3, the lines joined are the Base64 of the whole text, and
    // the Authorization value must stay on one line.
    encoded.replace("\r\n", "");
    return encoded;
}

QByteArray THttpClient::requestDataLength() const
{
    if (!OutputFileMode)
        return QByteArray::number(SendData.size());
    QFile file(fileName(SendData));
    if (!file.open(QIODevice::ReadOnly))
        throw EFileError(QStringLiteral("Cannot open file %1").arg(file.fileName()));
    return QByteArray::number(file.size());
}

void THttpClient::BuildRequestHeader()
{
    RequestHeaders.clear();
    if (Command != cmdCustom) {
        const QString target = Proxy.isEmpty() ? RequestPath : encodedPath(RequestUrl);
        RequestHeaders.append(methodWords[Command] + target.toUtf8() + " HTTP/1.0");
    }
    if (!Proxy.isEmpty())
        RequestHeaders.append("Proxy-Connection: Keep-Alive");
    // The port belongs to the Host value whenever it is not the scheme's
    // own: a server with several sites on several ports tells them by it.
    QString hostValue = WireText::bracketed(Host);
    if (Port != 0 && Port != m_defaultPort)
        hostValue += QLatin1Char(':') + QString::number(Port);
    RequestHeaders.SetHeader("Host", hostValue.toUtf8());
    RequestHeaders.append("Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff");
    RequestHeaders.append(
        "Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript");
    if (!HeaderInfo.LocalProgram.isEmpty())
        RequestHeaders.SetHeader("User-Agent", HeaderInfo.LocalProgram);
    if (!HeaderInfo.LocalMailAddress.isEmpty())
        RequestHeaders.SetHeader("From", HeaderInfo.LocalMailAddress);
    if (!HeaderInfo.Cookie.isEmpty() &&
        (m_cookieHost.isEmpty() || m_cookieHost.compare(Host, Qt::CaseInsensitive) == 0))
        RequestHeaders.SetHeader("Cookie", HeaderInfo.Cookie);
    if (!HeaderInfo.Referer.isEmpty())
        RequestHeaders.SetHeader("Referer", HeaderInfo.Referer);
    if (!m_urlUser.isEmpty())
        RequestHeaders.SetHeader("Authorization",
                                 "Basic " + basicCredentials(m_urlUser, m_urlPassword));
    else if (!HeaderInfo.UserId.isEmpty() && !HeaderInfo.Password.isEmpty())
        RequestHeaders.SetHeader(
            "Authorization", "Basic " + basicCredentials(HeaderInfo.UserId, HeaderInfo.Password));
    RequestHeaders.append("Content-type: application/x-www-form-urlencoded");
    if (Command == cmdCopy || Command == cmdMove)
        RequestHeaders.append("URI-header: " + TargetUri.toUtf8());
    else if (Command == cmdLink || Command == cmdUnlink)
        RequestHeaders.append("Link: " + TargetUri.toUtf8());
    // Only requests that send data announce its length: a length announced
    // without the data (Link and Unlink send none) would leave the server
    // waiting for bytes that never come.
    if (sendsData(Command))
        RequestHeaders.append("Content-Length: " + requestDataLength());

    // Values come from squad pages and from servers' cookies: a line break
    // in one of them would smuggle header lines (or a second request) in.
    for (const QByteArray& line : std::as_const(RequestHeaders)) {
        if (WireText::holdsLineBreakOrNul(line))
            throw Exception(QStringLiteral("Request header line \"%1\" holds a line break or NUL")
                                .arg(QString::fromUtf8(line.left(line.indexOf(':')))
                                         .remove(QLatin1Char('\r'))
                                         .remove(QLatin1Char('\n'))
                                         .remove(QChar())));
    }
}

void THttpClient::SendRequest()
{
    QByteArray head;
    for (const QByteArray& line : std::as_const(RequestHeaders)) {
        // OnAboutToSend may have added lines after the header was checked.
        if (WireText::holdsLineBreakOrNul(line))
            throw Exception(QStringLiteral("Request header holds a line break or NUL"));
        head += line;
        head += "\r\n";
    }
    Write(head);
    Writeln(QByteArray());
    if (!sendsData(Command))
        return;
    if (OutputFileMode) {
        SendFile(fileName(SendData));
    } else if (!SendData.isEmpty()) {
        // Sent by length, not as a zero-terminated text: the data may hold
        // NUL bytes and must match the Content-Length announced for it.
        SendBuffer(SendData.constData(), SendData.size());
    }
}

void THttpClient::ReadReplyHeader()
{
    TotalBytes = 0;
    m_contentLength = -1;
    ReceivedCookie.clear();
    // A redirection without a location must not send the client to the
    // target of some earlier reply.
    RedirectLocation.clear();

    std::optional<QFile> file;
    if (OutputFileMode) {
        file.emplace(fileName(Header));
        if (!LocalFile::openForWriting(*file))
            throw EFileError(QStringLiteral("Cannot create file %1").arg(file->fileName()));
    } else {
        Header.clear();
    }
    auto store = [&](const QByteArray& line) {
        if (!file) {
            Header += line;
        } else if (file->write(line) != line.size()) {
            throw EFileError(QStringLiteral("Cannot write file %1").arg(file->fileName()));
        }
    };
    qsizetype headerSize = 0;
    // A line longer than the socket layer's buffer ends ReadLn with an
    // ESockError; the header as a whole is bounded here, so that a server
    // cannot make the client store an endless header. A NUL has no place in
    // a header: a value cut at it would be read one way here and another way
    // by whatever reads "Head.txt", so such a reply is refused whole.
    auto readLine = [&]() {
        QByteArray line = ReadLn();
        headerSize += line.size();
        if (headerSize > MaxReplyHeaderSize)
            throw Exception(QStringLiteral("Reply header too large"));
        if (line.contains('\0'))
            throw Exception(QStringLiteral("Reply header holds a NUL character"));
        return line;
    };

    const QByteArray statusLine = readLine();
    if (statusLine.isEmpty())
        throw Exception(QStringLiteral("Connection closed before the reply"));
    ReplyCode = statusCode(statusLine);
    store(statusLine);

    for (;;) {
        const QByteArray line = readLine();
        const QByteArray upper = line.toUpper();
        const qsizetype space = upper.indexOf(' ');
        const QByteArray name = space < 0 ? upper : upper.left(space);
        if (name == "SET-COOKIE:") {
            ReceivedCookie = withoutTerminator(line.mid(12));
        } else if (name == "LOCATION:") {
            RedirectLocation = QString::fromUtf8(withoutTerminator(line.mid(10)));
        } else if (name == "CONTENT-LENGTH:") {
            // Two different lengths leave the end of the body to guesswork;
            // the same value repeated is harmless.
            const qint64 length = contentLengthValue(line.mid(name.size()));
            if (m_contentLength >= 0 && length != m_contentLength)
                throw Exception(QStringLiteral("Reply header holds two different Content-Length values"));
            m_contentLength = length;
            TotalBytes = static_cast<qint32>(
                std::clamp<qint64>(m_contentLength, 0, std::numeric_limits<qint32>::max()));
        }
        store(line);
        if (line.isEmpty() || line == "\n" || line == "\r\n")
            break;
    }
    if (file && !file->flush())
        throw EFileError(QStringLiteral("Cannot write file %1").arg(file->fileName()));
}

void THttpClient::receiveBody()
{
    if (InputFileMode)
        CaptureFile(fileName(Body));
    else
        CaptureString(Body, -1);
}

void THttpClient::checkBodyComplete()
{
    // Replies that carry no body whatever length they announce.
    if (m_contentLength < 0 || Command == cmdHead || (ReplyCode >= 100 && ReplyCode < 200) ||
        ReplyCode == 204 || ReplyCode == 304)
        return;
    const qint64 received = InputFileMode ? QFileInfo(fileName(Body)).size() : Body.size();
    if (received < m_contentLength)
        throw Exception(
            QStringLiteral("Connection closed before the whole body arrived (%1 of %2 bytes)")
                .arg(received)
                .arg(m_contentLength));
}

void THttpClient::Abort()
{
    WaitDone = true;
    Cancel();
}
