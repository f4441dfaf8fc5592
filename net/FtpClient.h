#pragma once

// TFtpClient: the FTP client. The inherited connection is the control
// connection; each transfer opens a second, short-lived TSocketConn as the
// data connection (passive: we connect to the server; active: the server
// connects to us) and frees it before it returns.
//
// Every operation runs on the GUI thread and waits through the socket layer,
// so handlers run in the middle of it. They may call Abort(), which cancels
// only the data connection's current wait, but not start a second operation:
// its commands would interleave on the one control connection, so every
// operation refuses to start while another runs (busy()). Failures are
// exceptions: FTPException carries the server's reply line (or our own text
// when it gave none); socket and file errors come from the socket layer
// unchanged. A value for a command line holding CR, LF or NUL is refused
// before anything is sent: it would smuggle in a second command.

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

// Explicit FTPS. Off: plain FTP, byte for byte. Optional: AUTH TLS first; TLS
// when the server accepts it (234), plain FTP when it refuses with any 4xx or
// 5xx. After a 234 nothing is ever sent in clear: every later failure (the
// handshake, the certificate, PBSZ, PROT) fails the login. Required: the login
// fails rather than send USER or PASS in clear. In TLS every data connection
// offers the control connection's TLS session for resumption (TLS 1.2 and
// 1.3), the same one each time, as servers that check the data's client need.
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

    // Published properties (the base publishes Host, Port, TimeOut, ReportLevel
    // and its events). OnConnect hides the base's: it fires once the login has
    // completed, not when the TCP connection is up.
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
    // A data transfer (Upload, Retrieve, StoreBytes) ends with EAbortError once no
    // byte has moved on its data connection for this many ms; 0: no limit. A slow
    // link that keeps moving is never cut off. At an upload's end the bytes still
    // leaving the send queue count as progress: the closing reply's TimeOut starts
    // once the queue is empty, and the wait fails early only when the queue has
    // not moved for StallTimeOut (TimeOut when StallTimeOut is 0).
    int StallTimeOut = 0;
    // TLS on the control connection and (PROT P) on every data connection.
    TFtpTls TlsMode = TFtpTls::Off;

    // "off", "optional", "required"; false for anything else.
    static bool parseTlsMode(const QString& text, TFtpTls& mode);

    // Opens the control connection and logs in (through the Proxy/FirewallType
    // firewall when Proxy is set). Waits. Throws the socket layer's errors when no
    // connection is made; once connected, every failure (FTPException for a
    // failing reply) first logs out and closes. Nothing when already connected.
    void Connect() override;

    // Logs out (QUIT) and closes the control connection. Waits for the QUIT
    // reply. Throws FTPException when QUIT is refused; the connection is
    // closed in every case. Does nothing when not connected.
    void Disconnect() override;

    // Sends one command and reads its whole reply (continuation lines are only
    // reported); returns the first line with its terminator, its code in
    // ReplyCode. Waits. Throws Exception for CR, LF or NUL in the command (nothing
    // is sent) and the socket layer's errors. An accepted TYPE is remembered (Size).
    QByteArray Transaction(const QByteArray& command) override;

    // Cancels the data connection's current wait, if an upload runs; a control
    // connection time-out ends its own wait (FtpClient.cpp). Never closes anything.
    void Abort() override;

    // Stores localFile as remoteFile (empty: localFile's name without its
    // directory). Waits for the whole transfer. Every failure is first offered to
    // OnFailure; unless it sets handled, it propagates: FTPException for a refused
    // command (PASV, EPSV, PORT or EPRT not answered 2xx included: the server's
    // line, ReplyCode its code) or a failing or missing closing reply, EFileError,
    // the socket layer's errors, EAbortError when aborted or stalled. The control
    // connection stays connected; the data connection is gone on return or throw.
    // Abort() and destroying the client also end the wait for the send queue.
    void Upload(const QString& localFile, const QString& remoteFile);

    // RNFR from, then RNTO to. Waits. Throws FTPException with the server's line
    // when RNFR is not answered 350 (RNTO is then not sent) or RNTO not 2xx,
    // Exception for a name holding CR, LF or NUL (nothing is sent) or "Not
    // Connected", and the socket layer's errors. The control connection stays.
    void Rename(const QString& from, const QString& to);

    // STOR data as remoteFile, or APPE it. Waits. Throws like Upload, without
    // offering to OnFailure; a server that lacks or refuses APPE gives
    // FTPException, ReplyCode left at the reply's code.
    void StoreBytes(const QByteArray& data, const QString& remoteFile, bool append = false);

    // RETR remoteFile; returns its bytes. Waits. Throws FTPException with the
    // server's line when RETR is refused (ReplyCode 550: no such file) or the
    // closing reply fails, Exception when the file grows beyond limit bytes, and
    // the socket layer's errors. The data ends where the server ends it (in TLS
    // its closing alert, however it arrives); the data connection is closed
    // before the closing reply is awaited, since TLS servers wait for that.
    QByteArray Retrieve(const QString& remoteFile, qint64 limit);

    // SIZE: remoteFile's size in bytes, -1 when the server answers 550 (no such
    // file). Waits. Sent only in binary type: TYPE I goes first (and stays) unless
    // accepted since the login. Throws FTPException for a refused TYPE I, for a
    // 550 that refuses the command rather than the file (its text, less the file
    // name, says "mode", "ASCII", "denied", "not allowed" or "permission"), and
    // any other refusal, ReplyCode left at the reply's code (502: no SIZE).
    qint64 Size(const QString& remoteFile);

    // MKD: true when made; false when refused with 550, 521 or 553 (on every
    // common server: it exists already). Waits. Throws FTPException otherwise.
    bool MakeDirectory(const QString& path);

    // NLST path: the folder's names, without the folder part some servers prefix.
    // Some servers list files only: never count on seeing folders. An empty or
    // missing folder gives an empty list (226 and nothing, 450 or 550). Waits.
    // Throws FTPException for other refusals, and the socket layer's errors.
    QStringList NameList(const QString& path);

    // CWD: true when done, false on 550 (no such folder, or no right to enter).
    // Waits. Throws FTPException for other replies. Publishing uses absolute
    // paths, so the working folder this leaves matters to nobody.
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

    // The reply rules of FtpReply.h, under the names callers and tests know.
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
    // Shared, so that an upload frame still on the stack can unlock it after a
    // handler destroyed the component during one of its waits.
    std::shared_ptr<std::recursive_mutex> m_transferLock;
    // Cleared by the destructor: code that resumes after a wait checks it
    // before touching the component again.
    std::shared_ptr<bool> m_alive;
    bool m_busy = false;
    bool m_protectData = false; // PROT P accepted: data connections in TLS
    bool m_binary = false;      // the server accepted TYPE I (or L 8) last
};
