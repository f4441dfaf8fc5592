// The squad list's order: the same as a case-insensitive QCollator of the
// language gives, stable for equal nicks, in languages whose rules differ.

#include <QCollator>
#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <numeric>

#include "SquadCollation.h"

class TestSquadCollation : public QObject
{
    Q_OBJECT

private slots:
    void sortsAsTheCollatorOfTheLanguage_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<int>("randomNicks");
        // Czech sorts "ch" after "h", Swedish "ä" after "z", German with "a".
        for (const char* name : {"en_US", "cs_CZ", "sv_SE", "de_DE", "ja_JP", "C"})
            QTest::newRow(name) << QString::fromLatin1(name) << 400;
        // Long lists are sorted in two halves on two threads and merged;
        // equal nicks in both halves must still keep their order.
        QTest::newRow("cs_CZ, long") << QStringLiteral("cs_CZ") << 6000;
        QTest::newRow("en_US, long, odd") << QStringLiteral("en_US") << 4999;
    }

    void sortsAsTheCollatorOfTheLanguage()
    {
        QFETCH(QString, locale);
        QFETCH(int, randomNicks);
        QStringList nicks = {"alpha",
                             "Alpha",
                             "ALPHA",
                             "Ärger",
                             "ärger",
                             "zebra",
                             "Zebra",
                             "chata",
                             "hrad",
                             "cihla",
                             "Škvor Rangers",
                             "Žabí tlapa",
                             "42nd Lancers",
                             "4th",
                             "",
                             " ",
                             "a b",
                             "a-b",
                             "ab",
                             "Ångström",
                             "Łowcy",
                             "Étoile filante",
                             "etoile",
                             "ｆｕｌｌ",
                             "日本",
                             "Ωmega",
                             "omega",
                             "Nightjars",
                             "nightjars",
                             "a\u0308rger",
                             "😀 squad",
                             QString(70, QLatin1Char('b')),
                             QString(64, QLatin1Char('B'))};
        // And random nicks of letters, case and accents mixed, long enough
        // that keys differ beyond their first eight bytes.
        QRandomGenerator random(7);
        const QString letters = QStringLiteral("aAbBcCčČhHzZäÄöÖsSšŠ -1");
        for (int i = 0; i < randomNicks; ++i) {
            QString nick;
            for (int n = int(random.bounded(1, 24)); n > 0; --n)
                nick += letters[int(random.bounded(letters.size()))];
            nicks << nick;
        }

        QLocale language(locale);
        if (language.language() == QLocale::C)
            language = QLocale(QLocale::English, QLocale::UnitedStates);
        QCollator collator(language);
        collator.setCaseSensitivity(Qt::CaseInsensitive);
        std::vector<int> expected(size_t(nicks.size()));
        std::iota(expected.begin(), expected.end(), 0);
        std::stable_sort(expected.begin(), expected.end(),
                         [&](int a, int b) { return collator.compare(nicks[a], nicks[b]) < 0; });

        const std::vector<int> order = SquadCollation(language).order(
            int(nicks.size()), [&](int i) -> const QString& { return nicks[i]; });
        QStringList got, want;
        for (size_t i = 0; i < order.size(); ++i) {
            got << QStringLiteral("%1:%2").arg(order[i]).arg(nicks[order[i]]);
            want << QStringLiteral("%1:%2").arg(expected[i]).arg(nicks[expected[i]]);
        }
        QCOMPARE(got, want);

        // Given as UTF-8 (ASCII nicks take a path of their own), the same.
        std::vector<QByteArray> utf8;
        for (const QString& nick : nicks)
            utf8.push_back(nick.toUtf8());
        const std::vector<int> fromUtf8 = SquadCollation(language).orderUtf8(
            int(utf8.size()), [&](int i) { return QByteArrayView(utf8[size_t(i)]); });
        QVERIFY(fromUtf8 == order);
    }
};

QTEST_MAIN(TestSquadCollation)
#include "TestSquadCollation.moc"
