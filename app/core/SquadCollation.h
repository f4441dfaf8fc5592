#pragma once

// SquadCollation: the order of the squad list. Nicks are sorted
// alphabetically by the rules of a language, without regard to case, and
// the sort is stable: equal nicks keep their order in the directory.
//
// It compares exactly as a case-insensitive QCollator of the same locale
// does, but makes the collation keys of a whole directory in one buffer (a
// long list: one for each of two threads) and sorts small records that
// carry each key's first bytes: a directory of 100,000 squads then costs no
// allocation per squad, and most comparisons never leave the record.

#include <QLocale>
#include <QString>

#include <functional>
#include <vector>

struct UCollator;

class SquadCollation
{
public:
    // The program's collation: the user's language, or English where the
    // program runs in the C locale.
    SquadCollation();
    explicit SquadCollation(const QLocale& locale);
    ~SquadCollation();
    SquadCollation(const SquadCollation&) = delete;
    SquadCollation& operator=(const SquadCollation&) = delete;

    // The indexes 0..count-1 of the nicks, in list order. nick(i) gives the
    // nick of index i; a long list asks for them from two threads at once.
    std::vector<int> order(int count, const std::function<QString(int)>& nick) const;
    // The same for nicks given as UTF-8, which need no QString each.
    std::vector<int> orderUtf8(int count, const std::function<QByteArrayView(int)>& nick) const;

private:
    // The keys of a run of nicks, each ended by a NUL, one after another.
    struct Keys {
        QByteArray bytes;
        std::vector<qsizetype> start; // of each key in bytes
    };
    // A nick's place in the sort: the first 8 bytes of its key, big-endian,
    // so that comparing two numbers settles most comparisons.
    struct Record {
        quint64 head;
        const char* key;
        int index;
    };
    // Adds the key of nick i to keys, made with the collator given.
    using AddKey = std::function<void(UCollator* collator, Keys& keys, int i)>;
    std::vector<int> order(int count, const AddKey& addKeyOf) const;
    static void addKey(UCollator* collator, Keys& keys, QStringView nick);
    // The records of nicks from..to-1, sorted; they point into keys.
    static std::vector<Record> sortedRun(UCollator* collator, Keys& keys, int from, int to,
                                         const AddKey& addKeyOf);
    static bool before(const Record& a, const Record& b);

    UCollator* m_collator = nullptr;
};
