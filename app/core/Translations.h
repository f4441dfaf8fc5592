#pragma once

// The program's languages. Its texts are written in English; Czech and
// German catalogues are built into the program as resources (":/i18n"), so
// that it finds them wherever it runs. Qt's own texts (the buttons of a
// message box, the edit menu of a text field) come from the catalogues Qt
// installs, and are used only together with one of the program's, so that a
// window is never half in one language and half in another.

#include <QLocale>
#include <QString>

namespace Translations
{

// Installs the translators for the first of the locale's user-interface
// languages the program has a catalogue for, replacing those installed by an
// earlier call. Returns that language ("cs", "de"), or empty text when the
// program stays in English. Needs a QCoreApplication.
QString install(const QLocale& locale = QLocale::system());

// The language the last install() chose; empty for English.
QString language();

} // namespace Translations
