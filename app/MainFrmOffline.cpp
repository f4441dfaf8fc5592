// TfrmMain's offline copies: the directory's copy shown at start until the
// live directory loads, the quiet loads that replace it, squad pages shown
// from their copies, and the status-bar panel that marks what is a copy.
// The copies themselves are OfflineCache's.

#include "MainFrm.h"

#include "AccessibleValue.h"
#include "DirectoryRetry.h"
#include "PageArea.h"

#include <QLabel>
#include <QListView>
#include <QTimer>
#include <QToolButton>

bool TfrmMain::loadDirectory()
{
    return startDirectoryLoad(DatabaseDoc);
}

bool TfrmMain::startDirectoryLoad(XmlDocument& document)
{
    // Asks only whether the directory changed when a copy of it is kept;
    // the body of a new one replaces that copy.
    const QString& url = m_settings.directoryUrl;
    const OfflineCache::Copy copy = m_cache.find(url, OfflineCache::DirectoryCopy);
    document.setCopy(m_cache.bodyFile(url, OfflineCache::DirectoryCopy), copy.etag,
                     copy.lastModified);
    return document.load(url);
}

void TfrmMain::createRetry()
{
    DirectoryRetry::Hooks hooks;
    hooks.start = [this](XmlDocument& document) { return startDirectoryLoad(document); };
    // The load has just replaced the copy's body; its record follows at
    // once, or the cache would hold a body that matches no record.
    hooks.loaded = [this](const XmlDocument& document) {
        m_quietCopyTime = keepDirectoryCopy(document);
    };
    // Only an idle window takes the list: never while Details, a logo or a
    // publish runs (they end at "Ready", and the next poll takes it), so no
    // action of the user has the list change in its middle.
    hooks.take = [this](const XmlDocument& document) {
        if (!m_ready || m_publishing || tmrWaitDatabase->isActive())
            return false;
        listLiveDirectory(document, m_quietCopyTime, true);
        return true;
    };
    m_retry = new DirectoryRetry(std::move(hooks), this);
}

QDateTime TfrmMain::keepDirectoryCopy(const XmlDocument& document)
{
    const QString& url = m_settings.directoryUrl;
    return document.notModified() ? m_cache.find(url, OfflineCache::DirectoryCopy).savedAt
                                  : recordCopy(document, url, OfflineCache::DirectoryCopy);
}

void TfrmMain::listLiveDirectory(const XmlDocument& document, const QDateTime& copyTime, bool quiet)
{
    // A "not modified" reply loaded the very copy the list shows; filling
    // the list again would only cost time and the user's place in it.
    const QDateTime shownCopy = m_listCopyTime;
    m_listCopyTime = copyTime;
    const bool unchanged =
        document.notModified() && shownCopy.isValid() && shownCopy == m_listCopyTime;
    m_retry->stop();
    DatabaseDoc = document;
    m_liveListLoaded = true;
    leaveOfflineCopy();
    if (unchanged)
        ReselectSquad();
    else
        FillSquads();
    if (quiet && pgLeft->isPageVisible(tbshtDetails))
        return; // the squad shown stays; Squad Database shows the new list
    showListPage(true);
    // The squad selected in the copy may be gone from the live list.
    if (quiet)
        lbSquadsClick();
}

QDateTime TfrmMain::recordCopy(const XmlDocument& document, const QString& url, const QString& kind)
{
    if (!m_cache.record(url, kind, document.replyETag(), document.replyLastModified()))
        return {};
    return m_cache.find(url, kind).savedAt;
}

bool TfrmMain::showOfflineCopy()
{
    const QString& url = m_settings.directoryUrl;
    const OfflineCache::Copy copy = m_cache.find(url, OfflineCache::DirectoryCopy);
    if (!copy.isValid())
        return false;
    // A copy that does not parse, or holds no directory, is never shown; it
    // goes, and the next load writes a sound one.
    if (!DatabaseDoc.loadCopy(copy.file) || DatabaseDoc.lastChild().isNull()) {
        m_cache.forget(url, OfflineCache::DirectoryCopy);
        DatabaseDoc = XmlDocument();
        return false;
    }
    m_showingOfflineCopy = true;
    m_listCopyTime = copy.savedAt;
    FillSquads();
    showListPage(false); // the program never publishes from a copy
    updateOfflinePanel();
    return true;
}

void TfrmMain::leaveOfflineCopy()
{
    m_showingOfflineCopy = false;
    updateOfflinePanel();
}

bool TfrmMain::showDetailCopy()
{
    const OfflineCache::Copy copy = m_cache.find(CurrentSquadUrl, OfflineCache::PageCopy);
    if (!copy.isValid())
        return false;
    // Tried on a document of its own first, so that a damaged copy leaves
    // DetailDoc's transient failure as it was: a copy that cannot be read
    // says nothing about the squad.
    XmlDocument trial;
    if (!trial.loadCopy(copy.file) || trial.lastChild().isNull()) {
        m_cache.forget(CurrentSquadUrl, OfflineCache::PageCopy);
        return false;
    }
    DetailDoc.loadCopy(copy.file);
    m_detailCopyTime = copy.savedAt;
    return true;
}

void TfrmMain::updateOfflinePanel()
{
    QDateTime copyTime;
    QString explanation;
    if (pgLeft->isPageVisible(tbshtDetails)) {
        copyTime = m_detailCopyTime;
        explanation = tr("The squad page as it was when last opened; Squad Details loads it again");
    } else if (m_showingOfflineCopy) {
        copyTime = m_listCopyTime;
        explanation = tr("The squad list kept from an earlier run; the live list replaces it as "
                         "soon as it loads");
    }
    // The tool tip is also what a screen reader hears with the panel's text.
    m_offlinePanel->setToolTip(copyTime.isValid() ? explanation : QString());
    AccessibleValue::setText(m_offlinePanel,
                             copyTime.isValid() ? OfflineCache::offlineText(copyTime) : QString());
    m_offlinePanel->setVisible(copyTime.isValid());
}
