// corvanet_screenshots OUT.png [SQUAD-PAGE | list]
//
// Takes a picture of the main window for the documentation: the sample data
// of data/ served on loopback, the squad list loaded, one squad's details
// and logo shown (default squads/skvor-rangers.xml) or the list itself, and
// the window grabbed into OUT.png. It runs wherever the tests run (offscreen is fine) and takes
// the desktop from the environment: LANG for the language, QT_SCALE_FACTOR
// for the scale, and CORVANET_SHOT_DARK=1 for a dark palette on the Fusion
// style, as a dark desktop theme would give.

#include <QApplication>
#include <QDir>
#include <QListView>
#include <QPalette>
#include <QProcess>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "EventWait.h"
#include "LoopbackWebServer.h"
#include "MainFrm.h"
#include "RecordingSeams.h"
#include "Translations.h"

namespace
{

QPalette darkPalette()
{
    QPalette p;
    const QColor window(45, 45, 48), base(30, 30, 32), text(230, 230, 230);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::Highlight, QColor(42, 130, 218));
    p.setColor(QPalette::HighlightedText, Qt::black);
    p.setColor(QPalette::Link, QColor(110, 170, 255));
    p.setColor(QPalette::LinkVisited, QColor(190, 140, 255));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(120, 120, 120));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(120, 120, 120));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(120, 120, 120));
    return p;
}

bool waitFor(const std::function<bool()>& done)
{
    bool timedOut = false;
    QTimer::singleShot(20000, [&] { timedOut = true; });
    spinUntil([&] { return done() || timedOut; });
    return !timedOut;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: corvanet_screenshots OUT.png [SQUAD-PAGE]\n");
        return 2;
    }
    const QString out = QDir::current().absoluteFilePath(QString::fromLocal8Bit(argv[1]));
    const QString squadPage =
        argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("squads/skvor-rangers.xml");
    if (qEnvironmentVariableIntValue("CORVANET_SHOT_DARK")) {
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        QApplication::setPalette(darkPalette());
    }
    QApplication::setApplicationName(QStringLiteral("Qor Corvanet"));
    Translations::install();

    QTemporaryDir tmp;
    const QString www = tmp.filePath(QStringLiteral("www"));
    const QString work = tmp.filePath(QStringLiteral("work"));
    QDir().mkpath(www);
    QDir().mkpath(work);
    LoopbackWebServer server(www);
    if (!server.start())
        return 1;
    const QString address = server.url(QString()).chopped(1);
    if (QProcess::execute(QStringLiteral(CORVANET_SOURCE_DIR "/scripts/serve-data"),
                          {www, address}) != 0)
        return 1;
    QDir::setCurrent(work);

    AppSettings settings;
    settings.directoryUrl = server.url(QStringLiteral("corvanet.xml"));
    RecordingSeams seams;
    TfrmMain window(settings, seams);
    for (QTimer* timer : {window.tmrWaitDatabase, window.tmrWaitDetail})
        timer->setInterval(20);
    window.show();
    QAbstractItemModel* list = window.lbSquads->model();
    if (!waitFor([&] { return window.isReady() && list->rowCount() > 0; }))
        return 1;
    if (squadPage == QLatin1String("list")) {
        // The squad list itself, one squad selected.
        window.lbSquads->setCurrentIndex(list->index(2, 0));
        pumpPending();
        return window.grab().save(out) ? 0 : 1;
    }
    const QString wanted = server.url(squadPage);
    for (int i = 0; i < list->rowCount(); ++i)
        if (list->index(i, 0).data(TfrmMain::SquadUrlRole).toString() == wanted)
            window.lbSquads->setCurrentIndex(list->index(i, 0));
    window.tbtnDetailsClick();
    if (!waitFor([&] { return window.isReady() && !window.tmrWaitDetail->isActive(); }))
        return 1;
    pumpPending();
    if (!window.grab().save(out))
        return 1;
    std::printf("%s\n", qPrintable(out));
    return 0;
}
