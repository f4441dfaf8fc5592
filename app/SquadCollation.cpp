#include "SquadCollation.h"

#include <unicode/ucol.h>

#include <algorithm>
#include <cstring>

namespace
{

QLocale programLocale()
{
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    return locale;
}

} // namespace

SquadCollation::SquadCollation() : SquadCollation(programLocale()) {}

SquadCollation::SquadCollation(const QLocale& locale)
{
    // Set up as QCollator sets up its case-insensitive collators: the
    // locale's rules, normalisation on, secondary strength (accents count,
    // case does not), digits as characters, punctuation not ignored.
    UErrorCode status = U_ZERO_ERROR;
    const QByteArray name = locale.bcp47Name().replace('-', '_').toLatin1();
    m_collator = ucol_open(name.constData(), &status);
    if (U_FAILURE(status)) {
        status = U_ZERO_ERROR;
        m_collator = ucol_open("", &status); // the root rules
    }
    ucol_setAttribute(m_collator, UCOL_NORMALIZATION_MODE, UCOL_ON, &status);
    ucol_setAttribute(m_collator, UCOL_STRENGTH, UCOL_SECONDARY, &status);
    ucol_setAttribute(m_collator, UCOL_NUMERIC_COLLATION, UCOL_OFF, &status);
    ucol_setAttribute(m_collator, UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, &status);
}

SquadCollation::~SquadCollation()
{
    if (m_collator)
        ucol_close(m_collator);
}

void SquadCollation::Keys::reserve(int count)
{
    // About 16 bytes a key for the short nicks of a directory.
    bytes.reserve(qsizetype(count) * 16);
    start.reserve(size_t(count));
}

void SquadCollation::addKey(Keys& keys, const QString& nick) const
{
    const qsizetype at = keys.bytes.size();
    keys.start.push_back(at);
    qsizetype room = std::max<qsizetype>(nick.size() * 4 + 16, 32);
    for (;;) {
        keys.bytes.resize(at + room);
        const int32_t length = ucol_getSortKey(
            m_collator, reinterpret_cast<const UChar*>(nick.utf16()), int32_t(nick.size()),
            reinterpret_cast<uint8_t*>(keys.bytes.data() + at), int32_t(room));
        if (length <= room) {
            // The length counts the key's closing NUL.
            keys.bytes.resize(at + std::max(length, 1));
            if (length == 0)
                keys.bytes[at] = '\0';
            return;
        }
        room = length;
    }
}

std::vector<int> SquadCollation::sorted(const Keys& keys)
{
    // Each record carries the first 8 bytes of its key, big-endian, so that
    // comparing two numbers settles most comparisons; equal heads compare
    // the whole keys, and equal keys their positions, which makes the sort
    // stable.
    struct Record {
        quint64 head;
        int index;
    };
    const char* bytes = keys.bytes.constData();
    const size_t count = keys.start.size();
    std::vector<Record> records(count);
    for (size_t i = 0; i < count; ++i) {
        const char* key = bytes + keys.start[i];
        quint64 head = 0;
        bool ended = false;
        for (int b = 0; b < 8; ++b) {
            const unsigned char c = ended ? 0 : static_cast<unsigned char>(key[b]);
            ended = ended || c == 0;
            head = (head << 8) | c;
        }
        records[i] = {head, int(i)};
    }
    std::sort(records.begin(), records.end(), [&](const Record& a, const Record& b) {
        if (a.head != b.head)
            return a.head < b.head;
        const int order =
            std::strcmp(bytes + keys.start[size_t(a.index)], bytes + keys.start[size_t(b.index)]);
        return order != 0 ? order < 0 : a.index < b.index;
    });
    std::vector<int> result(count);
    for (size_t i = 0; i < count; ++i)
        result[i] = records[i].index;
    return result;
}
