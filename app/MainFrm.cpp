// TfrmMain's core: the window's life, the status line and Cancel, the start
// and the loads of the directory and of squad pages, and the squad list.

#include "MainFrm.h"

#include "AboutFrm.h"
#include "AccessibleValue.h"
#include "DirectoryRetry.h"
#include "ErrorReport.h"
#include "FtpClient.h"
#include "HttpClient.h"
#include "LogoDecoder.h"
#include "PageArea.h"
#include "SquadCollation.h"
#include "StatusTexts.h"
#include "UiSeams.h"
#include "WaitControls.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPointer>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include <utility>

using ErrorReport::guarded;

QString TfrmMain::CurrentSquadUrl;

namespace
{

const QString kCrLf = QStringLiteral("\r\n");

} // namespace

TfrmMain::TfrmMain(const AppSettings& settings, UiSeams& seams, QWidget* parent)
    : QMainWindow(parent), m_settings(settings), m_seams(seams)
{
    ErrorReport::setSeams(&m_seams);
    createComponents();
    connectHandlers();
    guarded([this] { FormCreate(); });
}

TfrmMain::~TfrmMain()
{
    // A logo still decoding is dropped, and so is a quiet load; their ends
    // must not reach a window that is half torn down.
    m_logoDecoder->cancel();
    m_retry->stop();
    // The tree's model reads documents while it is torn down; drop it first.
    twSquad->setModel(nullptr);
}

QString TfrmMain::status() const
{
    return m_status;
}

void TfrmMain::setStatus(const QString& text)
{
    m_status = text;
    m_ready = text == StatusTexts::ready();
    AccessibleValue::setText(m_statusLabel, tr(text.toUtf8().constData()));
    // The network waits show Cancel and their progress while they run.
    static const QStringList cancellable{StatusTexts::loadingDatabase(),
                                         StatusTexts::loadingDetails(), StatusTexts::loadingLogo(),
                                         StatusTexts::uploading()};
    if (cancellable.contains(text)) {
        if (!m_wait->active())
            m_cancelled = false;
        m_wait->begin(true);
    } else {
        m_wait->end();
    }
}

void TfrmMain::cancelWait()
{
    if (!m_wait->active() || m_cancelled)
        return; // nothing to cancel, or cancelled already
    if (m_status == StatusTexts::uploading()) {
        // Once the upload has begun, stopping could leave the new directory
        // half on the server; the publish runs to its end.
        if (m_uploadStarted)
            return;
        m_cancelled = true;
        // The publish stops at its next step, before anything is written;
        // a directory being read is abandoned at once.
        if (m_publishStep == QLatin1String("read"))
            FtpClient->Abort();
        m_wait->setNotCancellable(tr("Cancelling..."));
        return;
    }
    m_cancelled = true;
    if (m_status == StatusTexts::loadingLogo()) {
        // A fetch ends with its abort and the logo step sets "Ready" itself;
        // a decode that runs already is dropped here.
        HttpClient->Abort();
        if (logoDecoding()) {
            m_logoDecoder->cancel();
            m_logo = QPixmap();
            setStatus(StatusTexts::ready());
            setScreenCursor(UiSeams::crDefault);
        }
    } else if (m_status == StatusTexts::loadingDetails()) {
        // A cancelled page says nothing about the squad: nothing is removed,
        // and the list is as it was before Details.
        tmrWaitDetail->stop();
        DetailDoc.abort();
        miAdd->setEnabled(!m_showingOfflineCopy);
        setStatus(StatusTexts::ready());
        setScreenCursor(UiSeams::crDefault);
    } else if (m_status == StatusTexts::loadingDatabase()) {
        // The load ends as a failed one, now rather than at the next tick.
        DatabaseDoc.abort();
        tmrWaitDatabase->stop();
        tmrWaitDatabaseTimer();
        lbSquadsClick();
    }
}

void TfrmMain::setScreenCursor(int cursorId)
{
    m_seams.setScreenCursor(cursorId);
}

void TfrmMain::showConnectionMessage()
{
    m_seams.messageBox(tr("Can't connect to internet...") + kCrLf +
                           tr("Attempts at connect will continues"),
                       tr("Connection failed"), UiSeams::Icon::Warning);
}

void TfrmMain::FormCreate()
{
    SavedCursor = 1;
    tbtnDatabase->setEnabled(false);
    tbtnDetails->setEnabled(false);
    pgLeft->setPageVisible(tbshtDatabase, false);
    pgLeft->setPageVisible(tbshtDetails, false);
    miAdd->setEnabled(false);
    pgInfo->setPageVisible(tbshtSquad, false);
    pgInfo->setPageVisible(tbshtMember, false);
    DatabaseDoc = XmlDocument();
    DetailDoc = XmlDocument();
    DetailDoc.setElementLimit(maxPageElements);
    DetailDoc.setNodeLimit(maxPageNodes);
    // The copy kept by an earlier run shows at once, marked as a copy, while
    // the live directory loads (or behind the message when it cannot), and
    // stays until a live list replaces it.
    showOfflineCopy();
    const bool started = loadDirectory();
    SelectedSquadUrl.clear();
    if (started) {
        setStatus(StatusTexts::loadingDatabase());
        tmrWaitDatabase->start();
        setScreenCursor(UiSeams::crAppStart);
        tbtnDetails->setEnabled(false);
    } else {
        showConnectionMessage();
        setStatus(StatusTexts::connecting());
        tmrTestConnection->start();
    }
}

void TfrmMain::tmrWaitDatabaseTimer()
{
    if (DatabaseDoc.readyState() != 4)
        return;
    tmrWaitDatabase->stop();
    setStatus(StatusTexts::ready());
    deleteTempJpg();
    // A loaded document always has a root, so its text is empty exactly when
    // it has no last child; testing that spares serialising a directory of
    // megabytes only to see whether it is empty.
    if (!DatabaseDoc.lastChild().isNull()) {
        listLiveDirectory(DatabaseDoc, keepDirectoryCopy(DatabaseDoc), false);
    } else {
        // A directory beyond the program's limits will not load next time
        // either; unlike a network failure it is no passing trouble, and it
        // is told rather than tried again.
        const bool refused = DatabaseDoc.refusedByLimit();
        if (!m_liveListLoaded) {
            if (!m_showingOfflineCopy)
                showOfflineCopy();
            // A load that failed (or was cancelled) is tried again, quietly,
            // until a live list is shown.
            if (!refused)
                m_retry->schedule();
        }
        if (refused)
            m_seams.messageBox(tr("The squad directory is larger than this program can load.") +
                                   kCrLf + DatabaseDoc.loadError(),
                               tr("Squad directory refused"), UiSeams::Icon::Warning);
    }
    setScreenCursor(UiSeams::crDefault);
}

void TfrmMain::showListPage(bool addEnabled)
{
    const bool listWasShown = pgLeft->isPageVisible(tbshtDatabase);
    pgLeft->setPageVisible(tbshtDatabase, true);
    pgLeft->setPageVisible(tbshtDetails, false);
    // A page that has just come into view takes the keyboard focus, or the
    // arrow keys and Enter reach nothing until the user clicks.
    if (!listWasShown)
        lbSquads->setFocus();
    tbtnDatabase->setEnabled(true);
    miAdd->setEnabled(addEnabled);
}

void TfrmMain::tmrTestConnectionTimer()
{
    // Once a load can start it runs quietly, under "Ready", on a document of
    // its own: the user may work meanwhile, and its end never resets a
    // status that an action of the user has set since.
    if (m_retry->tryNow()) {
        tmrTestConnection->stop();
        setStatus(StatusTexts::ready());
        tbtnDatabase->setEnabled(true);
    } else {
        tbtnDatabase->setEnabled(false);
        tbtnDetails->setEnabled(false);
        SelectedSquadUrl.clear();
        miAdd->setEnabled(false);
    }
}

void TfrmMain::tbtnRefreshClick()
{
    if (!m_ready)
        return;
    pgInfo->setPageVisible(tbshtSquad, false);
    pgInfo->setPageVisible(tbshtMember, false);
    // A quiet load writes the same copy; the user's load replaces it.
    m_retry->stop();
    if (loadDirectory()) {
        setStatus(StatusTexts::loadingDatabase());
        tmrWaitDatabase->start();
        tbtnDetails->setEnabled(false);
        setScreenCursor(UiSeams::crAppStart);
    } else {
        showConnectionMessage();
        setStatus(StatusTexts::connecting());
        tbtnDatabase->setEnabled(false);
        tbtnDetails->setEnabled(false);
        SelectedSquadUrl.clear();
        miAdd->setEnabled(false);
        tmrTestConnection->start();
    }
}

int TfrmMain::selectedEntry() const
{
    const QModelIndex current = lbSquads->currentIndex();
    if (!current.isValid() || !lbSquads->selectionModel()->isSelected(current))
        return -1;
    return lbSquadsModel->entryOfRow(current.row());
}

void TfrmMain::selectRowQuietly(int row)
{
    m_quietSelection = true;
    if (row >= 0) {
        const QModelIndex index = lbSquadsModel->index(row);
        lbSquads->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
        lbSquads->scrollTo(index);
    } else {
        lbSquads->selectionModel()->clear();
    }
    m_quietSelection = false;
}

void TfrmMain::lbSquadsClick()
{
    const int entry = selectedEntry();
    SelectedSquadUrl = entry >= 0 ? lbSquadsModel->entry(entry).url : QString();
    tbtnDetails->setEnabled(entry >= 0);
}

void TfrmMain::edtFindChange()
{
    // The selected squad stays selected while it matches; one that the
    // filter hides is no longer selected, as if the user had deselected it.
    const int entry = selectedEntry();
    lbSquadsModel->setFilter(edtFind->text());
    const int row = lbSquadsModel->rowOfEntry(entry);
    selectRowQuietly(row);
    if (entry >= 0 && row < 0)
        lbSquadsClick();
}

void TfrmMain::edtFindEnter()
{
    // Enter opens the only match, or the one selected among several.
    if (lbSquadsModel->rowCount() == 1 && selectedEntry() < 0)
        lbSquads->setCurrentIndex(lbSquadsModel->index(0));
    if (selectedEntry() >= 0)
        tbtnDetailsClick();
}

void TfrmMain::tbtnDetailsClick()
{
    if (!m_ready)
        return;
    const int entry = selectedEntry();
    if (entry < 0)
        return;
    tmrWaitDetail->stop();
    CurrentSquadUrl = lbSquadsModel->entry(entry).url;
    const OfflineCache::Copy copy = m_cache.find(CurrentSquadUrl, OfflineCache::PageCopy);
    DetailDoc.setCopy(m_cache.bodyFile(CurrentSquadUrl, OfflineCache::PageCopy), copy.etag,
                      copy.lastModified);
    if (DetailDoc.load(CurrentSquadUrl)) {
        setScreenCursor(UiSeams::crAppStart);
        tmrWaitDetail->start();
        miAdd->setEnabled(false);
        setStatus(StatusTexts::loadingDetails());
    } else {
        m_seams.messageBox(tr("This is broken link to squad."), tr("Connection failed"),
                           UiSeams::Icon::Warning);
        setScreenCursor(UiSeams::crDefault);
    }
}

void TfrmMain::tmrWaitDetailTimer()
{
    if (DetailDoc.readyState() != 4)
        return;
    tmrWaitDetail->stop();
    m_detailCopyTime = {};
    if (!DetailDoc.lastChild().isNull() && !DetailDoc.notModified())
        recordCopy(DetailDoc, CurrentSquadUrl, OfflineCache::PageCopy);
    else if (DetailDoc.loadFailure() == XmlDocument::LoadFailure::Transient)
        showDetailCopy(); // the page opened before, marked as a copy
    if (!DetailDoc.lastChild().isNull()) {
        setScreenCursor(UiSeams::crAppStart);
        imgLogo->clear();
        // "temp.jpg" is the logo of the squad shown; once another squad's page
        // has loaded it is stale, and showing it would put one squad's logo on
        // another squad's page when the new logo cannot be fetched.
        m_logoDecoder->cancel();
        m_logo.reset();
        deleteTempJpg();
        PrepareDetails();
        setScreenCursor(UiSeams::crAppStart);
        pgLeft->setPageVisible(tbshtDetails, true);
        pgLeft->setPageVisible(tbshtDatabase, false);
        updateOfflinePanel();
        twSquad->setFocus();
        setStatus(StatusTexts::loadingLogo());
        // Whatever the logo step does, the window must end at "Ready" with the
        // default cursor, or Details, Database and Refresh stay locked: here,
        // or at the end of the logo's decode when the step started one.
        struct ReadyAgain {
            TfrmMain* window;
            ~ReadyAgain()
            {
                if (window->logoDecoding())
                    return;
                window->setStatus(StatusTexts::ready());
                window->setScreenCursor(UiSeams::crDefault);
            }
        } readyAgain{this};
        runLogoStep();
    } else if (DetailDoc.loadFailure() == XmlDocument::LoadFailure::Transient ||
               m_showingOfflineCopy) {
        // Nothing is removed from a list that is only a copy: it is never
        // published.
        // The page could not be read just now (no connection, a reset, a
        // time-out, a server error). That says nothing about the squad, and
        // removing it would drop it from the shared directory for every user
        // because of one bad minute; the entry stays.
        setStatus(StatusTexts::ready());
        setScreenCursor(UiSeams::crDefault);
        m_seams.messageBox(tr("This is broken link to squad."), tr("Connection failed"),
                           UiSeams::Icon::Warning);
    } else {
        setStatus(StatusTexts::ready());
        setScreenCursor(UiSeams::crDefault);
        m_seams.messageBox(tr("Squad not found.") + kCrLf +
                               tr("Squad will be removed from database..."),
                           tr("Information"), UiSeams::Icon::Information);
        removeDeadEntryAndPublish();
    }
}

void TfrmMain::tbtnDatabaseClick()
{
    if (!m_ready)
        return;
    pgInfo->setPageVisible(tbshtSquad, false);
    pgInfo->setPageVisible(tbshtMember, false);
    deleteTempJpg();
    pgLeft->setPageVisible(tbshtDatabase, true);
    pgLeft->setPageVisible(tbshtDetails, false);
    lbSquads->setFocus();
    miAdd->setEnabled(!m_showingOfflineCopy);
    updateOfflinePanel();
}

void TfrmMain::miAboutClick()
{
    const QPointer<QWidget> focus = QApplication::focusWidget();
    TfrmAbout about(this);
    about.exec();
    if (focus)
        focus->setFocus();
}

void TfrmMain::FillSquads()
{
    // The entries are read in document order, put into list order (by the
    // user's language, without regard to case, stable: so "Ärger" stands
    // with the A's rather than after "Z") and handed to the model in one
    // reset: a directory of 100,000 squads costs one reset, not 100,000 rows.
    SquadListModel::Entries squads;
    const XmlNode root = DatabaseDoc.lastChild();
    int count = 0;
    for (XmlNode entry = root.firstChild(); entry; entry = entry.nextSibling(), ++count) {
        // Entries the program did not write may be text or lack attributes;
        // they are listed with empty texts rather than stopping the fill.
        const qsizetype nick = squads.nicks.size();
        const qsizetype url = squads.urls.size();
        entry.appendAttributeValue("nick", squads.nicks);
        entry.appendAttributeValue("web", squads.urls);
        squads.add(nick, url, count);
    }
    squads.reorder(
        SquadCollation().orderUtf8(count, [&squads](int i) { return squads.nickUtf8(i); }));
    // Programmatic selection is no click: the Details button stays as it was.
    m_quietSelection = true;
    lbSquadsModel->setEntries(std::move(squads));
    m_quietSelection = false;
    ReselectSquad();
}

void TfrmMain::ReselectSquad()
{
    // An empty SelectedSquadUrl selects nothing, not an entry that lacks an
    // address; a later entry in the document wins; one the find filter
    // hides is not selected.
    selectRowQuietly(lbSquadsModel->rowOfEntry(lbSquadsModel->entryOfUrl(SelectedSquadUrl)));
}
