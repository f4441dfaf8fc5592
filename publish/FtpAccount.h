#pragma once

#include <QString>

#include "FtpClient.h"

// The FTP account that holds the shared directory, and how to reach it.
struct FtpAccount {
    QString host;
    int port = 21;
    QString user;
    QString password;
    TFtpTls tls = TFtpTls::Off; // explicit FTPS (see TFtpClient::TlsMode)

    // Sets the client up for this account: passive data connections, replies
    // within replyTimeOut, transfers that fail after stallTimeOut without
    // progress.
    void applyTo(TFtpClient& client, int replyTimeOut, int stallTimeOut) const
    {
        client.Host = host;
        client.Port = port;
        client.UserID = user;
        client.Password = password;
        client.Passive = true;
        client.TlsMode = tls;
        client.TimeOut = replyTimeOut;
        client.StallTimeOut = stallTimeOut;
    }
};
