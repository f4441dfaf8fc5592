#include "DocumentTestHelpers.h"

#include <QHostAddress>
#include <QTcpServer>

QString unusedLoopbackUrl(const QString& path)
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("http://127.0.0.1:%1/").arg(port) + path;
}
