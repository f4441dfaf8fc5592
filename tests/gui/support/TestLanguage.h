#pragma once

// The window tests run in the language of their environment, as the program
// does: under LANG=cs_CZ.UTF-8 the window is Czech. What the tests compare
// stays English: the recorder of message boxes turns each shown line back
// into the text the program wrote, by the catalogue in use.

#include <QString>

namespace TestLanguage
{

// The language the tests run in ("cs", "de"), empty for English.
QString language();
// The English text of a shown (translated) text, line by line; a line that
// is no translation (a server's or the network layer's) stays as it is.
QString sourceText(const QString& shown);

} // namespace TestLanguage
