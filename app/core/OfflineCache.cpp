#include "OfflineCache.h"

#include <QCoreApplication>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace
{

// A record larger than this is no record of ours.
constexpr qint64 kMaxRecordSize = 64 * 1024;

} // namespace

QString OfflineCache::defaultFolder()
{
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    // The XDG base directory convention: a relative path is to be ignored.
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.cache");
    return base + QStringLiteral("/corvanet");
}

OfflineCache::OfflineCache(const QString& folder) : m_folder(folder) {}

QString OfflineCache::baseName(const QString& url, const QString& kind) const
{
    const QByteArray key = kind.toUtf8() + '\n' + url.toUtf8();
    return m_folder + QLatin1Char('/') +
           QString::fromLatin1(
               QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(40));
}

QString OfflineCache::bodyFile(const QString& url, const QString& kind) const
{
    if (!QFileInfo::exists(m_folder) && QDir().mkpath(m_folder))
        QFile::setPermissions(m_folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ExeOwner);
    return baseName(url, kind) + QLatin1Char('.') + kind;
}

OfflineCache::Copy OfflineCache::find(const QString& url, const QString& kind) const
{
    const QString base = baseName(url, kind);
    const QString body = base + QLatin1Char('.') + kind;
    QFile meta(base + QStringLiteral(".meta"));
    if (!meta.exists() && !QFile::exists(body))
        return {};
    QJsonObject record;
    if (meta.size() <= kMaxRecordSize && meta.open(QIODevice::ReadOnly))
        record = QJsonDocument::fromJson(meta.readAll()).object();
    Copy copy;
    copy.savedAt =
        QDateTime::fromString(record.value(QLatin1String("savedAt")).toString(), Qt::ISODateWithMs);
    const bool matches =
        record.value(QLatin1String("url")).toString() == url &&
        record.value(QLatin1String("size")).toInteger(-1) == QFileInfo(body).size() &&
        copy.savedAt.isValid();
    if (!matches) {
        forget(url, kind);
        return {};
    }
    copy.file = body;
    copy.etag = record.value(QLatin1String("etag")).toString().toLatin1();
    copy.lastModified = record.value(QLatin1String("lastModified")).toString().toLatin1();
    return copy;
}

bool OfflineCache::record(const QString& url, const QString& kind, const QByteArray& etag,
                          const QByteArray& lastModified)
{
    const QString base = baseName(url, kind);
    const QFileInfo body(base + QLatin1Char('.') + kind);
    if (!body.exists())
        return false;
    QJsonObject record;
    record.insert(QLatin1String("url"), url);
    record.insert(QLatin1String("etag"), QString::fromLatin1(etag));
    record.insert(QLatin1String("lastModified"), QString::fromLatin1(lastModified));
    record.insert(QLatin1String("savedAt"),
                  QDateTime::currentDateTime().toString(Qt::ISODateWithMs));
    record.insert(QLatin1String("size"), body.size());
    QSaveFile file(base + QStringLiteral(".meta"));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(QJsonDocument(record).toJson(QJsonDocument::Compact));
    return file.commit();
}

void OfflineCache::forget(const QString& url, const QString& kind) const
{
    const QString base = baseName(url, kind);
    QFile::remove(base + QStringLiteral(".meta"));
    QFile::remove(base + QLatin1Char('.') + kind);
}

QString OfflineCache::offlineText(const QDateTime& savedAt)
{
    return QCoreApplication::translate("OfflineCache", "Offline copy of %1")
        .arg(savedAt.toString(QStringLiteral("yyyy-MM-dd HH:mm")));
}
