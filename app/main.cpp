// Qor Corvanet: the squad directory browser.

#include <QApplication>

#include "AppSettings.h"
#include "DesktopSeams.h"
#include "MainFrm.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Qor Corvanet"));
    DesktopSeams seams;
    TfrmMain frmMain(AppSettings::compiledIn(), seams);
    frmMain.show();
    return app.exec();
}
