// The history's names and its retention, without a server: what a name
// says and what it refuses, the order of versions whatever the publishers'
// clocks, and which entries the retention keeps at each of its boundaries.

#include <QtTest>

#include "HistoryLayout.h"
#include "LockLayout.h"

namespace
{

const QDateTime kNow(QDate(2026, 12, 9), QTime(12, 0, 0), Qt::UTC);
constexpr qint64 kDay = 86400;

HistoryLayout::Entry entryAt(qint64 sequence, qint64 secondsAgo)
{
    HistoryLayout::Entry entry;
    entry.sequence = sequence;
    entry.time = kNow.addSecs(-secondsAgo);
    entry.hash = QStringLiteral("0123456789abcdef");
    entry.size = 10;
    entry.name = HistoryLayout::entryName(entry.sequence, entry.time, entry.hash, entry.size);
    return entry;
}

QList<qint64> sequences(const QList<HistoryLayout::Entry>& entries)
{
    QList<qint64> numbers;
    for (const HistoryLayout::Entry& entry : entries)
        numbers << entry.sequence;
    return numbers;
}

} // namespace

class TestHistoryLayout : public QObject
{
    Q_OBJECT

private slots:
    void namesSayOrderTimeHashAndSize()
    {
        const QByteArray content = "<squads/>";
        // A time that a daylight-saving change skips in central Europe is
        // still a time in UTC.
        const QDateTime skipped(QDate(2026, 3, 29), QTime(2, 30, 0), Qt::UTC);
        const HistoryLayout::Entry made = HistoryLayout::nextEntry({}, skipped, content);
        QCOMPARE(made.name, QStringLiteral("00000001-20260329T023000Z-%1-9.xml")
                                .arg(HistoryLayout::hashOf(content)));
        HistoryLayout::Entry parsed;
        QVERIFY(HistoryLayout::parseEntry(made.name, parsed));
        QCOMPARE(parsed.sequence, 1);
        QCOMPARE(parsed.time, skipped);
        QCOMPARE(parsed.hash, made.hash);
        QCOMPARE(parsed.size, 9);
        QVERIFY(parsed.holds(HistoryLayout::hashOf(content), content.size()));
        QVERIFY(!parsed.holds(HistoryLayout::hashOf("<squads></squads>"), content.size()));
        QCOMPARE(HistoryLayout::hashOf(content).size(), 16);

        for (const char* bad :
             {"00000001-20260329T023000Z-0123456789abcdef-9.txt",
              "0000001-20260329T023000Z-0123456789abcdef-9.xml",    // seven digits
              "00000001-20260329T023000-0123456789abcdef-9.xml",    // no Z
              "00000001-20261329T023000Z-0123456789abcdef-9.xml",   // month 13
              "00000001-20260329T023000Z-0123456789ABCDEF-9.xml",   // upper case
              "00000001-20260329T023000Z-0123456789abcde-9.xml",    // short hash
              "00000001-20260329T023000Z-0123456789abcdef--9.xml",  // sign
              "00000001-20260329T023000Z-0123456789abcdef-9-1.xml", // extra part
              "new.120.xml", "hist.00000001-20260329T023000Z-0123456789abcdef-9.xml"}) {
            QVERIFY2(!HistoryLayout::parseEntry(QString::fromLatin1(bad), parsed), bad);
        }
    }

    // The sequence number orders the versions: a publisher whose clock is
    // behind still comes after the one before it, and numbers go on past
    // the eight digits of the name.
    void theOrderIsTheSequenceNotTheClock()
    {
        const HistoryLayout::Entry first = entryAt(99999999, 0);
        const HistoryLayout::Entry late =
            HistoryLayout::nextEntry({first}, kNow.addSecs(-3600), "<a/>");
        QCOMPARE(late.sequence, 100000000);
        const QList<HistoryLayout::Entry> ordered = HistoryLayout::entriesOf(
            {late.name, QStringLiteral("README"), first.name, QStringLiteral("x.xml")});
        QCOMPARE(sequences(ordered), (QList<qint64>{99999999, 100000000}));
        QCOMPARE(HistoryLayout::nextEntry(ordered, kNow, "<b/>").sequence, 100000001);
        QCOMPARE(HistoryLayout::nextEntry({}, kNow, "<b/>").sequence, 1);
    }

    // A version on its way into the history waits in the holder's folder;
    // a holder that takes over a dead one's lock must never mistake it for
    // a copy to bring the directory back from: it may never have been live.
    void aPendingVersionIsNoRestoreCandidate()
    {
        const LockLayout lock(QStringLiteral("/corvanet.xml"));
        const QString name = HistoryLayout::nextEntry({}, kNow, "<squads/>").name;
        const QString pending = lock.pending(QStringLiteral("0123456789abcdef"), name);
        QCOMPARE(pending, "/corvanet.xml.lock/0123456789abcdef/hist." + name);
        bool isNew = false;
        qint64 size = 0;
        QVERIFY(!LockLayout::parseCandidate(pending.section('/', -1), isNew, size));
        QVERIFY(LockLayout::parseCandidate(QStringLiteral("new.9.xml"), isNew, size));
    }

    void retention_data()
    {
        QTest::addColumn<QList<qint64>>("agesInSeconds"); // oldest first
        QTest::addColumn<QList<qint64>>("dropped");       // sequence numbers
        QTest::addColumn<int>("keepLast");
        const qint64 d30 = 30 * kDay;
        const qint64 d90 = 90 * kDay;
        // Old enough to be thinned, but among the newest keepLast: kept.
        QTest::newRow("the newest are kept whatever their age")
            << QList<qint64>{400 * kDay, 300 * kDay, 200 * kDay} << QList<qint64>{} << 50;
        // At thirty days a version is still kept for itself; one second
        // older, only as the newest of its day.
        QTest::newRow("thirty days to the second")
            << QList<qint64>{d30 + 2, d30 + 1, d30, 0} << QList<qint64>{1} << 1;
        // UTC days: 23:00 of one day, then 10:00, 11:00 and 12:00 of the next.
        QTest::newRow("one a day, the newest of it")
            << QList<qint64>{40 * kDay + 13 * 3600, 40 * kDay + 2 * 3600, 40 * kDay + 3600,
                             40 * kDay, 0}
            << QList<qint64>{2, 3} << 1;
        QTest::newRow("ninety days to the second")
            << QList<qint64>{d90 + 1, d90, 0} << QList<qint64>{1} << 1;
        QTest::newRow("nothing to drop") << QList<qint64>{d30, 100, 0} << QList<qint64>{} << 1;
    }

    void retention()
    {
        QFETCH(QList<qint64>, agesInSeconds);
        QFETCH(QList<qint64>, dropped);
        QFETCH(int, keepLast);
        QList<HistoryLayout::Entry> entries;
        for (qsizetype i = 0; i < agesInSeconds.size(); ++i)
            entries << entryAt(i + 1, agesInSeconds[i]);
        HistoryLayout::Retention retention;
        retention.keepLast = keepLast;
        QCOMPARE(sequences(HistoryLayout::toDrop(entries, kNow, retention)), dropped);
    }

    // Never more than maxFiles, even of versions the other rules keep: the
    // oldest go first, and at exactly maxFiles nothing goes.
    void neverMoreThanTheBound()
    {
        QList<HistoryLayout::Entry> entries;
        for (int i = 1; i <= 230; ++i)
            entries << entryAt(i, (230 - i) * 60);
        const HistoryLayout::Retention retention;
        QCOMPARE(HistoryLayout::toDrop(entries.mid(30), kNow, retention).size(), 0);
        const QList<qint64> dropped = sequences(HistoryLayout::toDrop(entries, kNow, retention));
        QCOMPARE(dropped.size(), 30);
        QCOMPARE(dropped.constFirst(), 1);
        QCOMPARE(dropped.constLast(), 30);

        // Clocks ahead of ours: versions "from the future" count as new.
        QList<HistoryLayout::Entry> ahead{entryAt(1, -10 * kDay), entryAt(2, 100 * kDay),
                                          entryAt(3, 0)};
        HistoryLayout::Retention one;
        one.keepLast = 1;
        QCOMPARE(sequences(HistoryLayout::toDrop(ahead, kNow, one)), QList<qint64>{2});
    }
};

QTEST_GUILESS_MAIN(TestHistoryLayout)
#include "TestHistoryLayout.moc"
