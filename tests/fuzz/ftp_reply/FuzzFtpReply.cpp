// Fuzz target: what an FTP server says on the control connection, read reply
// by reply through TFtpClient::Transaction over a real socket (ReplyFeed), as
// a login or an upload reads it; every reply's first line, and the whole
// input, also go to the PASV port parser.
//
// Checked beyond "no crash, no sanitizer report":
// - the client stays in step: each reply's first line is the one the framing
//   rule (continuation lines while a line begins with a space or has '-' as
//   its fourth character) puts there; the end of the stream gives an empty
//   reply;
// - Transaction's reply code agrees with TFtpClient::replyCodeOf, refusals
//   (codes beyond 16 bits) included;
// - the PASV parser gives a port other than 0 from a line with six fields
//   and the closing parenthesis, or throws its documented errors.

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "FtpClient.h"
#include "FuzzSupport.h"
#include "ReplyFeed.h"

namespace {

constexpr qsizetype kMaxLine = 65536; // ReadLn refuses longer lines, LF included
constexpr int kMaxReplies = 256;      // per input; more than any input holds

// The replies an input holds, by the framing rule alone.
class ReplyModel {
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
        QByteArray last = *first;
        while (!last.isEmpty() && (last[0] == ' ' || (last.size() >= 4 && last[3] == '-'))) {
            const std::optional<QByteArray> more = line();
            if (!more)
                return {Kind::LineTooLong, *first};
            last = *more;
        }
        return {Kind::Reply, *first};
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
        const quint16 port = TFtpClient::passivePort(line);
        FUZZ_CHECK(port != 0);
        const QList<QByteArray> fields = line.split(',');
        FUZZ_CHECK(fields.size() >= 6 && fields[5].contains(')'));
    } catch (const EConvertError&) {
    } catch (const FTPException&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    checkPassivePort(input);

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
                    TFtpClient::replyCodeOf(expected.firstLine);
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
            FUZZ_CHECK(client.ReplyCode == TFtpClient::replyCodeOf(first));
            checkPassivePort(first);
        }
    }
    flushDeferredDeletes();
    return 0;
}
