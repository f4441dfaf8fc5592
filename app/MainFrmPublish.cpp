// TfrmMain's publishing: Add Squad and Removed squads, the removal of a
// squad whose page is gone, and the publish of each such change.

#include "MainFrm.h"

#include "AddSquadFrm.h"
#include "DirectoryPublisher.h"
#include "ErrorReport.h"
#include "FtpClient.h"
#include "RemovedSquadsFrm.h"
#include "StatusTexts.h"
#include "UiSeams.h"
#include "WaitControls.h"
#include "WorkingFiles.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QPointer>

namespace
{

const QString kCrLf = QStringLiteral("\r\n");

} // namespace

void TfrmMain::miAddClick()
{
    if (m_publishing || m_showingOfflineCopy)
        return; // nor does the program ever publish from a copy
    const QPointer<QWidget> focus = QApplication::focusWidget();
    auto* dialog = new TfrmAddSquad(*this);
    const int result = dialog->exec();
    const QString url = dialog->SquadUrl;
    delete dialog;
    // The keyboard goes back where it was before the dialog.
    if (focus)
        focus->setFocus();
    if (result == QDialog::Accepted) {
        SelectedSquadUrl = url;
        tbtnRefreshClick();
    }
}

void TfrmMain::miRemovedClick()
{
    if (m_publishing || !miAdd->isEnabled())
        return;
    const QPointer<TfrmMain> self(this);
    const QPointer<QWidget> focus = QApplication::focusWidget();
    const QPointer<TfrmRemovedSquads> dialog = new TfrmRemovedSquads(*this);
    dialog->exec();
    // The window (and the dialog with it) may have been destroyed meanwhile.
    if (!self)
        return;
    const QStringList restored = dialog ? dialog->restored() : QStringList();
    delete dialog;
    if (focus)
        focus->setFocus();
    if (!restored.isEmpty()) {
        SelectedSquadUrl = restored.constLast();
        tbtnRefreshClick();
    }
}

DirectoryChange::Outcome TfrmMain::publishChange(const DirectoryChange& change,
                                                 bool deleteTmpOnError)
{
    if (m_publishing)
        throw PublishError(QStringLiteral("A publish is running already"));
    setScreenCursor(UiSeams::crHourGlass);
    setStatus(StatusTexts::uploading());
    // While the publish waits, the window stays live: nothing that could
    // start a second one (Add Squad, a removal through Details) may run.
    m_publishing = true;
    const bool addWasEnabled = miAdd->isEnabled();
    miAdd->setEnabled(false);
    const QPointer<TfrmMain> self(this);
    auto restore = [&] {
        if (!self)
            return;
        m_publishing = false;
        m_uploadStarted = false;
        m_publishStep.clear();
        miAdd->setEnabled(addWasEnabled);
        setStatus(StatusTexts::ready());
    };
    DirectoryChange::Outcome outcome;
    QString notice;
    try {
        DirectoryPublisher::Options options = publishOptions;
        options.replyTimeOut = FtpClient->TimeOut;
        options.stallTimeOut = FtpClient->TimeOut;
        DirectoryPublisher::Account account{m_settings.ftpHost, m_settings.ftpPort,
                                            m_settings.ftpUser, m_settings.ftpPassword};
        if (!TFtpClient::parseTlsMode(m_settings.ftpTls, account.tls))
            account.tls = TFtpTls::Off;
        DirectoryPublisher publisher(*FtpClient, account, options);
        m_uploadStarted = false;
        publisher.onStep = [this, self](const QString& step) {
            if (!self)
                return;
            m_publishStep = step;
            // A Cancel takes effect between two steps, where the server's
            // copy is untouched and the lock can still be released properly.
            if (m_cancelled && !m_uploadStarted)
                throw OperationCancelled();
            if (step == QLatin1String("upload")) {
                m_uploadStarted = true;
                m_wait->setNotCancellable(tr("Uploading: this can no longer be cancelled"));
            }
        };
        publisher.onNotice = [&notice](const QString& text) { notice = text; };
        outcome = publisher.publish(change);
    } catch (...) {
        if (self) {
            const bool cancelled = m_cancelled && !m_uploadStarted;
            if (deleteTmpOnError && QFile::exists(kTmp))
                QFile::remove(kTmp);
            restore();
            setScreenCursor(UiSeams::crDefault);
            // Whatever error the cancel ended the publish with, it was the
            // user's wish and is no failure to report.
            if (cancelled)
                throw OperationCancelled();
        }
        throw;
    }
    restore();
    // Once per run: every publish of this account would say the same.
    if (!notice.isEmpty() && !m_historyNoticeShown) {
        m_historyNoticeShown = true;
        m_seams.messageBox(
            tr("The directory was published, but its earlier versions are not kept.") + kCrLf +
                notice,
            tr("Directory history"), UiSeams::Icon::Warning);
    }
    return outcome;
}

void TfrmMain::removeDeadEntryAndPublish()
{
    // The entry of the page that was loaded, whatever the list selects now:
    // the list stays clickable while a page loads.
    publishChange(DirectoryChange::remove(CurrentSquadUrl), false);
    if (QFile::exists(kTmp))
        QFile::remove(kTmp);
    setScreenCursor(UiSeams::crDefault);
    tbtnRefreshClick();
}
