#include "SquadCollation.h"

#include <unicode/ucol.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <memory>
#include <system_error>
#include <thread>

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

namespace
{

// Below this many nicks a second thread costs more than it saves.
constexpr int kTwoThreadsFrom = 2048;

struct CollatorCloseDeleter {
    void operator()(UCollator* collator) const { ucol_close(collator); }
};

} // namespace

std::vector<int> SquadCollation::order(int count, const std::function<QString(int)>& nick) const
{
    return order(count, [&nick](UCollator* collator, Keys& keys, int i) {
        addKey(collator, keys, nick(i));
    });
}

std::vector<int> SquadCollation::orderUtf8(int count,
                                           const std::function<QByteArrayView(int)>& nick) const
{
    return order(count, [&nick](UCollator* collator, Keys& keys, int i) {
        // Most nicks are ASCII: widened in a buffer on the stack, they cost
        // no allocation. Each thread has its own buffer.
        const QByteArrayView utf8 = nick(i);
        char16_t wide[64];
        if (utf8.size() <= qsizetype(std::size(wide)) &&
            std::all_of(utf8.cbegin(), utf8.cend(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
            std::copy(utf8.cbegin(), utf8.cend(), wide);
            addKey(collator, keys, QStringView(wide, utf8.size()));
        } else {
            addKey(collator, keys, QString::fromUtf8(utf8));
        }
    });
}

std::vector<int> SquadCollation::order(int count, const AddKey& addKeyOf) const
{
    // A long list is cut in two halves whose keys are made and sorted on two
    // threads, each with its own collator (an ICU collator must not be used
    // by two threads at once), and then merged. The order is the same as
    // one sort would give: records compare by key and then by index, so no
    // two records are equal.
    Keys firstKeys;
    Keys secondKeys;
    std::vector<Record> first;
    std::vector<Record> second;
    int split = count;
    std::unique_ptr<UCollator, CollatorCloseDeleter> clone;
    std::future<std::vector<Record>> other;
    if (count >= kTwoThreadsFrom && std::thread::hardware_concurrency() > 1) {
        UErrorCode status = U_ZERO_ERROR;
        clone.reset(ucol_clone(m_collator, &status));
        if (U_FAILURE(status))
            clone.reset();
        if (clone) {
            split = count / 2;
            try {
                other = std::async(std::launch::async, [&] {
                    return sortedRun(clone.get(), secondKeys, split, count, addKeyOf);
                });
            } catch (const std::system_error&) {
                split = count; // no thread to be had: all on this one
            }
        }
    }
    first = sortedRun(m_collator, firstKeys, 0, split, addKeyOf);
    if (other.valid())
        second = other.get();
    std::vector<int> result(static_cast<size_t>(count));
    auto out = result.begin();
    auto a = first.cbegin();
    auto b = second.cbegin();
    while (a != first.cend() && b != second.cend())
        *out++ = before(*b, *a) ? (b++)->index : (a++)->index;
    for (; a != first.cend(); ++a)
        *out++ = a->index;
    for (; b != second.cend(); ++b)
        *out++ = b->index;
    return result;
}

void SquadCollation::addKey(UCollator* collator, Keys& keys, QStringView nick)
{
    const qsizetype at = keys.bytes.size();
    keys.start.push_back(at);
    qsizetype room = std::max<qsizetype>(nick.size() * 4 + 16, 32);
    for (;;) {
        keys.bytes.resize(at + room);
        const int32_t length = ucol_getSortKey(
            collator, reinterpret_cast<const UChar*>(nick.utf16()), int32_t(nick.size()),
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

std::vector<SquadCollation::Record>
SquadCollation::sortedRun(UCollator* collator, Keys& keys, int from, int to, const AddKey& addKeyOf)
{
    const size_t count = size_t(std::max(to - from, 0));
    // About 16 bytes a key for the short nicks of a directory.
    keys.bytes.reserve(qsizetype(count) * 16);
    keys.start.reserve(count);
    for (int i = from; i < to; ++i)
        addKeyOf(collator, keys, i);
    // The keys are complete, so pointers into them stay valid.
    const char* bytes = keys.bytes.constData();
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
        records[i] = {head, key, from + int(i)};
    }
    std::sort(records.begin(), records.end(), before);
    return records;
}

bool SquadCollation::before(const Record& a, const Record& b)
{
    // Equal heads compare the whole keys, and equal keys their indexes,
    // which makes the sort stable.
    if (a.head != b.head)
        return a.head < b.head;
    const int order = std::strcmp(a.key, b.key);
    return order != 0 ? order < 0 : a.index < b.index;
}
