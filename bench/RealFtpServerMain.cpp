// Starts one of the real FTP servers of the tests (tests/support/
// RealFtpServer) for a benchmark script: prints "PORT USER ACCOUNT_DIR" on
// one line once it answers, and stops it when standard input closes.
//
// usage: RealFtpServerMain vsftpd|proftpd|pure-ftpd [--tls CERT_DIR] [--append-allowed]

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

#include "RealFtpServer.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    RealFtpServer::Kind kind = RealFtpServer::Kind::Vsftpd;
    if (arguments.value(0) == QLatin1String("proftpd"))
        kind = RealFtpServer::Kind::Proftpd;
    else if (arguments.value(0) == QLatin1String("pure-ftpd"))
        kind = RealFtpServer::Kind::PureFtpd;
    else if (arguments.value(0) != QLatin1String("vsftpd")) {
        std::fprintf(stderr, "usage: RealFtpServerMain vsftpd|proftpd|pure-ftpd [--tls CERT_DIR] "
                             "[--append-allowed]\n");
        return 2;
    }
    const qsizetype tls = arguments.indexOf(QStringLiteral("--tls"));
    const RealFtpServer::Quirk quirk = arguments.contains(QStringLiteral("--append-allowed"))
                                           ? RealFtpServer::Quirk::AppendAllowed
                                           : RealFtpServer::Quirk::None;
    RealFtpServer server(kind, tls > 0, tls > 0 ? arguments.value(tls + 1) : QString(), quirk);
    if (!server.start()) {
        std::fprintf(stderr, "%s\n", qPrintable(server.errorText()));
        return 1;
    }
    std::printf("%u %s %s\n", unsigned(server.port()), qPrintable(server.user()),
                qPrintable(server.accountDir()));
    std::fflush(stdout);
    char buffer[256];
    while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) {
    }
    return 0;
}
