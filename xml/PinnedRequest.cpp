#include "PinnedRequest.h"

namespace {

bool isWeb(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

} // namespace

QHostAddress PinnedRequest::literalHost(const QUrl& url)
{
    QHostAddress address;
    if (!address.setAddress(url.host()))
        return QHostAddress();
    return address;
}

bool PinnedRequest::needsLookup(const QUrl& url)
{
    return isWeb(url) && !url.host().isEmpty() && literalHost(url).isNull();
}

QNetworkRequest PinnedRequest::make(const QUrl& url, const QHostAddress& address)
{
    const QString name = url.host(QUrl::FullyEncoded);
    const bool tls = url.scheme().toLower() == QLatin1String("https");
    QUrl pinned = url;
    pinned.setHost(address.toString());
    QNetworkRequest request(pinned);
    QByteArray host = name.toUtf8();
    if (url.port() != -1 && url.port() != (tls ? 443 : 80))
        host += ':' + QByteArray::number(url.port());
    request.setRawHeader("Host", host);
    if (tls)
        request.setPeerVerifyName(name);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    return request;
}
