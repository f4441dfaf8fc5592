#include "ListShownMarker.h"

#include "MainFrm.h"
#include "PageArea.h"

#include <QEvent>
#include <QFile>
#include <QListView>
#include <QTimer>

#include <chrono>

void ListShownMarker::installFromEnvironment(TfrmMain& window)
{
    const QString file = qEnvironmentVariable("CORVANET_LIST_SHOWN_MARKER");
    if (!file.isEmpty())
        new ListShownMarker(window, file);
}

ListShownMarker::ListShownMarker(TfrmMain& window, const QString& file)
    : QObject(&window), m_window(window), m_file(file)
{
    window.lbSquads->viewport()->installEventFilter(this);
}

bool ListShownMarker::eventFilter(QObject*, QEvent* event)
{
    if (event->type() == QEvent::Paint && !m_done && m_window.lbSquadsModel->rowCount() > 0 &&
        m_window.pgLeft->isPageVisible(m_window.tbshtDatabase)) {
        m_done = true;
        // After this paint has reached the window's surface.
        QTimer::singleShot(0, this, [this] { write(); });
    }
    return false;
}

void ListShownMarker::write()
{
    m_window.lbSquads->viewport()->removeEventFilter(this);
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    QFile file(m_file);
    if (!file.open(QIODevice::Append | QIODevice::Text))
        return;
    file.write(QStringLiteral("shown_ns=%1 rows=%2 copy=%3\n")
                   .arg(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count())
                   .arg(m_window.lbSquadsModel->rowCount())
                   .arg(m_window.showingOfflineCopy() ? 1 : 0)
                   .toUtf8());
}
