#include "RemovedSquadsModel.h"

#include <QLocale>
#include <QPointer>

#include "FtpClient.h"

RemovedSquadsModel::RemovedSquadsModel(QObject* parent)
    : QAbstractTableModel(parent), m_alive(std::make_shared<bool>(true))
{
}

RemovedSquadsModel::~RemovedSquadsModel()
{
    *m_alive = false;
}

void RemovedSquadsModel::cancel()
{
    // The client's waits notice that it is gone and end with its cancel
    // error; load() then returns Cancelled.
    m_client.reset();
}

RemovedSquadsModel::Result RemovedSquadsModel::load(const Source& source)
{
    if (m_client)
        return Result::Busy;
    const std::shared_ptr<bool> alive = m_alive;
    m_client = std::make_unique<TFtpClient>();
    const QPointer<TFtpClient> client(m_client.get());
    source.account.applyTo(*client, source.timeOut, source.timeOut);
    QList<DirectoryHistory::Removal> rows;
    try {
        client->Connect();
        if (!*alive || !client)
            return Result::Cancelled;
        client->SetBinary();
        DirectoryHistory history(*client, source.remoteDirectory);
        history.setCacheFolder(source.cacheFolder);
        rows = history.removals();
        if (!*alive || !client)
            return Result::Cancelled;
        try {
            client->Disconnect();
        } catch (const std::exception&) {
            // Everything was read.
        }
    } catch (const std::exception& error) {
        if (!*alive || !client)
            return Result::Cancelled;
        m_error = QString::fromUtf8(error.what());
        m_client.reset();
        return Result::Failed;
    }
    if (!*alive || !client)
        return Result::Cancelled;
    m_client.reset();
    m_error.clear();
    beginResetModel();
    m_rows = rows;
    endResetModel();
    return Result::Loaded;
}

int RemovedSquadsModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int RemovedSquadsModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant RemovedSquadsModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const DirectoryHistory::Removal& row = m_rows.at(index.row());
    switch (role) {
    case NickRole:
        return row.squad.nick;
    case UrlRole:
        return row.squad.url;
    case RemovedAtRole:
        return row.version.live ? QVariant() : QVariant(row.version.entry.time);
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        switch (index.column()) {
        case NickColumn:
            return row.squad.nick;
        case UrlColumn:
            return row.squad.url;
        case RemovedColumn:
            // A removal by a directory written over from outside, not kept
            // yet, has no time of its own.
            return row.version.live ? tr("not kept yet")
                                    : QLocale().toString(row.version.entry.time.toLocalTime(),
                                                         QLocale::ShortFormat);
        }
    }
    return {};
}

QVariant RemovedSquadsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case NickColumn:
        return tr("Nick");
    case UrlColumn:
        return tr("Address");
    case RemovedColumn:
        return tr("Removed");
    }
    return {};
}
