#include "XmlAddress.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkInterface>

namespace {

XmlAddress::InterfaceProbe& interfaceProbe()
{
    static XmlAddress::InterfaceProbe probe;
    return probe;
}

bool anyInterfaceUp()
{
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& i : interfaces) {
        const auto flags = i.flags();
        if (flags.testFlag(QNetworkInterface::IsUp) && flags.testFlag(QNetworkInterface::IsRunning)
            && !flags.testFlag(QNetworkInterface::IsLoopBack))
            return true;
    }
    return false;
}

} // namespace

void XmlAddress::setInterfaceProbe(InterfaceProbe probe)
{
    interfaceProbe() = std::move(probe);
}

bool XmlAddress::networkInterfaceUp()
{
    const InterfaceProbe& probe = interfaceProbe();
    return probe ? probe() : anyInterfaceUp();
}

bool XmlAddress::isLoopbackHost(const QString& host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    QHostAddress address;
    return address.setAddress(host) && address.isLoopback();
}

XmlAddress XmlAddress::parse(const QString& address)
{
    XmlAddress result;
    if (address.trimmed().isEmpty()) {
        result.m_problem = QStringLiteral("The address is empty");
        return result;
    }

    const QUrl url(address);
    const QString scheme = url.scheme().toLower();
    QString localPath;
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
        if (!url.isValid() || url.host().isEmpty()) {
            result.m_problem = QStringLiteral("The address \"%1\" is malformed").arg(address);
            return result;
        }
        if (!isLoopbackHost(url.host()) && !networkInterfaceUp()) {
            result.m_problem = QStringLiteral("No network connection is available");
            result.m_transient = true;
            return result;
        }
        result.m_kind = Kind::Network;
        result.m_url = url;
        return result;
    }
    if (scheme == QLatin1String("file")) {
        if (!url.isValid() || (!url.host().isEmpty() && !isLoopbackHost(url.host()))) {
            result.m_problem = QStringLiteral("The address \"%1\" is not a local file").arg(address);
            return result;
        }
        localPath = url.path();
    } else if (scheme.isEmpty() || QFileInfo(address).isFile()) {
        // A path; checked on the disk first so that a name with a colon in it
        // is not taken for a scheme.
        localPath = address;
    } else {
        result.m_problem = QStringLiteral("The address scheme \"%1\" is not supported").arg(url.scheme());
        return result;
    }

    const QFileInfo file(localPath);
    if (!file.isFile()) {
        result.m_problem = QStringLiteral("The file \"%1\" does not exist").arg(localPath);
        return result;
    }
    result.m_kind = Kind::LocalFile;
    result.m_url = QUrl::fromLocalFile(file.absoluteFilePath());
    return result;
}
