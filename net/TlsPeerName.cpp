#include "TlsPeerName.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <QHostAddress>
#include <QUrl>

#include "SockErrors.h"
#include "UrlParser.h"
#include "WireText.h"

namespace {

[[noreturn]] void refuse(const QString& what)
{
    ERR_clear_error();
    throw ESockError(QStringLiteral("TLS could not start: %1").arg(what));
}

} // namespace

TlsPeerName::TlsPeerName(const QString& peerName) : m_text(peerName)
{
    const QString text = WireText::unbracketed(peerName);
    quint32 v4 = 0;
    const QHostAddress literal(text);
    if (!text.contains(QLatin1Char(':')) && UrlParser::parseIPv4(text, &v4)) {
        for (int shift = 24; shift >= 0; shift -= 8)
            m_address.append(char((v4 >> shift) & 0xFF));
    } else if (literal.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR bytes = literal.toIPv6Address();
        m_address = QByteArray(reinterpret_cast<const char*>(bytes.c), 16);
    } else if (literal.protocol() == QAbstractSocket::IPv4Protocol) {
        v4 = literal.toIPv4Address();
        for (int shift = 24; shift >= 0; shift -= 8)
            m_address.append(char((v4 >> shift) & 0xFF));
    } else {
        m_name = QUrl::toAce(text);
    }
}

void TlsPeerName::applyTo(ssl_st* ssl) const
{
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (!param)
        refuse(QStringLiteral("no verification parameters"));
    if (isAddress()) {
        if (X509_VERIFY_PARAM_set1_ip(param, reinterpret_cast<const unsigned char*>(m_address.constData()),
                                      size_t(m_address.size()))
            != 1)
            refuse(QStringLiteral("the address %1 cannot be checked").arg(m_text));
        return;
    }
    if (m_name.isEmpty() || m_name.contains('\0'))
        refuse(QStringLiteral("\"%1\" is no host name").arg(m_text));
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS
                                               | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    if (X509_VERIFY_PARAM_set1_host(param, m_name.constData(), size_t(m_name.size())) != 1)
        refuse(QStringLiteral("the name %1 cannot be checked").arg(m_text));
    if (SSL_set_tlsext_host_name(ssl, m_name.constData()) != 1)
        refuse(QStringLiteral("the name %1 cannot be sent").arg(m_text));
}
