#pragma once

// Helpers of the window fault tests: files, pictures, pages, waiting for the
// window to come back, and a guard that turns a hang into a failure.

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QListWidget>
#include <QRandomGenerator>
#include <QTimer>
#include <QtTest>

#include <functional>

#include "FtpClient.h"
#include "HttpClient.h"
#include "MainFrm.h"
#include "RecordingSeams.h"

namespace FaultHelpers
{

inline bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

inline QByteArray squadPage(const QByteArray& nick, const QString& picture = QString(),
                            int members = 0)
{
    QByteArray xml =
        "<?xml version=\"1.0\"?>\n<squad nick=\"" + nick + "\"><name>" + nick + " squad</name>";
    if (!picture.isEmpty())
        xml += "<picture>" + picture.toUtf8().replace("&", "&amp;") + "</picture>";
    for (int i = 0; i < members; ++i)
        xml += "\n<member nick=\"m" + QByteArray::number(i) + "\" id=\"" + QByteArray::number(i) +
               "\"><name>Member " + QByteArray::number(i) + "</name></member>";
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

inline QStringList listTexts(const QListWidget* list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

// Polls the documents every 20 ms instead of 500: the same window, quicker.
inline void speedUp(TfrmMain& window)
{
    for (QTimer* timer : {window.tmrWaitDatabase, window.tmrWaitDetail})
        timer->setInterval(20);
}

// The window is idle: no load polled, "Ready".
inline bool idle(const TfrmMain& window)
{
    return !window.tmrWaitDatabase->isActive() && !window.tmrWaitDetail->isActive() &&
           window.status() == QLatin1String("Ready");
}

// Selects the list entry with this page address, as a click does.
inline bool selectUrl(TfrmMain& window, const QString& url)
{
    for (int i = 0; i < window.lbSquads->count(); ++i) {
        if (window.lbSquads->item(i)->data(TfrmMain::SquadUrlRole).toString() == url) {
            window.lbSquads->setCurrentRow(i);
            return window.SelectedSquadUrl == url;
        }
    }
    return false;
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
