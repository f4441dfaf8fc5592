// The main window opening a hostile squad page: a logo of hundreds of
// progressive scans, or a page of millions of elements. Runs a real TfrmMain
// (offscreen unless QT_QPA_PLATFORM says otherwise) and reports, as
// "key=value" lines for bench/hostile_test.sh:
//
//   open_ms            from Details to the window "Ready" again
//   worst_lateness_ms  the longest the event loop was held up meanwhile
//                      (a 10 ms timer's worst delay)
//   reselect_ms        selecting the squad node again, with its detail page
//                      filled and repainted (0 when the page was refused)
//   peak_rss_kb        the process's peak resident memory
//   messages           message boxes shown
//
//   HostileBench DIRECTORY_URL PAGE_URL
//   HostileBench --directory DIRECTORY_URL     the directory itself is hostile:
//                                              from the window's start to
//                                              "Ready" (open_ms), and the
//                                              squads listed (listed)
//   HostileBench --make-jpeg FILE SIDE SCANS   writes a hostile logo
//
// The window polls its documents every 10 ms instead of 500, so that the
// times are those of the work, not of the polling.

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QTextStream>
#include <QTreeView>

#include <sys/resource.h>

#include <cstdio>

#include "HostileJpeg.h"
#include "LatencyProbe.h"
#include "MainFrm.h"
#include "UiSeams.h"

namespace
{

class BenchSeams : public UiSeams
{
public:
    void messageBox(const QString& text, const QString& caption, Icon) override
    {
        std::fprintf(stderr, "message: %s: %s\n", qPrintable(caption), qPrintable(text));
        ++messages;
    }
    void setScreenCursor(int cursorId) override { m_cursor = cursorId; }
    int screenCursor() const override { return m_cursor; }
    void shellOpen(const QString&) override {}
    int messages = 0;

private:
    int m_cursor = crDefault;
};

bool idle(const TfrmMain& window)
{
    return !window.tmrWaitDatabase->isActive() && !window.tmrWaitDetail->isActive() &&
           window.status() == QLatin1String("Ready");
}

template <typename Cond> bool waitUntil(Cond cond, int limitMs = 600000)
{
    QElapsedTimer timer;
    timer.start();
    while (!cond()) {
        if (timer.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

int makeJpeg(const QString& fileName, int side, int scans)
{
    const QByteArray jpeg = HostileJpeg::make(side, scans);
    QFile file(fileName);
    if (jpeg.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(jpeg) != jpeg.size())
        return 1;
    return 0;
}

qint64 peakRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The window's start with a hostile directory: the load, the list (or the
// refusal) and the polling all run in the event loop being probed.
int benchDirectory(const QString& directoryUrl, QTextStream& out)
{
    AppSettings settings;
    settings.directoryUrl = directoryUrl;
    BenchSeams seams;
    LatencyProbe probe;
    QElapsedTimer clock;
    clock.start();
    TfrmMain window(settings, seams);
    window.tmrWaitDatabase->setInterval(10);
    window.show();
    if (!waitUntil([&] { return idle(window); })) {
        out << "error=the window did not come back\n";
        return 1;
    }
    out << "open_ms=" << clock.elapsed() << " worst_lateness_ms=" << probe.worstMs()
        << " listed=" << window.lbSquads->model()->rowCount() << " peak_rss_kb=" << peakRssKb()
        << " messages=" << seams.messages << Qt::endl;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QTextStream out(stdout);
    if (argc == 5 && QByteArray(argv[1]) == "--make-jpeg")
        return makeJpeg(QString::fromLocal8Bit(argv[2]), atoi(argv[3]), atoi(argv[4]));
    if (argc == 3 && QByteArray(argv[1]) == "--directory")
        return benchDirectory(QString::fromLocal8Bit(argv[2]), out);
    if (argc != 3) {
        out << "usage: HostileBench DIRECTORY_URL PAGE_URL | --directory DIRECTORY_URL"
               " | --make-jpeg FILE SIDE SCANS\n";
        return 2;
    }
    const QString pageUrl = QString::fromLocal8Bit(argv[2]);
    AppSettings settings;
    settings.directoryUrl = QString::fromLocal8Bit(argv[1]);
    BenchSeams seams;
    TfrmMain window(settings, seams);
    window.tmrWaitDatabase->setInterval(10);
    window.tmrWaitDetail->setInterval(10);
    window.show();
    QAbstractItemModel* list = window.lbSquads->model();
    if (!waitUntil([&] { return idle(window); }) || list->rowCount() == 0) {
        out << "error=the list did not show\n";
        return 1;
    }
    int pageRow = -1;
    for (int i = 0; i < list->rowCount() && pageRow < 0; ++i)
        if (list->index(i, 0).data(TfrmMain::SquadUrlRole).toString() == pageUrl)
            pageRow = i;
    if (pageRow < 0) {
        out << "error=the squad page is not listed\n";
        return 1;
    }
    window.lbSquads->setCurrentIndex(list->index(pageRow, 0));

    LatencyProbe probe;
    QElapsedTimer clock;
    clock.start();
    window.tbtnDetailsClick();
    if (!waitUntil([&] { return idle(window); })) {
        out << "error=the window did not come back\n";
        return 1;
    }
    const qint64 openMs = clock.elapsed();
    const qint64 worstMs = probe.worstMs();

    qint64 reselectMs = 0;
    if (window.twSquadModel->topLevelCount() == 1) {
        const QModelIndex squad = window.twSquadModel->index(0, 0);
        window.twSquad->clearSelection();
        clock.restart();
        window.twSquad->setCurrentIndex(squad);
        window.repaint();
        reselectMs = clock.elapsed();
    }

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    out << "open_ms=" << openMs << " worst_lateness_ms=" << worstMs << " reselect_ms=" << reselectMs
        << " peak_rss_kb=" << usage.ru_maxrss << " messages=" << seams.messages << Qt::endl;
    return 0;
}
