#include "LockLayout.h"

#include <QRandomGenerator>

LockLayout::LockLayout(const QString& remoteDirectory) : m_directory(remoteDirectory) {}

QString LockLayout::marker(const QString& token, qint64 beat) const
{
    return folder() + QLatin1Char('/') + token + QLatin1Char('.') + QString::number(beat);
}

QString LockLayout::ownFolder(const QString& token) const
{
    return folder() + QLatin1Char('/') + token;
}

QString LockLayout::upload(const QString& token, qint64 size) const
{
    return ownFolder(token) + QStringLiteral("/new.") + QString::number(size) + QStringLiteral(".xml");
}

QString LockLayout::aside(const QString& token, qint64 size) const
{
    return ownFolder(token) + QStringLiteral("/old.") + QString::number(size) + QStringLiteral(".xml");
}

QString LockLayout::pending(const QString& token, const QString& entryName) const
{
    return ownFolder(token) + QStringLiteral("/hist.") + entryName;
}

QString LockLayout::stale(const QString& token) const
{
    return folder() + QStringLiteral(".stale-") + token;
}

namespace {

// Decimal digits only, at most 15 of them; false for anything else.
bool parseCount(QStringView digits, qint64& value)
{
    if (digits.isEmpty() || digits.size() > 15)
        return false;
    value = 0;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + (c.unicode() - '0');
    }
    return true;
}

} // namespace

bool LockLayout::parseMarker(const QString& name, QString& token, qint64& beat)
{
    // Parsed by hand: the heartbeat's thread and the GUI thread both read
    // markers, and a hand-written check shares nothing between them.
    if (name.size() < 18 || name.at(16) != QLatin1Char('.'))
        return false;
    for (qsizetype i = 0; i < 16; ++i) {
        const QChar c = name.at(i);
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    if (!parseCount(QStringView(name).mid(17), beat))
        return false;
    token = name.left(16);
    return true;
}

bool LockLayout::parseCandidate(const QString& name, bool& isNew, qint64& size)
{
    if (!name.endsWith(QLatin1String(".xml")))
        return false;
    if (name.startsWith(QLatin1String("new.")))
        isNew = true;
    else if (name.startsWith(QLatin1String("old.")))
        isNew = false;
    else
        return false;
    return parseCount(QStringView(name).mid(4, name.size() - 8), size);
}

QString LockLayout::newToken()
{
    return QString::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, QLatin1Char('0'));
}
