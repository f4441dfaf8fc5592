#pragma once

// TFtpClient: the FTP client. The inherited connection is the control
// connection; each Upload opens a second, short-lived TSocketConn as the data
// connection (passive: we connect to the server; active: the server connects
// to us) and frees it before it returns.
//
// Every operation runs on the GUI thread and waits through the socket layer,
// which keeps the event loop turning: handlers may run in the middle of an
// operation and may call Abort(), which cancels only the data connection's
// current wait. A handler must not start a second operation meanwhile: the
// commands of the two would interleave on the one control connection, so
// every operation refuses to start while another one runs (busy()).
// Failures are exceptions: FTPException carries the server's reply line (or a
// text of ours when the server gave none); socket and file errors come from
// the socket layer unchanged.
//
// Nothing that reaches a command line may hold CR, LF or NUL: such a value
// would smuggle a second command onto the control connection, so it is
// refused before anything is sent.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>

#include "FtpReply.h"
#include "ReentryGuard.h"
#include "SocketConn.h"

class ActiveDataPort;

enum TFirewallType { FTUser = 0, FtOpen = 1, FtSite = 2 };

// Explicit FTPS (RFC 4217). Off: plain FTP, byte for byte. Optional: AUTH TLS
// first; TLS when the server accepts it (234), plain FTP when it refuses it
// with any 4xx or 5xx reply. Once it has accepted, every later failure (the
// handshake, the certificate, PBSZ, PROT) fails the login: nothing is ever
// sent in clear after a 234. Required: the login fails rather than send USER
// or PASS in clear.
//
// In TLS every data connection offers the control connection's TLS session
// for resumption (TLS 1.2 and 1.3), the same session for each of them, as
// servers that check that the data comes from the client that logged in
// require.
enum class TFtpTls { Off, Optional, Required };

// The kind of transfer handed to the transfer events. Only uploads exist.
enum class TCmdType : int { Upload = 9 };

using TFailureEvent = std::function<void(bool& handled, TCmdType transType)>;
using TSuccessEvent = std::function<void(TCmdType transType)>;
using TUnsupportedEvent = std::function<void(TCmdType transType)>;
using TListItemEvent = std::function<void(const QString& listing)>;

class TFtpClient : public TSocketConn
{
    Q_OBJECT
public:
    explicit TFtpClient(QObject* owner = nullptr);
    ~TFtpClient() override;

    // Published properties (the base publishes Host, Port, TimeOut,
    // ReportLevel and its own events).
    // OnConnect hides the base's event of the same name: it fires once the
    // login has completed, not when the TCP connection is up.
    TNotifyEvent OnConnect;
    QString UserID;
    QString Password;
    TNotifyEvent OnTransactionStart;
    TNotifyEvent OnTransactionStop;
    THandlerEvent OnAuthenticationNeeded;
    THandlerEvent OnAuthenticationFailed; // kept for configuration; never fired
    TFailureEvent OnFailure;
    TSuccessEvent OnSuccess;
    TListItemEvent OnListItem; // kept for configuration; never fired
    TUnsupportedEvent OnUnSupportedFunction;
    int Vendor = 2411;
    bool ParseList = false;
    bool Passive = false;
    TFirewallType FirewallType = FTUser;
    QString FWUserID;
    QString FWPassword;
    bool FWAuthenticate = false;
    // A data transfer (Upload, Retrieve, StoreBytes) ends with EAbortError
    // when no byte has moved on its data connection for this many
    // milliseconds; 0: no limit. The bound is on progress, not on the whole
    // transfer, so a slow link that keeps moving is never cut off. After the
    // last byte of an upload was handed to the system, the bytes still in
    // the data connection's send queue count as progress while they leave
    // it: the closing reply's TimeOut starts once the queue is empty, and the
    // wait fails early only when the queue has not moved for StallTimeOut
    // (TimeOut when StallTimeOut is 0).
    int StallTimeOut = 0;
    // TLS on the control connection and (PROT P) on every data connection.
    TFtpTls TlsMode = TFtpTls::Off;

    // "off", "optional", "required" (the build setting's and squadnet's
    // words). False for anything else.
    static bool parseTlsMode(const QString& text, TFtpTls& mode);

    // Opens the control connection and logs in (through the firewall given
    // by Proxy/FirewallType when Proxy is set). Waits. Throws the socket
    // layer's errors when no connection is made; once connected, every
    // failure (FTPException for a failing reply) first logs out and closes
    // the connection. Does nothing when already connected.
    void Connect() override;

    // Logs out (QUIT) and closes the control connection. Waits for the QUIT
    // reply. Throws FTPException when QUIT is refused; the connection is
    // closed in every case. Does nothing when not connected.
    void Disconnect() override;

    // Sends one command and reads its whole reply (continuation lines are
    // read and only reported). Returns the first line with its terminator and
    // leaves its code in ReplyCode. Waits. Throws Exception when the command
    // holds CR, LF or NUL (nothing is sent), and the socket layer's errors.
    // A TYPE that the server accepts is remembered (see Size).
    QByteArray Transaction(const QByteArray& command) override;

    // Cancels the data connection's current wait, if an upload is running.
    // A time-out of the control connection also ends the control
    // connection's own wait (see FtpClient.cpp). Never closes anything.
    void Abort() override;

    // Stores localFile on the server as remoteFile (empty: localFile's name
    // without its directory). Waits for the whole transfer. Every failure is
    // first offered to OnFailure; unless it sets handled, the exception
    // propagates: FTPException for a refused command (PASV, EPSV, PORT or
    // EPRT answered with anything but 2xx included: the message is the
    // server's line, ReplyCode its code) or a failing or missing closing
    // reply, EFileError, the socket layer's errors, EAbortError when aborted
    // or stalled. The control connection stays connected; the data
    // connection is gone when Upload returns or throws. Abort() and
    // destroying the client also end the wait for the end of the file to
    // leave the send queue (see StallTimeOut).
    void Upload(const QString& localFile, const QString& remoteFile);

    // Renames a file on the server: RNFR from, then RNTO to. Waits. Throws
    // FTPException with the server's line when RNFR is not answered 350 (RNTO
    // is then not sent) or RNTO is not answered 2xx, Exception for a name
    // holding CR, LF or NUL (nothing is sent), "Not Connected", and the
    // socket layer's errors. The control connection stays as it was.
    void Rename(const QString& from, const QString& to);

    // Stores data as remoteFile (STOR), or appends it (APPE). Waits. Throws
    // like Upload, without offering the failure to OnFailure: a server
    // without APPE ("502 Command APPE not implemented.") or one that refuses
    // it gives FTPException with ReplyCode left at the reply's code.
    void StoreBytes(const QByteArray& data, const QString& remoteFile, bool append = false);

    // Retrieves remoteFile (RETR) and returns its bytes. Waits. Throws
    // FTPException with the server's line when RETR is refused (ReplyCode
    // tells why: 550 for a file that is not there) or the closing reply
    // fails, Exception when the file grows beyond limit bytes, and the
    // socket layer's errors. The data ends where the server ends it (in TLS
    // its closing alert, however it arrives); the data connection is closed
    // before the closing reply is awaited, since TLS servers wait for that.
    QByteArray Retrieve(const QString& remoteFile, qint64 limit);

    // SIZE: the size of remoteFile in bytes, or -1 when the server answers
    // 550 (no such file). Waits. SIZE is only ever sent in binary type: when
    // the server has not accepted TYPE I since the login, TYPE I is sent
    // first (and stays). Throws FTPException for a refused TYPE I, for a 550
    // that refuses the command rather than the file (its text, less the file
    // name, says "mode", "ASCII", "denied", "not allowed" or "permission":
    // "550 SIZE not allowed in ASCII mode", vsftpd's "550 Permission
    // denied."), and for any other refusal, ReplyCode left at the reply's
    // code ("502 SIZE: command not allowed": 502), so that a caller can tell
    // a server without SIZE.
    qint64 Size(const QString& remoteFile);

    // MKD: true when the folder was made; false when the server refused with
    // 550, 521 or 553 (on every common server: it exists already). Waits.
    // Throws FTPException for other replies.
    bool MakeDirectory(const QString& path);

    // NLST path: the names in a folder, each without the folder part some
    // servers put in front. Several servers list only files, never folders,
    // so callers must not count on seeing folders. An empty folder, and one
    // that is not there, give an empty list: servers answer both with 226
    // and nothing, 450 or 550. Waits. Throws FTPException for other
    // refusals, and the socket layer's errors.
    QStringList NameList(const QString& path);

    // CWD: true when the server changed into path, false when it answered
    // 550 (no such folder, or no right to enter it). Waits. Throws
    // FTPException for other replies. Paths of the publishing protocol are
    // absolute, so the working folder this leaves matters to nobody.
    bool ChangeDirectory(const QString& path);

    // RMD and DELE. Wait. Throw FTPException with the server's line when
    // refused.
    void RemoveDirectory(const QString& path);
    void Delete(const QString& path);

    // TYPE I: files go byte for byte from here on (and servers answer SIZE).
    // Waits. Throws FTPException when refused.
    void SetBinary();
    // Whether the server accepted TYPE I (or L 8) last, in this login.
    bool binary() const { return m_binary; }

    // Whether an operation is running: a call made now throws Exception.
    bool busy() const { return m_busy; }

    // Whether an upload holds the transfer lock right now (asked from another
    // thread, since the lock is recursive for this one).
    bool transferLockHeld() const;

    // The reply rules (see FtpReply.h), under the names the client's callers
    // and tests know.
    static qint16 replyCodeOf(const QByteArray& line) { return FtpReply::replyCodeOf(line); }
    static bool replyEnds(const QByteArray& firstLine, const QByteArray& line)
    {
        return FtpReply::replyEnds(firstLine, line);
    }
    static quint16 extendedPassivePort(const QByteArray& replyLine)
    {
        return FtpReply::extendedPassivePort(replyLine);
    }
    static quint16 passivePort(const QByteArray& replyLine)
    {
        return FtpReply::passivePort(replyLine);
    }

private:
    // Marks the client busy for one operation (see FtpClient.cpp).
    ReentryGuard operation();
    enum class Direction { Send, Receive };
    QByteArray readReply(const QByteArray& firstLine);
    void disconnectNow();
    void simpleCommand(const QByteArray& text, const QString& what);
    // simpleCommand(), false when refused with one of these codes.
    bool simpleCommandUnlessRefused(const QByteArray& text, const QString& what,
                                    std::initializer_list<qint16> refusals);
    void transfer(const QByteArray& verb, const QString& remoteFile, Direction direction,
                  const std::function<void(TSocketConn&)>& move, bool offerFailures,
                  bool& succeeded, const QString& report);
    void runStallWatched(TSocketConn& data, const std::function<void()>& move);
    QByteArray awaitReply();
    QByteArray command(const QByteArray& text);
    void login();
    void startTls();
    QString tlsPeerName() const;
    void checkLogin(const QByteArray& reply);
    bool replyFailureHandled(const QByteArray& reply, bool offer = true);
    bool awaitDataDelivered(TSocketConn& data);
    bool controlHasNews() const;
    bool acceptDataConnection(ActiveDataPort& port, TSocketConn* data, bool offerFailures);
    QString dataHost() const;

    TSocketConn* m_dataConn = nullptr;
    // The transfer lock lives in a shared pointer so that an upload frame
    // still on the stack can unlock it after the component was destroyed
    // from a handler during one of its waits.
    std::shared_ptr<std::recursive_mutex> m_transferLock;
    // Cleared by the destructor: code that resumes after a wait checks it
    // before touching the component again.
    std::shared_ptr<bool> m_alive;
    bool m_busy = false;
    bool m_protectData = false; // PROT P accepted: data connections in TLS
    bool m_binary = false;      // the server accepted TYPE I (or L 8) last
};
