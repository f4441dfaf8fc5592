#pragma once

// ListShownMarker: tells the start benchmark when the squad list is first on
// the screen. Only when the environment variable CORVANET_LIST_SHOWN_MARKER
// names a file (which nothing but bench/start_bench.sh sets) does it watch
// the list, and once the list has painted squads it appends one line to that
// file and stops watching: the monotonic clock in nanoseconds, the rows shown
// and whether they are the offline copy. It changes nothing in the window.

#include <QObject>
#include <QString>

class TfrmMain;

class ListShownMarker : public QObject
{
public:
    static void installFromEnvironment(TfrmMain& window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    ListShownMarker(TfrmMain& window, const QString& file);
    void write();

    TfrmMain& m_window;
    QString m_file;
    bool m_done = false;
};
