#include "FtpReply.h"

#include "WireText.h"

#include <QList>

#include <algorithm>
#include <limits>

namespace FtpReply
{

namespace
{

// The number in a field of a reply, read the way the server's numbers have
// always been read here: leading blanks allowed, an optional sign, decimal
// digits, nothing after them. Throws EConvertError otherwise.
int fieldToInt(const QByteArray& field)
{
    qsizetype i = 0;
    while (i < field.size() && (field[i] == ' ' || field[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == '-' || field[i] == '+')) {
        negative = field[i] == '-';
        ++i;
    }
    const qsizetype firstDigit = i;
    qint64 value = 0;
    for (; i < field.size(); ++i) {
        const char c = field[i];
        if (c < '0' || c > '9')
            break;
        value = value * 10 + (c - '0');
        if (value > qint64(std::numeric_limits<int>::max()) + 1)
            break;
    }
    if (i == firstDigit || i != field.size() ||
        value > qint64(std::numeric_limits<int>::max()) + (negative ? 1 : 0))
        throw EConvertError::notAnInteger(QString::fromLatin1(field));
    return int(negative ? -value : value);
}

} // namespace

qint16 replyCodeOf(const QByteArray& line)
{
    qint64 value = 0;
    int digits = 0;
    for (qsizetype i = 0; i < line.size() && i < 10; ++i) {
        const char c = line[i];
        if (c < '0' || c > '9')
            break;
        value = value * 10 + (c - '0');
        ++digits;
    }
    if (digits == 0)
        return 0;
    if (value > std::numeric_limits<qint16>::max())
        throw ERangeError(QStringLiteral("Range check error"));
    return qint16(value);
}

bool replyEnds(const QByteArray& firstLine, const QByteArray& line)
{
    if (line.isEmpty())
        return true;
    const bool multiLine = firstLine.size() >= 4 && firstLine[3] == '-' &&
                           replyCodeOf(firstLine) > 0 &&
                           std::all_of(firstLine.begin(), firstLine.begin() + 3,
                                       [](char c) { return c >= '0' && c <= '9'; });
    if (!multiLine)
        return true;
    if (line.size() < 3 || !line.startsWith(firstLine.left(3)))
        return false;
    return line.size() == 3 || line[3] == ' ' || line[3] == '\r' || line[3] == '\n';
}

quint16 extendedPassivePort(const QByteArray& replyLine)
{
    const qsizetype open = replyLine.indexOf('(');
    const qsizetype close = replyLine.indexOf(')', open + 1);
    const QByteArray inside =
        open < 0 || close < 0 ? QByteArray() : replyLine.mid(open + 1, close - open - 1);
    const QList<QByteArray> fields =
        inside.isEmpty() ? QList<QByteArray>() : inside.split(inside[0]);
    bool ok = false;
    const int port = fields.size() == 5 ? fields[3].toInt(&ok) : 0;
    if (!ok || port < 1 || port > 65535)
        throw FTPException(QStringLiteral("Unusable port in extended passive mode reply: ") +
                           lineText(replyLine));
    return quint16(port);
}

quint16 passivePort(const QByteArray& replyLine)
{
    const QList<QByteArray> fields = replyLine.split(',');
    QByteArray lowText;
    if (fields.size() >= 6) {
        const qsizetype paren = fields[5].indexOf(')');
        if (paren >= 0)
            lowText = fields[5].left(paren);
    }
    const int low = fieldToInt(lowText);
    const int high = fieldToInt(fields.size() >= 5 ? fields[4] : QByteArray());
    // Both numbers are bytes of the port; anything else would wrap around to
    // a port the server never offered.
    if (low < 0 || low > 255 || high < 0 || high > 255 || (high == 0 && low == 0))
        throw FTPException(QStringLiteral("Unusable port in passive mode reply: ") +
                           lineText(replyLine));
    return quint16(high * 256 + low);
}

// A line without a code FTP knows is never a reply: read as one with code 0
// it would let a login pass.
bool isFtpReplyCode(qint16 code)
{
    return code >= 100 && code <= 599;
}

// Whether a 550 to SIZE refuses the command rather than saying that the file
// is not there: not in the current mode ("550 SIZE not allowed in ASCII
// mode"), or not for us ("550 Permission denied.", vsftpd's word for a
// command it was told to deny). The file's own name is left out of the look,
// since it may hold any word.
bool sizeRefused(const QByteArray& reply, const QString& remoteFile)
{
    QString text = lineText(reply).mid(4);
    text.remove(remoteFile);
    text = text.toLower();
    for (const char* word : {"ascii", " mode", "denied", "not allowed", "permission"}) {
        if (text.contains(QLatin1String(word)))
            return true;
    }
    return text.startsWith(QLatin1String("mode"));
}

QString lineText(const QByteArray& line)
{
    QByteArray text = line;
    while (text.endsWith('\n') || text.endsWith('\r'))
        text.chop(1);
    return QString::fromLatin1(text);
}

// Refuses a value that is about to become part of a command line. A CR or LF
// in it would end our command early and start another one of the value's
// choosing; a NUL would cut the command short.
void requireSingleLine(const QString& value, const char* what)
{
    if (WireText::holdsLineBreakOrNul(value.toUtf8()))
        throw Exception(
            QStringLiteral("%1 contains a line break or NUL character").arg(QLatin1String(what)));
}

} // namespace FtpReply
