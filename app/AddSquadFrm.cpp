#include "AddSquadFrm.h"

#include "ErrorReport.h"
#include "EventWait.h"
#include "MainFrm.h"
#include "UiSeams.h"

#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const QString kTmp = QStringLiteral("a.tmp");

// The first child of the directory root whose "web" attribute is url;
// children without one (text, comments, foreign entries) are passed over.
XmlNode findEntry(const XmlNode& root, const QString& url)
{
    const XmlNodeList children = root.childNodes();
    const int count = children.length();
    for (int i = 0; i < count; ++i) {
        const XmlNode child = children.item(i);
        const XmlNode web = child.attributes().getNamedItem(QStringLiteral("web"));
        if (!web.isNull() && web.text() == url)
            return child;
    }
    return XmlNode();
}

} // namespace

TfrmAddSquad::TfrmAddSquad(TfrmMain& owner) : QDialog(&owner), m_main(owner)
{
    setObjectName(QStringLiteral("frmAddSquad"));
    setWindowTitle(QStringLiteral("Add Squad"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                   | Qt::WindowCloseButtonHint);
    setFixedSize(406, 81);

    Label1 = new QLabel(QStringLiteral("Enter squad URL:"), this);
    QFont bold = Label1->font();
    bold.setBold(true);
    Label1->setFont(bold);
    edtUrl = new QLineEdit(QStringLiteral("http://"), this);
    edtUrl->setObjectName(QStringLiteral("edtUrl"));
    btnOK = new QPushButton(QStringLiteral("OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    for (QPushButton* button : {btnOK, btnCancel}) {
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 6, 8, 6);
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
    m_closed = true;
    done(QDialog::Rejected);
}

void TfrmAddSquad::reject()
{
    // Closing the window or Escape: the same as Cancel, also in the middle
    // of an OK that is waiting for a document.
    m_closed = true;
    QDialog::reject();
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
        seams.messageBox(QStringLiteral("Can't connect to internet."), QStringLiteral("Connection failed"),
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

    if (!accepted && started
        && m_main.DetailDoc.loadFailure() == XmlDocument::LoadFailure::Transient) {
        // The page could not be read just now: nothing is known about the
        // squad, so a listed entry stays and nothing is published.
        seams.setScreenCursor(UiSeams::crDefault);
        seams.messageBox(QStringLiteral("This is broken link to squad."), QStringLiteral("Connection failed"),
                         UiSeams::Icon::Warning);
        done(ResultAbort);
        return;
    }

    if (!accepted) {
        seams.messageBox(QStringLiteral("Bad file URL or incorrect data format."),
                         QStringLiteral("Squad not found"), UiSeams::Icon::Warning);
        // A directory that did not load has nothing to remove and must never
        // be published: it would replace the shared directory with nothing.
        if (!root.isNull()) {
            XmlNode entry = findEntry(root, url);
            if (!entry.isNull()) {
                root.removeChild(entry);
                m_main.publishDirectory(false);
            }
        }
        seams.setScreenCursor(UiSeams::crDefault);
        if (QFile::exists(kTmp))
            QFile::remove(kTmp);
        done(ResultAbort);
        return;
    }

    if (root.isNull()) {
        // The directory could not be loaded: nothing can be checked or added.
        seams.setScreenCursor(UiSeams::crDefault);
        seams.messageBox(QStringLiteral("Can't connect to internet."), QStringLiteral("Connection failed"),
                         UiSeams::Icon::Warning);
        done(ResultAbort);
        return;
    }

    if (!findEntry(root, url).isNull()) {
        SquadUrl = url;
        done(QDialog::Accepted);
        seams.setScreenCursor(UiSeams::crDefault);
        return;
    }

    XmlNode entry = root.appendChild(m_main.DatabaseDoc.createElement(QStringLiteral("squad")));
    XmlNode nick = m_main.DatabaseDoc.createAttribute(QStringLiteral("nick"));
    entry.attributes().setNamedItem(nick);
    const XmlNode pageRoot = m_main.DetailDoc.lastChild();
    const XmlNodeList pageChildren = pageRoot.childNodes();
    const int count = pageChildren.length();
    for (int i = 0; i < count; ++i) {
        const XmlNode child = pageChildren.item(i);
        if (child.nodeName() == QLatin1String("name")) {
            nick.setText(child.text());
            break;
        }
    }
    XmlNode web = m_main.DatabaseDoc.createAttribute(QStringLiteral("web"));
    entry.attributes().setNamedItem(web);
    web.setText(url);
    SquadUrl = url;

    m_main.publishDirectory(true);
    if (QFile::exists(kTmp))
        QFile::remove(kTmp);
    seams.setScreenCursor(UiSeams::crDefault);
    done(QDialog::Accepted);
}
