#pragma once

// TfrmMain: the main window and the controller of the whole program. It owns
// the two documents (DatabaseDoc, the squad directory; DetailDoc, the squad
// page shown), the HTTP client that fetches logos, the FTP client that
// publishes the directory, and three polling timers.
//
// The status line is the busy flag: Details, Database and Refresh act only
// while it is "Ready" (isReady()); every long operation sets another status
// first and "Ready" at its end. It is kept as written and only shown
// translated, so no decision depends on the window's language.
//
// Re-entrancy: the logo fetch and the upload wait in the event loop, so clicks
// and timer ticks run in the middle of them; the status-line rule keeps the
// three tool-button actions out, and tmrWaitDetail is stopped before its tick
// does any work, so the tick cannot re-enter itself. The logo is decoded on a
// worker thread after the tick; the status reads "Loading squad logo..."
// until the decode's end is back on the window's thread.
//
// Until a live directory has loaded the list shows the offline copy, and a
// DirectoryRetry quietly retries a failed load on a document of its own; its
// directory is taken only while the status is "Ready" (MainFrmOffline.cpp).
// Message boxes, the cursor and the shell go through UiSeams; every event
// entry point runs through ErrorReport::guarded(). Definitions: MainFrm.cpp
// (handlers, status line), MainFrmLayout.cpp (widgets, wiring),
// MainFrmSquadView.cpp (squad tree, detail pages), MainFrmLogo.cpp,
// MainFrmPublish.cpp, MainFrmOffline.cpp.

#include <QMainWindow>
#include <QPixmap>
#include <QString>

#include <optional>

#include "AppSettings.h"
#include "DirectoryPublisher.h"
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
class WaitControls;
class QImage;
class QKeyEvent;
class LogoDecoder;
class DirectoryRetry;
class THttpClient;
class TFtpClient;

class TfrmMain : public QMainWindow
{
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
    void miRemovedClick();
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
    // Squad pages come from anyone's web space: a page beyond these bounds fails
    // to load as "try later" (never as a dead squad) rather than fill memory. A
    // member with every field is 5 elements, 13 nodes with both attributes, so a
    // squad of 100,000 such members loads; the element bound stays just above
    // that, as a tree of as many empty members takes most of the 100 ms one event
    // may hold the window, and the node bound keeps any page's tree near 250 MB.
    // The directory has no element limit (it must hold every squad) and keeps
    // the document service's node bound.
    static constexpr qint64 maxPageElements = 510000;
    static constexpr qint64 maxPageNodes = 2000000;
    QString SelectedSquadUrl;
    qint16 SavedCursor = 1;
    static QString CurrentSquadUrl; // the squad page last requested by Details

    // The status as the program writes it (English, as in QT_TR_NOOP); the
    // status line shows its translation.
    QString status() const;
    void setStatus(const QString& text);
    bool isReady() const { return m_ready; }
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
    QAction* miRemoved;
    QAction* miAbout;
    QTimer* tmrWaitDatabase;
    QTimer* tmrWaitDetail;
    QTimer* tmrTestConnection;

    // The squad list entry's page address.
    static constexpr int SquadUrlRole = SquadListModel::UrlRole;

    // The copies kept of the directory, squad pages and logos.
    OfflineCache& offlineCache() { return m_cache; }
    // The list shows the directory's offline copy, not a loaded directory:
    // nothing may be added or removed, as the program never publishes from a copy.
    bool showingOfflineCopy() const { return m_showingOfflineCopy; }
    // The permanent status-bar panel that says which copy is shown.
    QLabel* offlinePanel() const { return m_offlinePanel; }
    // The quiet loads while no live list is shown (the copy, or nothing after a
    // failed load): they run under "Ready"; a loaded directory is taken once idle.
    DirectoryRetry* directoryRetry() const { return m_retry; }
    // The status line, whose text is its accessible name.
    QLabel* statusLabel() const { return m_statusLabel; }

    THttpClient* HttpClient;
    TFtpClient* FtpClient;

    // A logo body beyond this is cut off while it arrives, so that a server
    // that never stops sending cannot fill the disk. Tests lower it.
    qint64 maxLogoBytes;
    // How the directory is published (lock lease and polling, remote name, the
    // local copy "a.tmp"); time-outs come from FtpClient->TimeOut. Tests shorten
    // the lease.
    DirectoryPublisher::Options publishOptions;
    // The work budget of decoding a logo (JpegImage::Limits). Tests change it.
    qint64 maxLogoWork;

    // Sets the screen cursor through the seams.
    void setScreenCursor(int cursorId);

    // Publishes one change through DirectoryPublisher (see there), under the
    // hourglass and the status "Uploading corvanet changes...". Waits; meanwhile
    // Add Squad is off and a second publish throws. Ends with "Ready"; the caller
    // deletes "a.tmp" and resets the cursor. On an error the cursor is reset,
    // "a.tmp" is deleted only when deleteTmpOnError, and the error propagates.
    DirectoryChange::Outcome publishChange(const DirectoryChange& change, bool deleteTmpOnError);
    bool publishing() const { return m_publishing; }

    // Cancel (Esc, or the status bar's Cancel): ends the running squad page load,
    // logo fetch or directory load within a turn of the event loop, back to
    // "Ready"; a cancelled page removes nothing. A publish stops at its next step,
    // the directory untouched, unless its upload has begun: then it runs to its
    // end and Cancel says so. Runs inside those waits; a second Cancel, or one
    // while nothing waits, does nothing.
    void cancelWait();
    WaitControls* waitControls() const { return m_wait; }

    // The logo step: fetches the page's "picture" into "temp.jpg" (waits, each
    // fetch at most HttpClient->TimeOut in all; never throws) and starts decoding
    // it on a worker thread, under "Loading squad logo..."; the decode's end
    // shows the logo, keeps it for the squad node's next selection, sets "Ready".
    virtual void runLogoStep();
    bool logoDecoding() const;
    // Removes the directory entry of the squad whose page (CurrentSquadUrl)
    // loaded nothing, publishes the directory and refreshes the list. Waits.
    virtual void removeDeadEntryAndPublish();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void createComponents();
    // Shows the list page after a directory (or its copy) was listed: the
    // list takes the focus when it comes into view; Add Squad as given.
    void showListPage(bool addEnabled);
    QWidget* createSquadPage();
    QWidget* createMemberPage();
    void connectHandlers();
    void deleteTempJpg();
    void showConnectionMessage();
    void showLogo();
    void logoDecoded(const QImage& image);
    bool fetchLogo(const QString& address);
    QPixmap logoPixmap(const QImage& image) const;
    bool loadDirectory();
    bool startDirectoryLoad(XmlDocument& document);
    void createRetry();
    // The time of the copy a directory that loaded left in the cache.
    QDateTime keepDirectoryCopy(const XmlDocument& document);
    // Lists a directory that loaded in place of what the list shows; a quiet
    // load leaves the details page where it is.
    void listLiveDirectory(const XmlDocument& document, const QDateTime& copyTime, bool quiet);
    bool showOfflineCopy();
    void leaveOfflineCopy();
    QDateTime recordCopy(const XmlDocument& document, const QString& url, const QString& kind);
    bool showDetailCopy();
    void updateOfflinePanel();
    int selectedEntry() const;
    void selectRowQuietly(int row);

    // The texts the squad page shows, read in PrepareDetails' one pass over the
    // element's children, so a large page is not walked again at each selection.
    struct SquadTexts {
        XmlNode element;
        QString name, email, web, title, picture; // of the last child of each name
    };
    SquadTexts squadTextsOf(const XmlNode& element) const;

    AppSettings m_settings;
    UiSeams& m_seams;
    QLabel* m_statusLabel;
    QString m_status;
    bool m_ready = false;
    WaitControls* m_wait;
    bool m_cancelled = false;     // Cancel was asked for during the current wait
    bool m_uploadStarted = false; // the publish has begun its upload
    QString m_publishStep;
    bool m_publishing = false;
    bool m_historyNoticeShown = false; // the history's notice, once per run
    LogoDecoder* m_logoDecoder;
    // The decoded logo of the page shown: none before its decode ended, a
    // null pixmap when "temp.jpg" did not decode.
    std::optional<QPixmap> m_logo;
    SquadTexts m_squadTexts;
    QLabel* m_offlinePanel;
    OfflineCache m_cache;
    bool m_showingOfflineCopy = false;
    bool m_liveListLoaded = false; // a directory has loaded in this run
    QDateTime m_listCopyTime;      // of the copy the list shows
    QDateTime m_detailCopyTime;    // valid while the details show a copy
    DirectoryRetry* m_retry = nullptr;
    QDateTime m_quietCopyTime;     // of the copy the last quiet load left
    bool m_quietSelection = false; // FillSquads and the filter select; no click
};
