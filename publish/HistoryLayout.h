#pragma once

// HistoryLayout: the names of the directory's history on the FTP account, and
// which of its entries are kept. For the directory D (say "/corvanet.xml"):
//
//   D.history/                the history, beside the directory
//   D.history/<seq>-<time>-<hash>-<size>.xml
//                             one version of the directory that was live,
//                             byte for byte: <seq> its place in the order
//                             (eight digits or more, one more than the newest
//                             entry when it was kept), <time> the UTC time of
//                             the publisher that kept it (yyyyMMddTHHmmssZ),
//                             <hash> the first 16 hexadecimal digits of the
//                             SHA-256 of its content, <size> its bytes
//
// The order is the sequence number, never the time: publishers' clocks differ,
// and a clock that is behind must not put a newer version before an older
// one. Entries are written under the directory's lock only, so the numbers
// never repeat. Names sort as the order as long as the numbers keep their
// eight digits, which lists the folder readably for whoever looks at it.
//
// Retention: the newest keepLast entries and every entry of the last
// keepAllDays days stay; of those older than that and not older than
// dailyDays, the newest of each UTC day stays; never more than maxFiles
// (the oldest go first, whatever the rules above would keep).

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

class HistoryLayout
{
public:
    struct Entry {
        QString name; // as NLST gives it, without the folder
        qint64 sequence = 0;
        QDateTime time; // UTC
        QString hash;   // 16 lower-case hexadecimal digits
        qint64 size = 0;

        QString id() const { return QString::number(sequence); }
        bool holds(const QString& contentHash, qint64 contentSize) const
        {
            return hash == contentHash && size == contentSize;
        }
    };

    struct Retention {
        int keepLast = 50;
        int keepAllDays = 30;
        int dailyDays = 90;
        int maxFiles = 200;
    };

    explicit HistoryLayout(const QString& remoteDirectory);

    QString folder() const { return m_directory + QStringLiteral(".history"); }
    QString path(const QString& name) const { return folder() + QLatin1Char('/') + name; }

    static QString entryName(qint64 sequence, const QDateTime& time, const QString& hash,
                             qint64 size);
    // False for a name that is not an entry's.
    static bool parseEntry(const QString& name, Entry& entry);
    // The entry a content would be kept as, after the newest of entries.
    static Entry nextEntry(const QList<Entry>& entries, const QDateTime& time,
                           const QByteArray& content);
    static QString hashOf(const QByteArray& content);
    // The entries among names, oldest first; other names are left out.
    static QList<Entry> entriesOf(const QStringList& names);
    // Of entries (oldest first, as entriesOf gives them), the ones the
    // retention rules drop as of now.
    static QList<Entry> toDrop(const QList<Entry>& entries, const QDateTime& now,
                               const Retention& retention);

private:
    QString m_directory;
};
