// The main window under load: a directory of many squads and a squad page of
// many members, served on loopback. Runs a real TfrmMain (offscreen or on a
// display) and reports, as "key=value" lines for bench/load_test.sh:
//
//   list_ms      from creating the window to the list shown ("Ready")
//   fill_ms      one FillSquads of the loaded directory, alone
//   tree_ms      from Details on the big squad to its tree shown ("Ready"),
//                the logo step included
//   prepare_ms   one PrepareDetails of the loaded page, alone
//   refresh_ms   from Refresh to the list shown again
//   list_select_avg_ms / _max_ms, tree_select_avg_ms / _max_ms
//                selecting entries spread over the list and the tree, each
//                with its detail page filled and the view repainted
//   list_scroll_ms, tree_scroll_ms   scrolling to the end and repainting
//   peak_rss_kb  the process's peak resident memory
//
//   LoadBench DIRECTORY_URL PAGE_URL
//
// The window polls its documents every 500 ms; the bench polls every 10 ms
// instead, so that the times are those of the work, not of the polling.

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListView>
#include <QTextStream>
#include <QTimer>
#include <QTreeView>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

#include "MainFrm.h"
#include "SquadTreeModel.h"
#include "UiSeams.h"

namespace
{

// Message boxes go to standard error; the bench shows nothing modal.
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

// Turns the event loop until cond() holds; false after limitMs.
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

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

struct Spread {
    double avg = 0;
    double max = 0;
};

// Runs op(i) for count indexes spread evenly over [0, size), each followed
// by a synchronous repaint of view, and times them.
template <typename Op> Spread timeSpread(int size, int count, QWidget* view, Op op)
{
    Spread result;
    double sum = 0;
    for (int k = 0; k < count; ++k) {
        const int i = int((qint64(size - 1) * k) / std::max(1, count - 1));
        QElapsedTimer timer;
        timer.start();
        op(i);
        view->repaint();
        const double t = ms(timer.nsecsElapsed());
        sum += t;
        result.max = std::max(result.max, t);
    }
    result.avg = sum / count;
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QTextStream out(stdout);
    if (argc < 3) {
        out << "usage: LoadBench DIRECTORY_URL PAGE_URL\n";
        return 2;
    }
    const QString pageUrl = QString::fromLocal8Bit(argv[2]);
    AppSettings settings;
    settings.directoryUrl = QString::fromLocal8Bit(argv[1]);
    BenchSeams seams;

    QElapsedTimer clock;
    clock.start();
    TfrmMain window(settings, seams);
    window.tmrWaitDatabase->setInterval(10);
    window.tmrWaitDetail->setInterval(10);
    window.show();
    if (!waitUntil([&] { return idle(window); }) || window.lbSquads->model()->rowCount() == 0) {
        out << "error=the list did not show: " << window.DatabaseDoc.loadError() << "\n";
        return 1;
    }
    window.lbSquads->repaint();
    const qint64 listNs = clock.nsecsElapsed();
    const int squads = window.lbSquads->model()->rowCount();

    clock.restart();
    window.FillSquads();
    window.lbSquads->repaint();
    const qint64 fillNs = clock.nsecsElapsed();

    clock.restart();
    window.lbSquads->scrollToBottom();
    window.lbSquads->repaint();
    const qint64 listScrollNs = clock.nsecsElapsed();
    const Spread listSelect = timeSpread(squads, 200, window.lbSquads, [&](int row) {
        const QModelIndex index = window.lbSquads->model()->index(row, 0);
        window.lbSquads->setCurrentIndex(index); // a click: lbSquadsClick runs
        window.lbSquads->scrollTo(index);
    });

    // Typing in the find field: one character into an empty field (the
    // whole list filtered), then a second one (the matches narrowed), each
    // with the list's repaint. Each letter once, and the field emptied again
    // between them, untimed.
    std::vector<double> findTimes;
    for (const char letter : QByteArrayLiteral("etaoinsrhlducmfywgpbvkxqjz")) {
        for (const char next : {'a', 'e'}) {
            window.edtFind->clear();
            QElapsedTimer key;
            key.start();
            window.edtFind->insert(QString(QLatin1Char(letter)));
            window.lbSquads->repaint();
            findTimes.push_back(ms(key.nsecsElapsed()));
            key.restart();
            window.edtFind->insert(QString(QLatin1Char(next)));
            window.lbSquads->repaint();
            findTimes.push_back(ms(key.nsecsElapsed()));
        }
    }
    window.edtFind->clear();
    std::sort(findTimes.begin(), findTimes.end());
    const double findMedian = findTimes[findTimes.size() / 2];
    const double findMax = findTimes.back();

    // The big squad's entry; a click on it, then Details.
    int pageRow = -1;
    for (int i = 0; i < squads && pageRow < 0; ++i)
        if (window.lbSquads->model()->index(i, 0).data(TfrmMain::SquadUrlRole).toString() == pageUrl)
            pageRow = i;
    if (pageRow < 0) {
        out << "error=the squad page is not listed\n";
        return 1;
    }
    window.lbSquads->setCurrentIndex(window.lbSquads->model()->index(pageRow, 0));
    clock.restart();
    window.tbtnDetailsClick();
    if (!waitUntil([&] { return idle(window) && window.twSquadModel->topLevelCount() == 1; })) {
        out << "error=the tree did not show\n";
        return 1;
    }
    window.twSquad->repaint();
    const qint64 treeNs = clock.nsecsElapsed();

    clock.restart();
    window.PrepareDetails();
    window.twSquad->repaint();
    const qint64 prepareNs = clock.nsecsElapsed();
    // Taken after PrepareDetails, which resets the model: an index from
    // before would point into the tree it threw away.
    const QModelIndex squad = window.twSquadModel->index(0, 0);
    const int members = window.twSquadModel->rowCount(squad);

    clock.restart();
    window.twSquad->scrollToBottom();
    window.twSquad->repaint();
    const qint64 treeScrollNs = clock.nsecsElapsed();
    const Spread treeSelect = timeSpread(members, 200, window.twSquad, [&](int row) {
        const QModelIndex index = window.twSquadModel->index(row, 0, squad);
        window.twSquad->setCurrentIndex(index); // twSquadChange fills the member page
        window.twSquad->scrollTo(index);
    });

    window.tbtnDatabaseClick();
    clock.restart();
    window.tbtnRefreshClick();
    if (!waitUntil([&] { return idle(window) && window.lbSquads->model()->rowCount() == squads; })) {
        out << "error=the refresh did not complete\n";
        return 1;
    }
    window.lbSquads->repaint();
    const qint64 refreshNs = clock.nsecsElapsed();

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    out << "squads=" << squads << " members=" << members << " messages=" << seams.messages << "\n"
        << "list_ms=" << ms(listNs) << " fill_ms=" << ms(fillNs) << " refresh_ms=" << ms(refreshNs)
        << "\n"
        << "tree_ms=" << ms(treeNs) << " prepare_ms=" << ms(prepareNs) << "\n"
        << "find_key_median_ms=" << findMedian << " find_key_max_ms=" << findMax << "\n"
        << "list_scroll_ms=" << ms(listScrollNs) << " list_select_avg_ms=" << listSelect.avg
        << " list_select_max_ms=" << listSelect.max << "\n"
        << "tree_scroll_ms=" << ms(treeScrollNs) << " tree_select_avg_ms=" << treeSelect.avg
        << " tree_select_max_ms=" << treeSelect.max << "\n"
        << "peak_rss_kb=" << usage.ru_maxrss << Qt::endl;
    return 0;
}
