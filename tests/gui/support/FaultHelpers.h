#pragma once

// Helpers of the window tests: files, pictures, pages, driving the window and
// waiting for it to come back, a full disk, and a guard that turns a hang
// into a failure.

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

#include "AddSquadFrm.h"
#include "FileSizeLimit.h"
#include "FtpClient.h"
#include "HttpClient.h"
#include "MainFrm.h"
#include "RecordingSeams.h"
#include "ScriptedPeer.h"
#include "TestSupport.h"

namespace FaultHelpers
{

// Points XDG_CACHE_HOME at a new, empty folder: windows made from now on keep
// their offline copies there. Tests call it from init(), so that no test
// function sees another one's copies.
void freshCache();

// A temporary folder that is the working directory for as long as it lives.
class WorkingDir : public QTemporaryDir
{
public:
    WorkingDir() { QDir::setCurrent(path()); }
    ~WorkingDir() { QDir::setCurrent(m_saved); }

private:
    const QString m_saved = QDir::currentPath();
};

using ::readFile;
using ::writeFile;

// One of the JPEG files under tests/app/data.
inline QByteArray fixture(const QString& name)
{
    return readFile(sourcePath("tests/app/data/" + name));
}

// A baseline JPEG. Noise keeps it from compressing to almost nothing.
inline QByteArray jpeg(int width, int height, bool noise = false)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(qRgb(200, 40, 40));
    if (noise) {
        QRandomGenerator random(7);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                image.setPixel(x, y, random.generate() | 0xFF000000u);
    }
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 90);
    return data;
}

inline QByteArray squadPage(const QByteArray& nick, const QStringList& pictures = {})
{
    QByteArray xml =
        "<?xml version=\"1.0\"?>\n<squad nick=\"" + nick + "\"><name>" + nick + " squad</name>";
    for (const QString& picture : pictures)
        xml += "<picture>" + picture.toUtf8().replace("&", "&amp;") + "</picture>";
    return xml + "</squad>\n";
}

// A directory listing (nick, page address) pairs.
inline QByteArray directory(const QList<QPair<QString, QString>>& entries,
                            const QByteArray& prologue = {})
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + prologue + "<squads>\n";
    for (const auto& [nick, url] : entries)
        xml += "  <squad nick=\"" + nick.toUtf8() + "\" web=\"" + url.toUtf8() + "\"/>\n";
    return xml + "</squads>\n";
}

// The rows the list shows (after the find filter).
inline int listCount(const QListView* list)
{
    return list->model()->rowCount();
}

inline QStringList listTexts(const QListView* list)
{
    QStringList texts;
    for (int i = 0; i < listCount(list); ++i)
        texts << list->model()->index(i, 0).data().toString();
    return texts;
}

inline QStringList selectedTexts(const QListView* list)
{
    QStringList texts;
    for (const QModelIndex& index : list->selectionModel()->selectedIndexes())
        texts << index.data().toString();
    return texts;
}

// Makes a row current and selected, as a click does.
inline void selectRow(QListView* list, int row)
{
    list->setCurrentIndex(list->model()->index(row, 0));
}

inline QSize logoSize(const TfrmMain& window)
{
    const QPixmap pixmap = window.imgLogo->pixmap();
    return pixmap.isNull() ? QSize() : pixmap.size();
}

// The window is idle: no load polled, "Ready".
inline bool idle(const TfrmMain& window)
{
    return !window.tmrWaitDatabase->isActive() && !window.tmrWaitDetail->isActive() &&
           window.status() == QLatin1String("Ready");
}

// Waits until the window is idle, with this many squads listed unless -1.
// It polls its documents every 20 ms instead of 500: the same window, quicker.
inline void waitIdle(TfrmMain& window, int listed = -1)
{
    for (QTimer* timer : {window.tmrWaitDatabase, window.tmrWaitDetail})
        timer->setInterval(20);
    QTRY_VERIFY_WITH_TIMEOUT(idle(window) && (listed < 0 || listCount(window.lbSquads) == listed),
                             15000);
}

// Selects the list entry with this page address, as a click does.
inline bool selectUrl(TfrmMain& window, const QString& url)
{
    for (int i = 0; i < listCount(window.lbSquads); ++i) {
        if (window.lbSquads->model()->index(i, 0).data(TfrmMain::SquadUrlRole).toString() == url) {
            selectRow(window.lbSquads, i);
            return window.SelectedSquadUrl == url;
        }
    }
    return false;
}

// Selects the squad, presses Squad Details and waits until all it started
// (the logo step, a removal and its publish and reload) is over.
inline void openSquad(TfrmMain& window, const QString& url)
{
    QVERIFY(selectUrl(window, url));
    window.tbtnDetailsClick();
    QCOMPARE(window.status(), QStringLiteral("Loading squad details ..."));
    waitIdle(window);
}

// Opens the Add Squad dialog, lets act() work it and returns once it closed.
inline void runAddSquad(TfrmMain& window, const std::function<void(TfrmAddSquad&)>& act)
{
    bool ran = false;
    QTimer::singleShot(0, &window, [&] {
        auto* dialog = qobject_cast<TfrmAddSquad*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        ran = true;
        act(*dialog);
    });
    window.miAddClick();
    QVERIFY(ran);
}

// Add Squad with this address, confirmed by OK or by Enter.
inline void addSquad(TfrmMain& window, const QString& url, bool enter = false)
{
    runAddSquad(window, [&](TfrmAddSquad& dialog) {
        dialog.edtUrl->setText(url);
        if (enter)
            QTest::keyClick(dialog.edtUrl, Qt::Key_Return);
        else
            dialog.btnOK->click();
    });
}

// What every fault must leave behind: "Ready", the default cursor, Details,
// Database and Refresh accepted again.
inline void expectSound(TfrmMain& window, const RecordingSeams& seams)
{
    QVERIFY(idle(window));
    QCOMPARE(seams.cursor, UiSeams::crDefault);
    QVERIFY(!window.HttpClient->Connected);
    QVERIFY(!window.FtpClient->Connected);
}

// Sends bytes again and again, pausing between sends, until the client hangs
// up (a send on a closed connection ends the script). The request is not read.
inline void sendForever(ScriptedPeer& peer, const QByteArray& bytes, int pauseMs)
{
    peer.send(bytes).pause(pauseMs).run(
        [&peer, bytes, pauseMs] { sendForever(peer, bytes, pauseMs); });
}

// A network call that never returns would hang the test inside the window's
// timer tick, where no QTRY can see it. After limitMs the guard aborts both
// clients again and again, so that the tick returns and the test fails on
// fired() instead of hanging.
class HangGuard
{
public:
    HangGuard(TfrmMain& window, int limitMs)
    {
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this, &window] {
            m_fired = true;
            m_timer.setInterval(10);
            for (TSocketConn* client :
                 std::initializer_list<TSocketConn*>{window.HttpClient, window.FtpClient}) {
                client->TimedOut = true;
                client->WaitDone = true;
                client->Abort();
            }
        });
        m_timer.start(limitMs);
    }
    bool fired() const { return m_fired; }

private:
    QTimer m_timer;
    bool m_fired = false;
};

} // namespace FaultHelpers
