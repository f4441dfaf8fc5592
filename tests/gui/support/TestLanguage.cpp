#include "TestLanguage.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QXmlStreamReader>

#include "Translations.h"

namespace
{

// As main() does, before any test makes a window.
void installTranslators()
{
    Translations::install();
}
Q_COREAPP_STARTUP_FUNCTION(installTranslators)

QHash<QString, QString> reverseCatalogue(const QString& language)
{
    QHash<QString, QString> sources;
    QFile file(QStringLiteral(CORVANET_SOURCE_DIR "/translations/corvanet_%1.ts").arg(language));
    if (!file.open(QIODevice::ReadOnly))
        return sources;
    QXmlStreamReader xml(&file);
    QString source;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("source"))
            source = xml.readElementText();
        else if (xml.name() == QLatin1String("translation"))
            sources.insert(xml.readElementText(), source);
    }
    return sources;
}

} // namespace

QString TestLanguage::language()
{
    return Translations::language();
}

QString TestLanguage::sourceText(const QString& shown)
{
    if (language().isEmpty())
        return shown;
    static const QHash<QString, QString> sources = reverseCatalogue(language());
    const QString crLf = QStringLiteral("\r\n");
    QStringList lines = shown.split(crLf);
    for (QString& line : lines)
        line = sources.value(line, line);
    return lines.join(crLf);
}
