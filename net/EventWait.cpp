#include "EventWait.h"

#include <QCoreApplication>
#include <QEventLoop>

bool spinUntil(const std::function<bool()>& done)
{
    while (!done()) {
        if (!QCoreApplication::instance())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void pumpPending()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}
