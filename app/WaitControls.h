#pragma once

// WaitControls: the part of the status bar that belongs to a network wait.
// While the window waits for a squad page, a logo, the directory or an upload
// it shows a Cancel button, the bytes moved so far and, when the total is
// known, a progress bar; a note says when the wait can no longer be
// cancelled. The widgets live in the status bar and die with it; this object
// only arranges them. Clicking Cancel emits cancelRequested() from the event
// loop, usually in the middle of the wait it is meant to end (the window
// takes Esc itself).

#include <QObject>
#include <QString>

class QLabel;
class QProgressBar;
class QPushButton;
class QStatusBar;

class WaitControls : public QObject
{
    Q_OBJECT
public:
    explicit WaitControls(QStatusBar& bar);

    // Shows the controls of a wait (cancellable: the Cancel button is
    // enabled) or hides them all and forgets the progress.
    void begin(bool cancellable);
    void end();
    bool active() const { return m_active; }
    // A wait that cannot be cancelled any more: Cancel is disabled and the
    // note says why.
    void setNotCancellable(const QString& note);
    // done bytes of total; total < 0 when unknown (no bar).
    void setProgress(qint64 done, qint64 total);

    QPushButton* cancelButton() const { return m_cancel; }
    QLabel* progressLabel() const { return m_label; }
    QProgressBar* progressBar() const { return m_bar; }

signals:
    void cancelRequested();

private:
    QLabel* m_label;
    QProgressBar* m_bar;
    QPushButton* m_cancel;
    QString m_note;
    bool m_active = false;
};
