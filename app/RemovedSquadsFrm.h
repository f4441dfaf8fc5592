#pragma once

// TfrmRemovedSquads: System -> Removed squads. Lists the squads that the
// directory's kept history shows removed and the directory does not list
// now (RemovedSquadsModel), newest first; Restore adds the selected one
// back, with the nick it had, as an ordinary add under the lock (through the
// main window's publishChange, as Add Squad does), then reads the list
// again.
//
// Its waits turn the event loop. While the list loads, Restore is off and
// closing the dialog ends the load at once. While a restore publishes, a
// second Restore is ignored and the dialog cannot be closed (it stays until
// the publish has ended, as Add Squad does). Destroying the window (and the
// dialog with it) during either wait ends it without touching either again.

#include <QDialog>
#include <QString>
#include <QStringList>

class QLabel;
class QPushButton;
class QTreeView;
class RemovedSquadsModel;
class TfrmMain;

class TfrmRemovedSquads : public QDialog
{
    Q_OBJECT
public:
    explicit TfrmRemovedSquads(TfrmMain& owner);

    // Reads the history into the list; also run once the dialog shows.
    void loadList();
    void btnRestoreClick();

    // The addresses restored while the dialog was open, in order.
    QStringList restored() const { return m_restored; }
    bool loading() const;

    QLabel* lblList;
    QTreeView* lvRemoved;
    RemovedSquadsModel* model;
    QLabel* lblStatus;
    QPushButton* btnRestore;
    QPushButton* btnClose;

public slots:
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void setStatus(const QString& text);
    void updateButtons();

    TfrmMain& m_main;
    bool m_started = false;
    bool m_restoring = false;
    QStringList m_restored;
};
