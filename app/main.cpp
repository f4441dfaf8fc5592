// Qor Corvanet: the squad directory browser.

#include <QApplication>

#include "AppSettings.h"
#include "DesktopSeams.h"
#include "MainFrm.h"
#include "Translations.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Qor Corvanet"));
    // The language of the environment (LANG, LC_ALL, LANGUAGE), before any
    // window makes its texts.
    Translations::install();
    DesktopSeams seams;
    TfrmMain frmMain(AppSettings::compiledIn(), seams);
    frmMain.show();
    return app.exec();
}
