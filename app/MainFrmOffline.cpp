// TfrmMain's offline copies: the directory's copy shown when it cannot load
// at start, squad pages shown from their copies, and the status-bar panel
// that marks what is a copy. The copies themselves are OfflineCache's.

#include "MainFrm.h"

#include "PageArea.h"

#include <QLabel>
#include <QListView>
#include <QToolButton>

bool TfrmMain::loadDirectory()
{
    // Asks only whether the directory changed when a copy of it is kept;
    // the body of a new one replaces that copy.
    const QString& url = m_settings.directoryUrl;
    const OfflineCache::Copy copy = m_cache.find(url, OfflineCache::DirectoryCopy);
    DatabaseDoc.setCopy(m_cache.bodyFile(url, OfflineCache::DirectoryCopy), copy.etag,
                        copy.lastModified);
    return DatabaseDoc.load(url);
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
    if (pgLeft->isPageVisible(tbshtDetails))
        copyTime = m_detailCopyTime;
    else if (m_showingOfflineCopy)
        copyTime = m_listCopyTime;
    m_offlinePanel->setText(copyTime.isValid() ? OfflineCache::offlineText(copyTime) : QString());
    m_offlinePanel->setVisible(copyTime.isValid());
}
