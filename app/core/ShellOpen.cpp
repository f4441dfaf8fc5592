#include "ShellOpen.h"

#include <QDesktopServices>
#include <QRegularExpression>
#include <QString>

namespace {

bool hasControlCharacter(const QString& text)
{
    for (QChar c : text)
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            return true;
    return false;
}

// One or more dot-separated labels of letters, digits and inner hyphens, an
// optional port, and an optional path that starts with "/".
const QRegularExpression& bareHostPattern()
{
    static const QRegularExpression pattern(QStringLiteral(
        "^[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?(?:\\.[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?)*"
        "(?::[0-9]{1,5})?(?:/\\S*)?$"));
    return pattern;
}

} // namespace

std::optional<QUrl> shellTarget(const QString& text)
{
    if (text.isEmpty() || hasControlCharacter(text) || text.startsWith(QLatin1Char('-')))
        return std::nullopt;

    if (text.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive)) {
        const QString address = text.mid(7);
        if (address.isEmpty() || address.contains(QLatin1Char('?')) || address.contains(QLatin1Char(' ')))
            return std::nullopt;
        QUrl url(text, QUrl::StrictMode);
        if (!url.isValid())
            return std::nullopt;
        return url;
    }

    const int colon = text.indexOf(QLatin1Char(':'));
    const int slash = text.indexOf(QLatin1Char('/'));
    const bool hasScheme = colon > 0 && (slash < 0 || colon < slash) && !bareHostPattern().match(text).hasMatch();
    if (hasScheme) {
        QUrl url(text, QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (!url.isValid() || url.host().isEmpty()
            || (scheme != QLatin1String("http") && scheme != QLatin1String("https")
                && scheme != QLatin1String("ftp")))
            return std::nullopt;
        return url;
    }

    if (!bareHostPattern().match(text).hasMatch())
        return std::nullopt;
    QUrl url(QStringLiteral("http://") + text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

void shellOpen(const QString& text)
{
    if (const auto url = shellTarget(text))
        QDesktopServices::openUrl(*url);
}
