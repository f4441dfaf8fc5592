// Loads a squad directory the way the main window does and reports how long
// it took and how much memory the process needed at its peak.
//
//   DirectoryLoadBench URL [RUNS]
//
// Each run: load() until readyState 4 (waiting in the event loop), xml() to
// test for emptiness, then the list fill: clear, sorting off, one item per
// entry with the nick as text and the address as Qt::UserRole data, sorting
// on. Prints one line per run and the process's peak RSS at the end, as
// "key=value" pairs for bench/directory_load.sh.

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QTextStream>

#include <sys/resource.h>

#include <cstdio>

#include "XmlDocument.h"

namespace {

// Returns the number of entries listed; throws EOleException as the
// document service does.
int fillSquads(QListWidget& list, const XmlDocument& doc)
{
    list.clear();
    list.setSortingEnabled(false);
    const XmlNode root = doc.lastChild();
    const XmlNodeList entries = root.childNodes();
    const int count = entries.length();
    for (int i = 0; i < count; ++i) {
        const XmlNode entry = entries.item(i);
        const QString web = entry.attributes().getNamedItem("web").text();
        const QString nick = entry.attributes().getNamedItem("nick").text();
        auto* item = new QListWidgetItem(nick);
        item->setData(Qt::UserRole, web);
        list.addItem(item);
    }
    list.setSortingEnabled(true);
    return count;
}

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

    try {
        QListWidget list;
        list.resize(269, 400);
        list.show();
        XmlDocument doc;
        for (int run = 1; run <= runs; ++run) {
            QElapsedTimer timer;
            timer.start();
            if (!doc.load(url)) {
                out << "error=load-not-started " << doc.loadError() << "\n";
                return 1;
            }
            while (doc.readyState() != 4)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            const qint64 loadedNs = timer.nsecsElapsed();
            if (doc.xml().isEmpty()) {
                out << "error=load-failed " << doc.loadError() << "\n";
                return 1;
            }
            const qint64 testedNs = timer.nsecsElapsed();
            const int entries = fillSquads(list, doc);
            const qint64 filledNs = timer.nsecsElapsed();
            out << "run=" << run << " entries=" << entries << " load_ms=" << loadedNs / 1e6
                << " xml_ms=" << (testedNs - loadedNs) / 1e6 << " fill_ms=" << (filledNs - testedNs) / 1e6
                << " total_ms=" << filledNs / 1e6 << Qt::endl;
        }
    } catch (const EOleException& e) {
        out << "error=" << e.description() << "\n";
        return 1;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    out << "peak_rss_kb=" << usage.ru_maxrss << Qt::endl;
    return 0;
}
