// Measures the connection object's bulk transfers and its idle waiting
// against a loopback server that bench/socket_bench.sh starts.
//
//   SocketBench send    PORT FILE        SendFile to a peer that discards
//   SocketBench get     PORT PATH OUT    HTTP/1.0 GET, body by CaptureFile
//   SocketBench trickle PORT             CaptureString from a slow sender
//
// Prints one line: "wall=<s> cpu=<s> bytes=<n>", the process's user+system
// time spent during the operation.

#include "SocketConn.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <sys/resource.h>

#include <cstdio>

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int usage()
{
    std::fprintf(stderr, "usage: SocketBench send PORT FILE | get PORT PATH OUT | trickle PORT\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 2)
        return usage();
    const QString mode = args[0];

    try {
        TSocketConn conn;
        conn.Host = QStringLiteral("127.0.0.1");
        conn.Port = args[1].toInt();
        conn.Connect();

        QElapsedTimer wall;
        const double cpuStart = cpuSeconds();
        wall.start();
        qint64 bytes = 0;
        if (mode == QLatin1String("send") && args.size() == 3) {
            conn.SendFile(args[2]);
            bytes = quint32(conn.SentCount);
            // An orderly close: the first socket would otherwise reset the
            // connection and drop what the peer has not read yet.
            conn.setLinger(false, 0);
        } else if (mode == QLatin1String("get") && args.size() == 4) {
            conn.Write("GET " + args[2].toLatin1() + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
            for (;;) {
                const QByteArray line = conn.ReadLn();
                if (line.isEmpty() || line == "\r\n" || line == "\n")
                    break;
            }
            conn.CaptureFile(args[3]);
            bytes = quint32(conn.ReceivedCount);
        } else if (mode == QLatin1String("trickle")) {
            QByteArray text;
            conn.CaptureString(text, -1);
            bytes = text.size();
        } else {
            return usage();
        }
        const double seconds = double(wall.nsecsElapsed()) / 1e9;
        const double cpu = cpuSeconds() - cpuStart;
        conn.Disconnect();
        std::printf("wall=%.3f cpu=%.3f bytes=%lld\n", seconds, cpu, static_cast<long long>(bytes));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "SocketBench: %s\n", e.what());
        return 1;
    }
    return 0;
}
