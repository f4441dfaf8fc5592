#pragma once

// RemovedSquadsModel: the squads that the directory's kept history shows
// removed and that the directory does not list now, newest removal first,
// one row per address (its most recent removal): nick, address, and when
// the version without it was kept.
//
// load() reads the history (DirectoryHistory, no lock) on a connection of
// the model's own, so that the window's FTP client stays free for
// publishing. It waits in the event loop; meanwhile cancel() ends it at
// once (its connection is closed under it), a second load() is refused,
// and destroying the model ends it as cancelled without touching the model
// again. Copies of the history's entries are kept in a cache folder, so
// that only versions kept since the last load are fetched.

#include <QAbstractTableModel>
#include <QDateTime>
#include <QList>
#include <QString>

#include <memory>

#include "DirectoryHistory.h"
#include "FtpAccount.h"

class TFtpClient;

class RemovedSquadsModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { NickColumn, UrlColumn, RemovedColumn, ColumnCount };
    enum Role { NickRole = Qt::UserRole + 1, UrlRole, RemovedAtRole };
    enum class Result { Loaded, Failed, Cancelled, Busy };

    struct Source {
        FtpAccount account;
        QString remoteDirectory;
        int timeOut = 30000; // each reply, and a transfer without progress
        QString cacheFolder;
    };

    explicit RemovedSquadsModel(QObject* parent = nullptr);
    ~RemovedSquadsModel() override;

    // Reads the history and takes its removals in place of the rows; on a
    // failure the rows stay and error() says why. Waits.
    Result load(const Source& source);
    void cancel();
    bool loading() const { return m_client != nullptr; }
    QString error() const { return m_error; }

    const DirectoryHistory::Removal& removal(int row) const { return m_rows.at(row); }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    QList<DirectoryHistory::Removal> m_rows;
    std::unique_ptr<TFtpClient> m_client; // while a load runs
    QString m_error;
    std::shared_ptr<bool> m_alive;
};
