#include "AddSquadFrm.h"

#include "DirectoryChange.h"
#include "ErrorReport.h"
#include "EventWait.h"
#include "MainFrm.h"
#include "UiSeams.h"
#include "WorkingFiles.h"

#include <QCloseEvent>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TfrmAddSquad::TfrmAddSquad(TfrmMain& owner) : QDialog(&owner), m_main(owner)
{
    setObjectName(QStringLiteral("frmAddSquad"));
    setWindowTitle(tr("Add Squad"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                   | Qt::WindowCloseButtonHint);

    Label1 = new QLabel(tr("Enter squad &URL:"), this);
    QFont bold = Label1->font();
    bold.setBold(true);
    Label1->setFont(bold);
    edtUrl = new QLineEdit(QStringLiteral("http://"), this);
    edtUrl->setObjectName(QStringLiteral("edtUrl"));
    edtUrl->setAccessibleName(tr("Squad URL"));
    Label1->setBuddy(edtUrl);
    // Room for a usual address in the font shown; the dialog's size follows
    // from its contents and so grows with the desktop's font and scaling.
    edtUrl->setMinimumWidth(edtUrl->fontMetrics().averageCharWidth() * 40);
    btnOK = new QPushButton(tr("OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnCancel = new QPushButton(tr("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    for (QPushButton* button : {btnOK, btnCancel}) {
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(Label1);
    auto* row = new QHBoxLayout;
    row->addWidget(edtUrl, 1);
    row->addWidget(btnOK);
    row->addWidget(btnCancel);
    layout->addLayout(row);

    connect(btnOK, &QPushButton::clicked, this, [this] { ErrorReport::guarded([this] { btnOKClick(); }); });
    connect(btnCancel, &QPushButton::clicked, this,
            [this] { ErrorReport::guarded([this] { btnCancelClick(); }); });
    connect(edtUrl, &QLineEdit::returnPressed, this, [this] { ErrorReport::guarded([this] { btnOKClick(); }); });

    adjustSize();
    const QRect area = owner.frameGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
    edtUrl->setFocus();
    FormCreate();
}

void TfrmAddSquad::FormCreate()
{
    SquadUrl.clear();
}

void TfrmAddSquad::btnCancelClick()
{
    if (m_main.publishing())
        return; // see reject()
    m_closed = true;
    done(QDialog::Rejected);
}

void TfrmAddSquad::reject()
{
    // Closing the window or Escape: the same as Cancel, also in the middle
    // of an OK that is waiting for a document. Not while the directory is
    // being published: the dialog would vanish while the upload goes on, and
    // the main window would take new work meanwhile. The publish ends by
    // itself (every step is bounded) and closes the dialog.
    if (m_main.publishing())
        return;
    m_closed = true;
    QDialog::reject();
}

void TfrmAddSquad::closeEvent(QCloseEvent* event)
{
    if (m_main.publishing()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

bool TfrmAddSquad::waitFor(const XmlDocument& document)
{
    // The document service ends every load (a stalled transfer included), so
    // this wait needs no limit of its own.
    spinUntil([&] { return document.readyState() == 4 || m_closed; });
    return !m_closed;
}

void TfrmAddSquad::btnOKClick()
{
    if (m_okRunning)
        return; // a second OK (click or Enter) while the first one waits
    m_okRunning = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{m_okRunning};
    runOk();
}

void TfrmAddSquad::runOk()
{
    UiSeams& seams = m_main.seams();
    const QString url = edtUrl->text();
    SquadUrl.clear();

    if (!m_main.DatabaseDoc.load(m_main.settings().directoryUrl)) {
        seams.messageBox(tr("Can't connect to internet."), tr("Connection failed"),
                         UiSeams::Icon::Warning);
        done(ResultAbort);
        return;
    }
    seams.setScreenCursor(UiSeams::crHourGlass);
    if (!waitFor(m_main.DatabaseDoc)) {
        seams.setScreenCursor(UiSeams::crDefault);
        return;
    }

    seams.setScreenCursor(UiSeams::crAppStart);
    const bool started = m_main.DetailDoc.load(url);
    if (started && !waitFor(m_main.DetailDoc)) {
        seams.setScreenCursor(UiSeams::crDefault);
        return;
    }
    const bool accepted = started && !m_main.DetailDoc.lastChild().isNull();
    XmlNode root = m_main.DatabaseDoc.lastChild();

    if (!accepted && m_main.DetailDoc.loadFailure() == XmlDocument::LoadFailure::Transient) {
        // The page could not be read just now, or its load could not even
        // start (no network): nothing is known about the squad, so a listed
        // entry stays and nothing is published.
        seams.setScreenCursor(UiSeams::crDefault);
        seams.messageBox(tr("This is broken link to squad."), tr("Connection failed"),
                         UiSeams::Icon::Warning);
        done(ResultAbort);
        return;
    }

    if (!accepted) {
        seams.messageBox(tr("Bad file URL or incorrect data format."), tr("Squad not found"), UiSeams::Icon::Warning);
        // The removal goes to the directory as it is on the server now, which
        // may differ from the copy just loaded; it is asked for only when that
        // copy lists the address, as the user saw it listed.
        if (!root.isNull() && !DirectoryChange::findEntry(root, url).isNull())
            m_main.publishChange(DirectoryChange::remove(url), false);
        seams.setScreenCursor(UiSeams::crDefault);
        if (QFile::exists(kTmp))
            QFile::remove(kTmp);
        done(ResultAbort);
        return;
    }

    if (root.isNull()) {
        // The directory could not be loaded: nothing can be checked or added.
        seams.setScreenCursor(UiSeams::crDefault);
        seams.messageBox(tr("Can't connect to internet."), tr("Connection failed"),
                         UiSeams::Icon::Warning);
        done(ResultAbort);
        return;
    }

    if (!DirectoryChange::findEntry(root, url).isNull()) {
        SquadUrl = url;
        done(QDialog::Accepted);
        seams.setScreenCursor(UiSeams::crDefault);
        return;
    }

    // The entry is added to the directory as it is on the server when the
    // publish runs; one listed there meanwhile is not added twice.
    m_main.publishChange(DirectoryChange::add(DirectoryChange::pageName(m_main.DetailDoc), url), true);
    SquadUrl = url;
    if (QFile::exists(kTmp))
        QFile::remove(kTmp);
    seams.setScreenCursor(UiSeams::crDefault);
    done(QDialog::Accepted);
}
