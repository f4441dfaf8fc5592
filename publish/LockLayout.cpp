#include "LockLayout.h"

#include <QRandomGenerator>
#include <QRegularExpression>

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

QString LockLayout::stale(const QString& token) const
{
    return folder() + QStringLiteral(".stale-") + token;
}

bool LockLayout::parseMarker(const QString& name, QString& token, qint64& beat)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9a-f]{16})\\.([0-9]{1,15})$"));
    const QRegularExpressionMatch match = pattern.match(name);
    if (!match.hasMatch())
        return false;
    token = match.captured(1);
    beat = match.captured(2).toLongLong();
    return true;
}

bool LockLayout::parseCandidate(const QString& name, bool& isNew, qint64& size)
{
    static const QRegularExpression pattern(QStringLiteral("^(new|old)\\.([0-9]{1,15})\\.xml$"));
    const QRegularExpressionMatch match = pattern.match(name);
    if (!match.hasMatch())
        return false;
    isNew = match.captured(1) == QLatin1String("new");
    size = match.captured(2).toLongLong();
    return true;
}

QString LockLayout::newToken()
{
    return QString::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, QLatin1Char('0'));
}
