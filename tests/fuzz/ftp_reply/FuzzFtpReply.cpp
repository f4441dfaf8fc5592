// Fuzz target: what an FTP server says on the control connection. The reply
// rules (FtpReply) get every line of the input directly; then the input is
// read reply by reply through TFtpClient::Transaction over a real socket
// (ReplyFeed), as a login or an upload reads it; every reply's first line,
// and the whole input, also go to the PASV port parser.
//
// Checked beyond "no crash, no sanitizer report":
// - FtpReply::replyCodeOf and FtpReply::replyEnds agree with the rules
//   written out here: the code is the leading digits (at most 10), refused
//   beyond 16 bits; a first line of three digits (not all zero) and '-' goes
//   on to the first line that starts with the same three digits followed by a
//   space, a line end or nothing, every other reply is one line, and an empty
//   line ends every reply;
// - the client stays in step: each reply's first line is the one those rules
//   put there; the end of the stream gives an empty reply;
// - Transaction's reply code agrees with FtpReply::replyCodeOf, refusals
//   included;
// - the PASV and EPSV parsers give a port other than 0 (PASV: from a line
//   with six fields and the closing parenthesis), or throw their documented
//   errors.

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "FtpClient.h"
#include "FtpReply.h"
#include "FuzzSupport.h"
#include "ReplyFeed.h"

namespace
{

constexpr qsizetype kMaxLine = 65536; // ReadLn refuses longer lines, LF included
constexpr int kMaxReplies = 256;      // per input; more than any input holds
constexpr int kMaxRuleLines = 512;    // lines of an input given to the rules

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The reply code by the rule, nothing when it does not fit 16 bits.
std::optional<qint16> modelCode(const QByteArray& line)
{
    qint64 value = 0;
    for (qsizetype i = 0; i < line.size() && i < 10 && isDigit(line[i]); ++i)
        value = value * 10 + (line[i] - '0');
    if (value > 32767)
        return std::nullopt;
    return qint16(value);
}

bool opensMultiLine(const QByteArray& first)
{
    return first.size() >= 4 && isDigit(first[0]) && isDigit(first[1]) && isDigit(first[2]) &&
           first[3] == '-' && !first.startsWith("000");
}

bool modelEnds(const QByteArray& first, const QByteArray& line)
{
    if (line.isEmpty() || !opensMultiLine(first))
        return true;
    if (!line.startsWith(first.left(3)))
        return false;
    return line.size() == 3 || line[3] == ' ' || line[3] == '\r' || line[3] == '\n';
}

// The replies an input holds, by the framing rule alone.
class ReplyModel
{
public:
    explicit ReplyModel(const QByteArray& input) : m_input(input) {}

    enum class Kind { Reply, Closed, LineTooLong };
    struct Next {
        Kind kind;
        QByteArray firstLine;
    };

    Next next()
    {
        const std::optional<QByteArray> first = line();
        if (!first)
            return {Kind::LineTooLong, {}};
        if (first->isEmpty())
            return {Kind::Closed, {}};
        // A code beyond 16 bits is refused before anything else is read.
        if (!modelCode(*first) || modelEnds(*first, *first))
            return {Kind::Reply, *first};
        for (;;) {
            const std::optional<QByteArray> more = line();
            if (!more)
                return {Kind::LineTooLong, *first};
            if (modelEnds(*first, *more))
                return {Kind::Reply, *first};
        }
    }

private:
    // One line with its LF; empty at the end of the stream (a last line
    // without LF is cut off by the close); nothing when it is too long.
    std::optional<QByteArray> line()
    {
        const qsizetype lf = m_input.indexOf('\n', m_pos);
        const qsizetype end = lf < 0 ? m_input.size() : lf + 1;
        if (end - m_pos > kMaxLine)
            return std::nullopt;
        if (lf < 0) {
            m_pos = m_input.size();
            return QByteArray();
        }
        const QByteArray result = m_input.mid(m_pos, end - m_pos);
        m_pos = end;
        return result;
    }

    const QByteArray& m_input;
    qsizetype m_pos = 0;
};

void checkPassivePort(const QByteArray& line)
{
    try {
        const quint16 port = FtpReply::passivePort(line);
        FUZZ_CHECK(port != 0);
        const QList<QByteArray> fields = line.split(',');
        FUZZ_CHECK(fields.size() >= 6 && fields[5].contains(')'));
    } catch (const EConvertError&) {
    } catch (const FTPException&) {
    }
}

void checkExtendedPassivePort(const QByteArray& line)
{
    try {
        FUZZ_CHECK(FtpReply::extendedPassivePort(line) != 0);
        FUZZ_CHECK(line.contains('(') && line.contains(')'));
    } catch (const FTPException&) {
    }
}

// The rules alone, on every line of the input (and each line as the first
// line of a reply against the lines after it).
void checkRules(const QByteArray& input)
{
    QList<QByteArray> lines;
    for (qsizetype pos = 0; pos < input.size() && lines.size() < kMaxRuleLines;) {
        const qsizetype lf = input.indexOf('\n', pos);
        const qsizetype end = lf < 0 ? input.size() : lf + 1;
        lines << input.mid(pos, end - pos);
        pos = end;
    }
    lines << QByteArray();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray& first = lines[i];
        const std::optional<qint16> expected = modelCode(first);
        try {
            const qint16 code = FtpReply::replyCodeOf(first);
            FUZZ_CHECK(expected && code == *expected);
        } catch (const ERangeError&) {
            FUZZ_CHECK(!expected);
        }
        checkExtendedPassivePort(first);
        FUZZ_CHECK(!FtpReply::lineText(first).endsWith(QLatin1Char('\n')));
        if (!expected)
            continue;
        // A bounded look ahead: the rule is a property of the pair.
        for (qsizetype j = i; j < lines.size() && j < i + 8; ++j)
            FUZZ_CHECK(FtpReply::replyEnds(first, lines[j]) == modelEnds(first, lines[j]));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray input =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    checkPassivePort(input);
    checkRules(input);

    ReplyFeed feed(input);
    if (!feed.ok())
        return 0;
    {
        TFtpClient client;
        client.adoptSocket(feed.takeNearEnd());
        ReplyModel model(input);

        for (int i = 0; i < kMaxReplies; ++i) {
            const ReplyModel::Next expected = model.next();
            QByteArray first;
            try {
                first = client.Transaction("NOOP");
            } catch (const ERangeError&) {
                // The first line's code does not fit: both readers refuse it.
                FUZZ_CHECK(expected.kind != ReplyModel::Kind::Closed);
                bool refused = false;
                try {
                    FtpReply::replyCodeOf(expected.firstLine);
                } catch (const ERangeError&) {
                    refused = true;
                }
                FUZZ_CHECK(refused);
                break;
            } catch (const ESockError&) {
                FUZZ_CHECK(expected.kind == ReplyModel::Kind::LineTooLong);
                break;
            }
            if (expected.kind == ReplyModel::Kind::Closed) {
                FUZZ_CHECK(first.isEmpty());
                break;
            }
            FUZZ_CHECK(expected.kind == ReplyModel::Kind::Reply);
            FUZZ_CHECK(first == expected.firstLine);
            FUZZ_CHECK(client.ReplyCode == FtpReply::replyCodeOf(first));
            checkPassivePort(first);
        }
    }
    flushDeferredDeletes();
    return 0;
}
