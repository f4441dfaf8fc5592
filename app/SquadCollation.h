#pragma once

// SquadCollation: the order of the squad list. Nicks are sorted
// alphabetically by the rules of a language, without regard to case, and
// the sort is stable: equal nicks keep their order in the directory.
//
// It compares exactly as a case-insensitive QCollator of the same locale
// does, but makes the collation keys of a whole directory in one buffer and
// sorts small records that carry each key's first bytes: a directory of
// 100,000 squads then costs no allocation per squad, and most comparisons
// never leave the record.

#include <QLocale>
#include <QString>

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
    // nick of index i.
    template <typename NickOf> std::vector<int> order(int count, NickOf nick) const
    {
        Keys keys;
        keys.reserve(count);
        for (int i = 0; i < count; ++i)
            addKey(keys, nick(i));
        return sorted(keys);
    }

private:
    struct Keys {
        QByteArray bytes;             // every key, each ended by a NUL
        std::vector<qsizetype> start; // of each key in bytes
        void reserve(int count);
    };
    void addKey(Keys& keys, const QString& nick) const;
    static std::vector<int> sorted(const Keys& keys);

    UCollator* m_collator = nullptr;
};
