// What the directory's history costs a publish: COUNT publishes into each of
// two directories on one loopback FTP server that bench/history_bench.sh
// starts, /plain/corvanet.xml without the history and /kept/corvanet.xml
// with it, taking turns, so that whatever slows the machine meanwhile slows
// both alike. Each publish adds one squad, as Add Squad does.
//
//   HistoryBench PORT USER PASSWORD_FILE COUNT
//
// Prints per-publish median and maximum of each, their ratio, and the
// number of files in the history at the end.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>

#include "DirectoryHistory.h"
#include "DirectoryPublisher.h"
#include "FtpClient.h"

namespace
{

struct Series {
    QList<double> ms;
    double median() const
    {
        QList<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        return sorted.isEmpty() ? 0 : sorted[(sorted.size() - 1) / 2];
    }
    double max() const { return ms.isEmpty() ? 0 : *std::max_element(ms.begin(), ms.end()); }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: HistoryBench PORT USER PASSWORD_FILE COUNT\n");
        return 2;
    }
    QFile passwordFile(args[3]);
    if (!passwordFile.open(QIODevice::ReadOnly))
        return 2;
    const DirectoryPublisher::Account account{QStringLiteral("127.0.0.1"), args[1].toInt(), args[2],
                                              QString::fromUtf8(passwordFile.readLine().trimmed())};
    const int count = args[4].toInt();

    Series plain, kept;
    try {
        for (int i = 0; i < count; ++i) {
            for (const bool history : {false, true}) {
                DirectoryPublisher::Options options;
                options.remoteDirectory = history ? QStringLiteral("/kept/corvanet.xml")
                                                  : QStringLiteral("/plain/corvanet.xml");
                options.keepHistory = history;
                TFtpClient client;
                DirectoryPublisher publisher(client, account, options);
                const QString url = QStringLiteral("http://squads.example.org/bench/%1.xml").arg(i);
                QElapsedTimer clock;
                clock.start();
                if (publisher.publish(
                        DirectoryChange::add(QStringLiteral("Bench %1").arg(i), url)) !=
                    DirectoryChange::Outcome::Changed)
                    throw PublishError(QStringLiteral("not added: ") + url);
                (history ? kept : plain).ms << double(clock.nsecsElapsed()) / 1e6;
            }
        }
        TFtpClient client;
        account.applyTo(client, 30000, 30000);
        client.Connect();
        const int files = int(client.NameList(QStringLiteral("/kept/corvanet.xml.history")).size());
        client.Disconnect();
        std::printf("%d publishes each\n", count);
        std::printf("without the history: median %7.2f ms, max %7.2f ms\n", plain.median(),
                    plain.max());
        std::printf("with the history:    median %7.2f ms, max %7.2f ms\n", kept.median(),
                    kept.max());
        std::printf("ratio of the medians: %.2f\n", kept.median() / plain.median());
        std::printf("files in the history at the end: %d\n", files);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "HistoryBench: %s\n", error.what());
        return 1;
    }
    return 0;
}
