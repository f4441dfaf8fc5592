#include "RemovedSquadsFrm.h"

#include "AccessibleValue.h"
#include "DirectoryChange.h"
#include "ErrorReport.h"
#include "FtpClient.h"
#include "MainFrm.h"
#include "RemovedSquadsModel.h"
#include "UiSeams.h"
#include "WorkingFiles.h"

#include <QCloseEvent>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

TfrmRemovedSquads::TfrmRemovedSquads(TfrmMain& owner) : QDialog(&owner), m_main(owner)
{
    setObjectName(QStringLiteral("frmRemovedSquads"));
    setWindowTitle(tr("Removed Squads"));

    lblList = new QLabel(tr("Removed &squads:"), this);
    QFont bold = lblList->font();
    bold.setBold(true);
    lblList->setFont(bold);
    model = new RemovedSquadsModel(this);
    lvRemoved = new QTreeView(this);
    lvRemoved->setObjectName(QStringLiteral("lvRemoved"));
    lvRemoved->setModel(model);
    lvRemoved->setRootIsDecorated(false);
    lvRemoved->setUniformRowHeights(true);
    lvRemoved->setAllColumnsShowFocus(true);
    lvRemoved->setSelectionMode(QAbstractItemView::SingleSelection);
    lvRemoved->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvRemoved->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // The view's name says what it lists; its rows speak for themselves.
    lvRemoved->setAccessibleName(tr("Removed squads"));
    lblList->setBuddy(lvRemoved);
    const int charWidth = lvRemoved->fontMetrics().averageCharWidth();
    lvRemoved->setMinimumSize(charWidth * 80, lvRemoved->fontMetrics().height() * 14);
    lvRemoved->header()->setStretchLastSection(false);
    lvRemoved->header()->setSectionResizeMode(RemovedSquadsModel::UrlColumn, QHeaderView::Stretch);
    lvRemoved->setColumnWidth(RemovedSquadsModel::NickColumn, charWidth * 18);
    lvRemoved->setColumnWidth(RemovedSquadsModel::RemovedColumn, charWidth * 18);

    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setWordWrap(true);
    AccessibleValue::describe(lblStatus, tr("Status"));

    btnRestore = new QPushButton(tr("&Restore"), this);
    btnRestore->setObjectName(QStringLiteral("btnRestore"));
    btnRestore->setDefault(true); // Enter
    btnClose = new QPushButton(tr("&Close"), this);
    btnClose->setObjectName(QStringLiteral("btnClose"));
    btnClose->setAutoDefault(false);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblList);
    layout->addWidget(lvRemoved, 1);
    layout->addWidget(lblStatus);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(btnRestore);
    row->addWidget(btnClose);
    layout->addLayout(row);

    connect(btnRestore, &QPushButton::clicked, this,
            [this] { ErrorReport::guarded([this] { btnRestoreClick(); }); });
    connect(btnClose, &QPushButton::clicked, this,
            [this] { ErrorReport::guarded([this] { reject(); }); });
    connect(lvRemoved->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { ErrorReport::guarded([this] { updateButtons(); }); });

    adjustSize();
    const QRect area = owner.frameGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
    updateButtons();
}

bool TfrmRemovedSquads::loading() const
{
    return model->loading();
}

void TfrmRemovedSquads::setStatus(const QString& text)
{
    AccessibleValue::setText(lblStatus, text);
}

void TfrmRemovedSquads::updateButtons()
{
    btnRestore->setEnabled(!model->loading() && !m_restoring &&
                           lvRemoved->selectionModel()->hasSelection());
}

void TfrmRemovedSquads::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_started)
        return;
    m_started = true;
    // Once the dialog is on the screen, from the event loop that shows it.
    QTimer::singleShot(0, this, [this] { ErrorReport::guarded([this] { loadList(); }); });
}

void TfrmRemovedSquads::loadList()
{
    if (model->loading())
        return;
    const QPointer<TfrmRemovedSquads> self(this);
    RemovedSquadsModel::Source source;
    const AppSettings& settings = m_main.settings();
    source.account =
        FtpAccount{settings.ftpHost, settings.ftpPort, settings.ftpUser, settings.ftpPassword};
    if (!TFtpClient::parseTlsMode(settings.ftpTls, source.account.tls))
        source.account.tls = TFtpTls::Off;
    source.remoteDirectory = m_main.publishOptions.remoteDirectory;
    source.timeOut = m_main.FtpClient->TimeOut;
    source.cacheFolder = m_main.offlineCache().folder() + QStringLiteral("/history");
    setStatus(tr("Reading the directory's history..."));
    updateButtons();
    const RemovedSquadsModel::Result result = model->load(source);
    if (!self || result == RemovedSquadsModel::Result::Cancelled ||
        result == RemovedSquadsModel::Result::Busy)
        return;
    if (result == RemovedSquadsModel::Result::Failed)
        setStatus(tr("The directory's history cannot be read: %1").arg(model->error()));
    else if (model->rowCount() == 0)
        setStatus(tr("The kept history shows no removed squad that is not listed now."));
    else
        setStatus(tr("Removed squads not listed now: %1").arg(model->rowCount()));
    if (model->rowCount() > 0) {
        lvRemoved->setCurrentIndex(model->index(0, 0));
        lvRemoved->setFocus();
    }
    updateButtons();
}

void TfrmRemovedSquads::btnRestoreClick()
{
    // A second Restore (click or Enter) while one publishes, or one while
    // the list loads, does nothing.
    if (m_restoring || model->loading() || m_main.publishing())
        return;
    const QModelIndex current = lvRemoved->selectionModel()->currentIndex();
    if (!current.isValid() || !lvRemoved->selectionModel()->isRowSelected(current.row(), {}))
        return;
    const DirectoryHistory::Removal removal = model->removal(current.row());
    const QPointer<TfrmRemovedSquads> self(this);
    const QPointer<TfrmMain> main(&m_main);
    m_restoring = true;
    updateButtons();
    setStatus(tr("Restoring %1...").arg(removal.squad.nick));
    try {
        m_main.publishChange(DirectoryChange::add(removal.squad.nick, removal.squad.url), true);
    } catch (...) {
        if (self) {
            m_restoring = false;
            setStatus(QString());
            updateButtons();
        }
        throw;
    }
    if (!self || !main)
        return;
    if (QFile::exists(kTmp))
        QFile::remove(kTmp);
    m_main.setScreenCursor(UiSeams::crDefault);
    m_restoring = false;
    m_restored << removal.squad.url;
    loadList();
}

void TfrmRemovedSquads::reject()
{
    // Escape, Close and the close box: end a load at once; not while a
    // restore publishes (see Add Squad): the publish ends by itself, and the
    // dialog can be closed then.
    if (m_restoring || m_main.publishing())
        return;
    model->cancel();
    QDialog::reject();
}

void TfrmRemovedSquads::closeEvent(QCloseEvent* event)
{
    if (m_restoring || m_main.publishing()) {
        event->ignore();
        return;
    }
    model->cancel();
    QDialog::closeEvent(event);
}
