#pragma once

// A scripted web server for a ScriptedPeer, and an HTTP client set up as the
// main window sets it up, writing into a temporary folder.

#include <QStringList>
#include <QTemporaryDir>

#include "HttpClient.h"
#include "NetTestSupport.h"

// The lines every request of the client carries.
inline const QByteArrayList kAcceptLines{
    "Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff",
    "Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript"};
inline const QByteArray kAccept = kAcceptLines.join("\r\n") + "\r\n";
inline const QByteArray kContentType = "Content-type: application/x-www-form-urlencoded\r\n";

// A request as the client sends it: the request line, the Host line (where
// "%P" stands for the scripted peer's port), and extra lines before the
// content type.
inline QByteArray request(const QByteArray& line, const QByteArray& host = "127.0.0.1:%P",
                          const QByteArray& extra = {})
{
    return line + " HTTP/1.0\r\nHost: " + host + "\r\n" + kAccept + extra + kContentType + "\r\n";
}

inline const QByteArray kOk = "HTTP/1.0 200 OK\r\n\r\nok";

// Answers one request per connection, in order: reads the request header up
// to its empty line (and bodyBytes more), sends the reply and closes.
inline void serveReplies(ScriptedPeer& peer, const QList<QByteArray>& replies, qint64 bodyBytes = 0,
                         int i = 0)
{
    peer.expectLine().run([&peer, replies, bodyBytes, i] {
        if (peer.lines().last() != "\r\n")
            return serveReplies(peer, replies, bodyBytes, i);
        if (bodyBytes > 0)
            peer.expectBytes(bodyBytes);
        peer.send(replies[i]).close();
        if (i + 1 < replies.size())
            serveReplies(peer.acceptNext(), replies, bodyBytes, i + 1);
    });
}

// events records the client's result events in order.
struct HttpRig {
    QTemporaryDir dir;
    ScriptedPeer peer;
    THttpClient client;
    QStringList events;

    HttpRig()
    {
        client.Body = QFile::encodeName(dir.filePath(QStringLiteral("temp.jpg")));
        client.Header = QFile::encodeName(dir.filePath(QStringLiteral("Head.txt")));
        client.InputFileMode = true;
        client.OutputFileMode = true;
        client.TimeOut = 500; // a script that goes wrong must not hang the test
        client.OnSuccess = [this](CmdType c) { events << QStringLiteral("success %1").arg(c); };
        client.OnFailure = [this](CmdType c) { events << QStringLiteral("failure %1").arg(c); };
        client.OnRedirect = [this](bool&) { events << QStringLiteral("redirect"); };
        client.OnAuthenticationNeeded = [this](QObject*) { events << QStringLiteral("auth"); };
    }
    QString url(const char* path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(peer.port()).arg(QLatin1String(path));
    }
    QByteArray body() const { return readFile(dir.filePath(QStringLiteral("temp.jpg"))); }
    QByteArray head() const { return readFile(dir.filePath(QStringLiteral("Head.txt"))); }
    void get(const char* path)
    {
        client.Host = url(path);
        client.Get(url(path));
    }
};

// Serves reply to a Get of /logo.jpg: what the Get threw, "<none>" when it
// ended well.
inline QString getAnsweredBy(HttpRig& rig, const QByteArray& reply)
{
    serveReplies(rig.peer, {reply});
    return thrown([&] { rig.get("/logo.jpg"); });
}

// A Get of url that must be refused before it connects: what it threw.
// started: whether it said it was connecting or made the body file.
inline QString getBeforeConnecting(HttpRig& rig, const QString& url, bool& started)
{
    QStringList statuses;
    rig.client.ReportLevel = 8;
    rig.client.OnStatus = [&](QObject*, const QString& text) { statuses << text; };
    const QString error = thrown([&] { rig.client.Get(url); });
    rig.client.OnStatus = nullptr;
    started = statuses.contains(QStringLiteral("Connecting")) ||
              QFile::exists(rig.dir.filePath(QStringLiteral("temp.jpg")));
    return error;
}
