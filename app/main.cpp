// Qor Corvanet: the squad directory browser.

#include <QApplication>
#include <QMessageBox>

#include "AppSettings.h"
#include "DesktopSeams.h"
#include "ListShownMarker.h"
#include "MainFrm.h"
#include "Translations.h"
#include "WorkingFolder.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Qor Corvanet"));
    // The language of the environment (LANG, LC_ALL, LANGUAGE), before any
    // window makes its texts.
    Translations::install();
    // The working files never go into the folder the program was started in.
    const WorkingFolder workingFolder;
    if (!workingFolder.isValid()) {
        QMessageBox::critical(
            nullptr, QStringLiteral("Qor Corvanet"),
            QCoreApplication::translate("main", "No private working folder: %1").arg(workingFolder.errorString()));
        return 1;
    }
    DesktopSeams seams;
    TfrmMain frmMain(AppSettings::compiledIn(), seams);
    ListShownMarker::installFromEnvironment(frmMain);
    frmMain.show();
    return app.exec();
}
