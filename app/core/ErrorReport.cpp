#include "ErrorReport.h"

#include "UiSeams.h"

#include <QCoreApplication>
#include <QString>
#include <cstdio>

namespace {
UiSeams* g_seams = nullptr;
}

void ErrorReport::setSeams(UiSeams* seams)
{
    g_seams = seams;
}

void ErrorReport::report(const QString& text)
{
    if (!g_seams) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        return;
    }
    g_seams->messageBox(text, QCoreApplication::applicationName(), UiSeams::Icon::Error);
}

void ErrorReport::reportCurrentException()
{
    // Reporting must not throw in turn: it runs inside catch blocks of slots.
    try {
        try {
            throw;
        } catch (const OperationCancelled&) {
            // The user asked for it; there is nothing to tell.
        } catch (const std::exception& e) {
            report(QString::fromUtf8(e.what()));
        } catch (...) {
            report(QCoreApplication::translate("ErrorReport", "Unknown error"));
        }
    } catch (...) {
    }
}
