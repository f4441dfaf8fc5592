// TfrmMain's widgets: the window, its menus, tool buttons, pages and status
// bar, the network clients' settings, and the wiring of every widget's
// events to the handlers (which run through ErrorReport::guarded()).

#include "MainFrm.h"

#include "AccessibleValue.h"
#include "ErrorReport.h"
#include "FtpClient.h"
#include "HttpClient.h"
#include "JpegImage.h"
#include "LogoDecoder.h"
#include "PageArea.h"
#include "WaitControls.h"
#include "WorkingFiles.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QScreen>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

using ErrorReport::guarded;

namespace
{

// The network clients wait without a limit of their own; a server that
// accepts and never answers must not hold the window busy for ever. A logo
// fetch as a whole is bounded as well (CallDeadline); publishing is bounded
// by each reply and by the progress of its transfers (DirectoryPublisher).
constexpr int kClientTimeOut = 30000;

// A length of the window's original design (in pixels of an 8-point font
// 13 pixels high) in pixels of the font the widget shows, so that the layout
// grows with the desktop's font and scaling.
int fontScaled(const QWidget* widget, int designPixels)
{
    return designPixels * widget->fontMetrics().height() / 13;
}

QLabel* makeCaption(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

QLabel* makeTextBox(const QString& name, QWidget* parent, bool link)
{
    auto* box = new QLabel(parent);
    box->setObjectName(name);
    box->setTextFormat(Qt::PlainText); // squad pages are untrusted: never rich text
    box->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    // One line of text inside the frame, with a little air above and below.
    box->setFixedHeight(box->fontMetrics().height() + 2 * box->frameWidth() + 4);
    box->setMinimumWidth(box->fontMetrics().averageCharWidth() * 8);
    box->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    // The texts can be selected and copied, by mouse and keyboard alike.
    box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    if (link) {
        // The link colour of the desktop's palette, so that it reads on a
        // dark theme as well and follows a change of theme.
        box->setForegroundRole(QPalette::Link);
        box->setMouseTracking(true);
    }
    return box;
}

} // namespace

void TfrmMain::createComponents()
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(tr("Qor Corvanet v1.0"));
    // The desktop's own font; every size below follows from it.
    resize(fontScaled(this, 603), fontScaled(this, 528));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }

    miSystem = menuBar()->addMenu(tr("&System"));
    miAdd = miSystem->addAction(tr("&Add Squad ..."));
    miRemoved = miSystem->addAction(tr("&Removed squads ..."));
    // Restoring publishes, as Add Squad does: both are on and off together.
    connect(miAdd, &QAction::changed, miRemoved,
            [this] { miRemoved->setEnabled(miAdd->isEnabled()); });
    miAbout = menuBar()->addAction(tr("&About"));

    ToolBar1 = addToolBar(tr("Toolbar"));
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setMovable(false);
    auto makeButton = [this](const QString& name, const QString& caption) {
        auto* button = new QToolButton(ToolBar1);
        button->setObjectName(name);
        button->setText(caption);
        button->setToolButtonStyle(Qt::ToolButtonTextOnly);
        button->setAutoRaise(true);
        // As wide as the design's 97 pixels in the font shown at the least;
        // wider where a caption needs it. The height is the style's.
        button->setMinimumWidth(fontScaled(button, 97));
        ToolBar1->addWidget(button);
        return button;
    };
    tbtnDatabase = makeButton(QStringLiteral("tbtnDatabase"), tr("Squad &Database"));
    tbtnDetails = makeButton(QStringLiteral("tbtnDetails"), tr("Squad De&tails"));
    tbtnDetails->setShortcut(QKeySequence(QStringLiteral("Ctrl+D")));
    auto* separator = new QWidget(ToolBar1);
    separator->setFixedWidth(fontScaled(separator, 8));
    ToolBar1->addWidget(separator);
    tbtnRefresh = makeButton(QStringLiteral("tbtnRefresh"), tr("&Refresh Squad List"));
    tbtnRefresh->setShortcut(QKeySequence(QStringLiteral("F5")));

    Splitter1 = new QSplitter(Qt::Horizontal, this);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter1->setHandleWidth(3);
    Splitter1->setChildrenCollapsible(false);

    pnlLeft = new QWidget(Splitter1);
    auto* leftLayout = new QVBoxLayout(pnlLeft);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    pgLeft = new PageArea(pnlLeft);
    leftLayout->addWidget(pgLeft);

    tbshtDatabase = new QWidget;
    tbshtDatabase->setObjectName(QStringLiteral("tbshtDatabase"));
    auto* databaseLayout = new QVBoxLayout(tbshtDatabase);
    databaseLayout->setContentsMargins(0, 0, 0, 0);
    edtFind = new QLineEdit(tbshtDatabase);
    edtFind->setObjectName(QStringLiteral("edtFind"));
    edtFind->setPlaceholderText(tr("Find squad"));
    edtFind->setAccessibleName(tr("Find squad"));
    edtFind->setClearButtonEnabled(true);
    databaseLayout->addWidget(edtFind);
    lbSquads = new QListView(tbshtDatabase);
    lbSquads->setObjectName(QStringLiteral("lbSquads"));
    lbSquads->setSelectionMode(QAbstractItemView::SingleSelection);
    lbSquads->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lbSquads->setUniformItemSizes(true);
    lbSquadsModel = new SquadListModel(lbSquads);
    lbSquads->setModel(lbSquadsModel);
    lbSquads->setAccessibleName(tr("Squads"));
    databaseLayout->addWidget(lbSquads);
    pgLeft->addPage(tbshtDatabase);

    tbshtDetails = new QWidget;
    tbshtDetails->setObjectName(QStringLiteral("tbshtDetails"));
    auto* detailsLayout = new QVBoxLayout(tbshtDetails);
    detailsLayout->setContentsMargins(0, 0, 0, 0);
    twSquad = new QTreeView(tbshtDetails);
    twSquad->setObjectName(QStringLiteral("twSquad"));
    twSquad->setHeaderHidden(true);
    twSquad->setUniformRowHeights(true);
    twSquad->setSelectionMode(QAbstractItemView::SingleSelection);
    twSquad->setAccessibleName(tr("Squad and members"));
    twSquadModel = new SquadTreeModel(this);
    twSquadModel->setTextProvider([this](SquadTreeModel::Node* node, int column) {
        QString text;
        try {
            twSquadGetText(twSquad, node, column, 0, text);
        } catch (...) {
            // Painting must go on; a node whose text cannot be read shows none.
            text.clear();
        }
        return text;
    });
    twSquad->setModel(twSquadModel);
    detailsLayout->addWidget(twSquad);
    pgLeft->addPage(tbshtDetails);

    pnlRight = new QWidget(Splitter1);
    auto* rightLayout = new QVBoxLayout(pnlRight);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    pgInfo = new PageArea(pnlRight);
    rightLayout->addWidget(pgInfo);
    tbshtSquad = createSquadPage();
    tbshtMember = createMemberPage();
    pgInfo->addPage(tbshtSquad);
    pgInfo->addPage(tbshtMember);

    Splitter1->addWidget(pnlLeft);
    Splitter1->addWidget(pnlRight);
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);
    Splitter1->setSizes(
        {fontScaled(this, 269), width() - fontScaled(this, 269) - Splitter1->handleWidth()});
    setCentralWidget(Splitter1);

    sbStatus = statusBar();
    sbStatus->setObjectName(QStringLiteral("sbStatus"));
    sbStatus->setSizeGripEnabled(true);
    m_statusLabel = new QLabel(sbStatus);
    m_statusLabel->setTextFormat(Qt::PlainText);
    // Its text, the status, is what a screen reader hears.
    AccessibleValue::describe(m_statusLabel, tr("Status"));
    sbStatus->addWidget(m_statusLabel, 1);
    m_wait = new WaitControls(*sbStatus);
    connect(m_wait, &WaitControls::cancelRequested, this,
            [this] { guarded([this] { cancelWait(); }); });
    m_offlinePanel = new QLabel(sbStatus);
    m_offlinePanel->setObjectName(QStringLiteral("pnlOffline"));
    m_offlinePanel->setTextFormat(Qt::PlainText);
    sbStatus->addPermanentWidget(m_offlinePanel);
    m_offlinePanel->hide();

    tmrWaitDatabase = new QTimer(this);
    tmrWaitDatabase->setInterval(500);
    tmrWaitDetail = new QTimer(this);
    tmrWaitDetail->setInterval(500);
    tmrTestConnection = new QTimer(this);
    tmrTestConnection->setInterval(1000);
    createRetry();

    HttpClient = new THttpClient(this);
    HttpClient->setObjectName(QStringLiteral("HttpClient"));
    HttpClient->Body = "temp.jpg";
    HttpClient->Header = "Head.txt";
    HttpClient->InputFileMode = true;
    HttpClient->OutputFileMode = true;
    HttpClient->Port = 0;
    HttpClient->ReportLevel = 0;
    HttpClient->ProxyPort = 0;
    HttpClient->TimeOut = kClientTimeOut;
    maxLogoBytes = JpegImage::maxFileSize;
    maxLogoWork = JpegImage::maxWork;
    m_logoDecoder = new LogoDecoder(this);
    HttpClient->OnPacketRecvd = [this](QObject*) {
        // Announced or received, a body larger than any logo ends the fetch.
        if (HttpClient->contentLength() > maxLogoBytes || HttpClient->ReceivedCount > maxLogoBytes)
            HttpClient->Abort();
        else
            m_wait->setProgress(HttpClient->ReceivedCount, HttpClient->contentLength());
    };

    FtpClient = new TFtpClient(this);
    FtpClient->setObjectName(QStringLiteral("FtpClient"));
    FtpClient->Port = 21;
    FtpClient->Passive = false;
    FtpClient->Vendor = 2411;
    FtpClient->ParseList = false;
    FtpClient->FirewallType = FTUser;
    FtpClient->FWAuthenticate = false;
    FtpClient->ReportLevel = 0;
    FtpClient->ProxyPort = 0;
    FtpClient->TimeOut = kClientTimeOut;
    FtpClient->OnPacketSent = [this](QObject* sender) {
        // Only the upload of the new directory moves data this way.
        if (auto* data = qobject_cast<TSocketConn*>(sender); data && m_uploadStarted)
            m_wait->setProgress(qint64(quint32(data->SentCount)), QFileInfo(kTmp).size());
    };
    publishOptions.localCopy = kTmp;
}

namespace
{

// One detail page: a column of bold captions, each above its text box.
class DetailPageBuilder
{
public:
    explicit DetailPageBuilder(const QString& name)
        : m_page(new QWidget), m_layout(new QVBoxLayout(m_page))
    {
        m_page->setObjectName(name);
        m_page->setMouseTracking(true); // the bare page surface ends a link highlight
        const int margin = fontScaled(m_page, 8);
        m_layout->setContentsMargins(margin, margin, margin, margin);
        m_layout->setSpacing(fontScaled(m_page, 2));
    }

    QLabel* field(const QString& caption, const QString& name, bool link = false)
    {
        QLabel* label = makeCaption(caption, m_page);
        m_layout->addWidget(label);
        QLabel* box = makeTextBox(name, m_page, link);
        // A screen reader hears the value, and its caption with it.
        AccessibleValue::relate(label, box);
        m_layout->addWidget(box);
        m_layout->addSpacing(fontScaled(m_page, 4));
        return box;
    }

    QWidget* page() const { return m_page; }
    QVBoxLayout* layout() const { return m_layout; }

private:
    QWidget* m_page;
    QVBoxLayout* m_layout;
};

} // namespace

QWidget* TfrmMain::createSquadPage()
{
    DetailPageBuilder builder(QStringLiteral("tbshtSquad"));
    stSNick = builder.field(tr("Squad nick (shown with member name):"), QStringLiteral("stSNick"));
    stSName = builder.field(tr("Squad name (squad page title):"), QStringLiteral("stSName"));
    stSEmail = builder.field(tr("E-mail address:"), QStringLiteral("stSEmail"), true);
    stSWeb = builder.field(tr("WWW pages:"), QStringLiteral("stSWeb"), true);
    stSTitle = builder.field(tr("Squad Title (on vehicles):"), QStringLiteral("stSTitle"));
    QWidget* page = builder.page();
    auto* logoCaption = makeCaption(tr("Squad logo"), page);
    logoCaption->setAlignment(Qt::AlignHCenter);
    builder.layout()->addWidget(logoCaption);
    imgLogo = new QLabel(page);
    imgLogo->setObjectName(QStringLiteral("imgLogo"));
    imgLogo->setAlignment(Qt::AlignCenter);
    imgLogo->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    imgLogo->setAccessibleName(tr("Squad logo"));
    builder.layout()->addWidget(imgLogo, 1);
    return page;
}

QWidget* TfrmMain::createMemberPage()
{
    DetailPageBuilder builder(QStringLiteral("tbshtMember"));
    stMNick = builder.field(tr("Player nick:"), QStringLiteral("stMNick"));
    stMID = builder.field(tr("Player ID:"), QStringLiteral("stMID"));
    stMName = builder.field(tr("Name:"), QStringLiteral("stMName"));
    stMICQ = builder.field(tr("ICQ number:"), QStringLiteral("stMICQ"));
    stMEmail = builder.field(tr("E-mail address:"), QStringLiteral("stMEmail"), true);
    stMDescription = builder.field(tr("Description:"), QStringLiteral("stMDescription"));
    builder.layout()->addStretch(1);
    return builder.page();
}

void TfrmMain::connectHandlers()
{
    connect(tbtnDatabase, &QToolButton::clicked, this,
            [this] { guarded([this] { tbtnDatabaseClick(); }); });
    connect(tbtnDetails, &QToolButton::clicked, this,
            [this] { guarded([this] { tbtnDetailsClick(); }); });
    connect(tbtnRefresh, &QToolButton::clicked, this,
            [this] { guarded([this] { tbtnRefreshClick(); }); });
    connect(lbSquads->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (!m_quietSelection)
            guarded([this] { lbSquadsClick(); });
    });
    // A click on the entry that is already selected (as after Refresh, which
    // selects the squad again without a click) changes no selection but is
    // still a click.
    connect(lbSquads, &QListView::clicked, this, [this] { guarded([this] { lbSquadsClick(); }); });
    connect(lbSquads, &QListView::doubleClicked, this,
            [this] { guarded([this] { tbtnDetailsClick(); }); });
    connect(lbSquads, &QListView::activated, this, [this] {
        // Enter on the list acts as a double-click; a mouse double-click
        // reports both signals, so only keyboard activation is taken here.
        if (QApplication::mouseButtons() == Qt::NoButton)
            guarded([this] { tbtnDetailsClick(); });
    });
    connect(edtFind, &QLineEdit::textChanged, this,
            [this] { guarded([this] { edtFindChange(); }); });
    connect(edtFind, &QLineEdit::returnPressed, this,
            [this] { guarded([this] { edtFindEnter(); }); });
    edtFind->installEventFilter(this);
    auto* findShortcut = new QShortcut(QKeySequence::Find, this);
    connect(findShortcut, &QShortcut::activated, this, [this] {
        if (pgLeft->isPageVisible(tbshtDatabase)) {
            edtFind->setFocus(Qt::ShortcutFocusReason);
            edtFind->selectAll();
        }
    });
    connect(miAdd, &QAction::triggered, this, [this] { guarded([this] { miAddClick(); }); });
    connect(miAbout, &QAction::triggered, this, [this] { guarded([this] { miAboutClick(); }); });
    connect(miRemoved, &QAction::triggered, this,
            [this] { guarded([this] { miRemovedClick(); }); });
    connect(tmrWaitDatabase, &QTimer::timeout, this,
            [this] { guarded([this] { tmrWaitDatabaseTimer(); }); });
    connect(tmrWaitDetail, &QTimer::timeout, this,
            [this] { guarded([this] { tmrWaitDetailTimer(); }); });
    connect(tmrTestConnection, &QTimer::timeout, this,
            [this] { guarded([this] { tmrTestConnectionTimer(); }); });
    connect(m_logoDecoder, &LogoDecoder::decoded, this,
            [this](const QImage& image) { guarded([&] { logoDecoded(image); }); });
    connect(twSquad->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& selected, const QItemSelection& deselected) {
                // The change event fires for every node whose selection changed:
                // first the ones that lost it, then the one that gained it.
                for (const QModelIndex& index : deselected.indexes())
                    guarded([&] { twSquadChange(twSquad, twSquadModel->nodeFromIndex(index)); });
                for (const QModelIndex& index : selected.indexes())
                    guarded([&] { twSquadChange(twSquad, twSquadModel->nodeFromIndex(index)); });
            });

    for (QLabel* link : {stSEmail, stSWeb, stMEmail})
        link->installEventFilter(this);
    tbshtSquad->installEventFilter(this);
    tbshtMember->installEventFilter(this);
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == edtFind && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && !edtFind->text().isEmpty()) {
        edtFind->clear(); // the whole list returns
        return true;
    }
    if (event->type() == QEvent::MouseMove) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        const QPoint pos = mouse->position().toPoint();
        if (watched == stSEmail || watched == stSWeb || watched == stMEmail) {
            guarded([&] { stSEmailMouseMove(static_cast<QLabel*>(watched), pos.x(), pos.y()); });
        } else if (watched == tbshtSquad || watched == tbshtMember) {
            // Mouse moves over captions and text boxes reach the page too;
            // only the bare surface of the page counts.
            auto* page = static_cast<QWidget*>(watched);
            if (!page->childAt(pos))
                guarded([&] { tbshtSquadMouseMove(page, pos.x(), pos.y()); });
        }
    } else if (event->type() == QEvent::MouseButtonRelease &&
               static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        auto* label = qobject_cast<QLabel*>(watched);
        // Releasing the button after selecting part of the text to copy it
        // is no click on the link.
        if (label && !label->hasSelectedText() &&
            label->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint())) {
            if (watched == stSEmail || watched == stMEmail)
                guarded([&] { stSEmailClick(label); });
            else if (watched == stSWeb)
                guarded([&] { stSWebClick(label); });
        }
    } else if (event->type() == QEvent::KeyPress) {
        // Enter on a link that has the keyboard focus opens it, as a click does.
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            if (watched == stSEmail || watched == stMEmail) {
                guarded([&] { stSEmailClick(static_cast<QLabel*>(watched)); });
                return true;
            }
            if (watched == stSWeb) {
                guarded([&] { stSWebClick(stSWeb); });
                return true;
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TfrmMain::keyPressEvent(QKeyEvent* event)
{
    // Esc that no control took for itself (the find field clears itself
    // with it) cancels the network wait that runs.
    if (event->key() == Qt::Key_Escape && m_wait->active()) {
        event->accept();
        guarded([this] { cancelWait(); });
        return;
    }
    QMainWindow::keyPressEvent(event);
}
