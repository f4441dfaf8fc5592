// Loads a squad directory the way the main window does and reports how long
// it took and how much memory the process needed at its peak.
//
//   DirectoryLoadBench URL [RUNS]
//
// Each run creates the main window, which starts loading the directory,
// waits in the event loop until the document is complete (readyState 4), and
// runs the window's own completion handler: xml() tested for emptiness, then
// FillSquads. Prints one line per run and the process's peak RSS at the end, as
// "key=value" pairs for bench/directory_load.sh.

#include <QApplication>
#include <QElapsedTimer>
#include <QListView>
#include <QTextStream>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>

#include "MainFrm.h"
#include "UiSeams.h"

namespace {

// The benchmark shows no message boxes and sets no cursor.
class QuietSeams : public UiSeams {
public:
    void messageBox(const QString& text, const QString&, Icon) override
    {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    void setScreenCursor(int) override {}
    int screenCursor() const override { return crDefault; }
    void shellOpen(const QString&) override {}
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QTextStream out(stdout);
    if (argc < 2) {
        out << "usage: DirectoryLoadBench URL [RUNS]\n";
        return 2;
    }
    const QString url = QString::fromLocal8Bit(argv[1]);
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 1;

    // The main window itself: it starts the load when it is created, and its
    // database timer's handler tests xml() and runs FillSquads. The 500 ms
    // polling is left out: the benchmark waits in the event loop and calls
    // the handler as soon as the document is complete.
    try {
        QuietSeams seams;
        AppSettings settings;
        settings.directoryUrl = url;
        for (int run = 1; run <= runs; ++run) {
            QElapsedTimer timer;
            timer.start();
            TfrmMain window(settings, seams);
            window.show();
            if (window.status() != QLatin1String("Loading database...")) {
                out << "error=load-not-started " << window.DatabaseDoc.loadError() << "\n";
                return 1;
            }
            while (window.DatabaseDoc.readyState() != 4)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            const qint64 loadedNs = timer.nsecsElapsed();
            window.tmrWaitDatabaseTimer();
            const qint64 filledNs = timer.nsecsElapsed();
            const int entries = window.lbSquads->model()->rowCount();
            if (entries == 0) {
                out << "error=load-failed " << window.DatabaseDoc.loadError() << "\n";
                return 1;
            }
            out << "run=" << run << " entries=" << entries << " load_ms=" << loadedNs / 1e6
                << " fill_ms=" << (filledNs - loadedNs) / 1e6 << " total_ms=" << filledNs / 1e6 << Qt::endl;
        }
    } catch (const std::exception& e) {
        out << "error=" << e.what() << "\n";
        return 1;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    out << "peak_rss_kb=" << usage.ru_maxrss << Qt::endl;
    return 0;
}
