#include "Translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>

namespace
{

QPointer<QTranslator> g_program;
QPointer<QTranslator> g_qt;
QString g_language;

void remove(QPointer<QTranslator>& translator)
{
    if (!translator)
        return;
    QCoreApplication::removeTranslator(translator);
    delete translator;
}

} // namespace

QString Translations::install(const QLocale& locale)
{
    remove(g_program);
    remove(g_qt);
    g_language.clear();
    auto* app = QCoreApplication::instance();
    if (!app)
        return g_language;

    auto* program = new QTranslator(app);
    // An English locale finds no catalogue and keeps the texts as written.
    if (!program->load(locale, QStringLiteral("corvanet"), QStringLiteral("_"),
                       QStringLiteral(":/i18n"))) {
        delete program;
        return g_language;
    }
    QCoreApplication::installTranslator(program);
    g_program = program;
    g_language = program->language().section(QLatin1Char('_'), 0, 0);

    auto* qt = new QTranslator(app);
    if (qt->load(QLocale(g_language), QStringLiteral("qtbase"), QStringLiteral("_"),
                 QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(qt);
        g_qt = qt;
    } else {
        delete qt;
    }
    return g_language;
}

QString Translations::language()
{
    return g_language;
}
