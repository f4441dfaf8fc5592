#pragma once

// FtpReply: the rules by which the FTP client reads the server's replies and
// checks the lines it sends: reply codes, where a multi-line reply ends, what
// a reply says, the port of a passive mode reply. Pure functions of their
// arguments: no socket, no state, safe on any thread, so that they can be
// tested and fuzzed without a connection. Failures are exceptions, as the
// client reports them.

#include <QByteArray>
#include <QString>

#include "SockErrors.h"

// A reply line that reports a failure (or a control connection that ended
// where a reply was due). The message is the server's line without its
// terminator.
class FTPException : public Exception
{
public:
    using Exception::Exception;
};

namespace FtpReply
{

// The text of a failure where a reply was due and the connection ended.
inline const QString kClosedByServer = QStringLiteral("Control connection closed by the server");

// The reply code of a line: its leading decimal digits (at most the first 10
// characters), 0 when it starts with none. Throws ERangeError when the number
// does not fit the 16-bit signed reply code.
qint16 replyCodeOf(const QByteArray& line);

// Whether line ends the reply whose first line is firstLine. A reply whose
// first line is a code followed by '-' goes on to the first line that starts
// with the same code followed by a space (or by nothing); the lines between
// may hold any text, digits included. Any other first line is a reply of its
// own. An empty line (connection closed) ends every reply. Throws like
// replyCodeOf for firstLine.
bool replyEnds(const QByteArray& firstLine, const QByteArray& line);

// Whether a reply code is one that FTP knows (100 to 599). A line without one
// comes from a peer that does not speak FTP (a web server, a banner, noise).
bool isFtpReplyCode(qint16 code);

// The data port of an EPSV reply line: "229 ... (|||port|)", any delimiter.
// Throws FTPException when there is none or it is no port.
quint16 extendedPassivePort(const QByteArray& replyLine);

// The data port announced by a PASV reply line: sixth comma-separated field
// up to its ')' plus 256 times the fifth. Throws EConvertError when a field
// is missing or not an integer, FTPException when the numbers are not a
// usable port (a byte above 255, port 0).
quint16 passivePort(const QByteArray& replyLine);

// Whether a 550 reply to SIZE remoteFile refuses the command rather than
// saying that the file is not there: its text, less the file name, says
// "mode", "ASCII", "denied", "not allowed" or "permission".
bool sizeRefused(const QByteArray& reply, const QString& remoteFile);

// A reply line as the text of an exception: without its line end.
QString lineText(const QByteArray& line);

// Refuses a value that is about to become part of a command line: throws
// Exception ("<what> contains a line break or NUL character") when its UTF-8
// form holds CR, LF or NUL.
void requireSingleLine(const QString& value, const char* what);

} // namespace FtpReply
