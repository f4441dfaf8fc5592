#include "MainFrm.h"

#include "AboutFrm.h"
#include "AccessibleValue.h"
#include "AddSquadFrm.h"
#include "CallDeadline.h"
#include "DirectoryPublisher.h"
#include "DirectoryRetry.h"
#include "ErrorReport.h"
#include "FtpClient.h"
#include "HttpClient.h"
#include "JpegImage.h"
#include "LogoDecoder.h"
#include "PageArea.h"
#include "RemovedSquadsFrm.h"
#include "SquadCollation.h"
#include "StatusTexts.h"
#include "UiSeams.h"
#include "WaitControls.h"
#include "XmlLoader.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>
#include <vector>

using ErrorReport::guarded;

QString TfrmMain::CurrentSquadUrl;

namespace
{

const QString kCrLf = QStringLiteral("\r\n");
const QString kTmp = QStringLiteral("a.tmp");

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
