#pragma once

// TfrmMain: the main window and the controller of the whole program.
//
// It owns the two documents (DatabaseDoc, the squad directory; DetailDoc, the
// squad page shown), the HTTP client that fetches logos, the FTP client that
// publishes the directory, and three polling timers. The status line is the
// busy flag: Details, Database and Refresh act only while it reads exactly
// "Ready"; every long operation sets another text first and "Ready" at its end.
//
// Re-entrancy: the logo fetch and the upload wait in the event loop, so clicks
// and timer ticks run in the middle of them. The status-line rule keeps the
// three tool-button actions out meanwhile; tmrWaitDetail is stopped before its
// tick does any work, so that tick cannot re-enter itself.
//
// Message boxes, the screen cursor and the shell go through UiSeams. Every
// event entry point runs through ErrorReport::guarded().

#include <QMainWindow>
#include <QString>

#include "AppSettings.h"
#include "OfflineCache.h"
#include "SquadListModel.h"
#include "SquadTreeModel.h"
#include "XmlDocument.h"

class PageArea;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QAction;
class QSplitter;
class QStatusBar;
class QTimer;
class QToolBar;
class QToolButton;
class QTreeView;
class QItemSelection;
class UiSeams;
class THttpClient;
class TFtpClient;

class TfrmMain : public QMainWindow {
    Q_OBJECT
public:
    // Creating the window runs FormCreate, which starts loading the directory.
    TfrmMain(const AppSettings& settings, UiSeams& seams, QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Event handlers.
    void FormCreate();
    void tbtnDetailsClick();
    void tbtnDatabaseClick();
    void tbtnRefreshClick();
    void lbSquadsClick();
    void edtFindChange();
    void edtFindEnter();
    void miAddClick();
    void miAboutClick();
    void tmrWaitDatabaseTimer();
    void tmrWaitDetailTimer();
    void tmrTestConnectionTimer();

    // Squad directory and squad page view.
    void FillSquads();
    // Selects the entry of SelectedSquadUrl again, as FillSquads does, or
    // nothing when the find filter hides it or the list has none.
    void ReselectSquad();
    void PrepareDetails();
    void twSquadGetText(QObject* sender, SquadTreeModel::Node* node, int column, int textType,
                        QString& cellText);
    void twSquadChange(QObject* sender, SquadTreeModel::Node* node);

    // Contact links.
    void stSEmailMouseMove(QLabel* sender, int x, int y);
    void tbshtSquadMouseMove(QWidget* sender, int x, int y);
    void stSEmailClick(QLabel* sender);
    void stSWebClick(QLabel* sender);

    // State, read by tests and the Add Squad dialog.
    XmlDocument DatabaseDoc;
    XmlDocument DetailDoc;
    QString SelectedSquadUrl;
    qint16 SavedCursor = 1;
    static QString CurrentSquadUrl; // the squad page last requested by Details

    QString status() const;
    void setStatus(const QString& text);
    const AppSettings& settings() const { return m_settings; }
    UiSeams& seams() const { return m_seams; }

    // Components.
    QToolBar* ToolBar1;
    QToolButton* tbtnDatabase;
    QToolButton* tbtnDetails;
    QToolButton* tbtnRefresh;
    QWidget* pnlLeft;
    PageArea* pgLeft;
    QWidget* tbshtDatabase;
    QWidget* tbshtDetails;
    QLineEdit* edtFind; // filters lbSquads
    QListView* lbSquads;
    SquadListModel* lbSquadsModel;
    QTreeView* twSquad;
    SquadTreeModel* twSquadModel;
    QSplitter* Splitter1;
    QWidget* pnlRight;
    PageArea* pgInfo;
    QWidget* tbshtSquad;
    QWidget* tbshtMember;
    QLabel* stSNick;
    QLabel* stSName;
    QLabel* stSEmail;
    QLabel* stSWeb;
    QLabel* stSTitle;
    QLabel* imgLogo;
    QLabel* stMNick;
    QLabel* stMID;
    QLabel* stMName;
    QLabel* stMICQ;
    QLabel* stMEmail;
    QLabel* stMDescription;
    QStatusBar* sbStatus;
    QMenu* miSystem;
    QAction* miAdd;
    QAction* miAbout;
    QTimer* tmrWaitDatabase;
    QTimer* tmrWaitDetail;
    QTimer* tmrTestConnection;

    // The squad list entry's page address.
    static constexpr int SquadUrlRole = SquadListModel::UrlRole;

    // The copies kept of the directory, squad pages and logos.
    OfflineCache& offlineCache() { return m_cache; }
    // The list shows the directory's offline copy, not a loaded directory:
    // nothing may be added or removed, since the program never publishes
    // from a copy.
    bool showingOfflineCopy() const { return m_showingOfflineCopy; }
    // The permanent status-bar panel that says which copy is shown.
    QLabel* offlinePanel() const { return m_offlinePanel; }

    THttpClient* HttpClient;
    TFtpClient* FtpClient;

    // A logo body beyond this is cut off while it arrives, so that a server
    // that never stops sending cannot fill the disk. Tests lower it.
    qint64 maxLogoBytes;
    // An upload may take FtpClient->TimeOut plus one second for every this
    // many bytes before it is cut off. Tests raise it.
    qint64 minUploadRate;
    // The directory is uploaded under this name and then renamed onto
    // "/corvanet.xml", so that an upload cut off half-way never replaces the
    // shared directory with part of it.
    static const QString RemoteDirectory;
    static const QString RemoteUploadName;

    // Sets the screen cursor through the seams.
    void setScreenCursor(int cursorId);

    // Saves DatabaseDoc to "a.tmp", uploads it as RemoteUploadName and
    // renames that onto "/corvanet.xml", under the hourglass and the status
    // "Uploading corvanet changes...". Waits (the FTP client turns the event
    // loop); every FTP call is bounded as a whole. Ends with the status "Ready";
    // the caller deletes "a.tmp" and resets the cursor. On an error the
    // cursor is reset, "a.tmp" is deleted only when deleteTmpOnError, and the
    // error propagates. A directory that holds nothing is never uploaded.
    void publishDirectory(bool deleteTmpOnError);

    // The logo step: fetches the squad page's "picture" into "temp.jpg" and
    // shows it. Waits, each fetch at most HttpClient->TimeOut as a whole;
    // never throws.
    virtual void runLogoStep();
    // Removes the directory entry of a squad whose page loaded nothing,
    // publishes the directory and refreshes the list. Waits.
    virtual void removeDeadEntryAndPublish();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createComponents();
    QWidget* createSquadPage();
    QWidget* createMemberPage();
    void connectHandlers();
    void deleteTempJpg();
    void showConnectionMessage();
    void showLogo();
    bool fetchLogo(const QString& address);
    bool loadDirectory();
    bool showOfflineCopy();
    void leaveOfflineCopy();
    QDateTime recordCopy(const XmlDocument& document, const QString& url, const QString& kind);
    bool showDetailCopy();
    void updateOfflinePanel();
    int selectedEntry() const;
    void selectRowQuietly(int row);

    AppSettings m_settings;
    UiSeams& m_seams;
    QLabel* m_statusLabel;
    QLabel* m_offlinePanel;
    OfflineCache m_cache;
    bool m_showingOfflineCopy = false;
    bool m_liveListLoaded = false;  // a directory has loaded in this run
    QDateTime m_listCopyTime;       // of the copy the list shows
    QDateTime m_detailCopyTime;     // valid while the details show a copy
    bool m_quietSelection = false;  // FillSquads and the filter select; no click
};
