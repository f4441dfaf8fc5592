#include "DirectoryHistory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QSet>

#include <algorithm>

#include "DirectoryChange.h"
#include "FtpClient.h"
#include "XmlDocument.h"

namespace
{

// The changes from before to after, by address: an address listed more
// often than before was added, one listed less often removed.
void compare(const QList<DirectoryHistory::Squad>& before,
             const QList<DirectoryHistory::Squad>& after, DirectoryHistory::Step& step)
{
    QHash<QString, int> unmatched;
    for (const DirectoryHistory::Squad& squad : before)
        ++unmatched[squad.url];
    for (const DirectoryHistory::Squad& squad : after) {
        const auto it = unmatched.find(squad.url);
        if (it != unmatched.end() && *it > 0)
            --*it;
        else
            step.added << squad;
    }
    for (const DirectoryHistory::Squad& squad : before) {
        const auto it = unmatched.find(squad.url);
        if (*it > 0) {
            step.removed << squad;
            --*it;
        }
    }
    step.before = int(before.size());
    step.after = int(after.size());
}

} // namespace

DirectoryHistory::DirectoryHistory(TFtpClient& client, const QString& remoteDirectory)
    : m_client(client), m_directory(remoteDirectory), m_layout(remoteDirectory)
{
}

QList<HistoryLayout::Entry> DirectoryHistory::entries()
{
    return HistoryLayout::entriesOf(m_client.NameList(m_layout.folder()));
}

QByteArray DirectoryHistory::cached(const HistoryLayout::Entry& entry)
{
    if (m_cacheFolder.isEmpty())
        return {};
    QFile file(m_cacheFolder + QLatin1Char('/') + entry.name);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray content = file.read(entry.size + 1);
    file.close();
    if (content.size() == entry.size && HistoryLayout::hashOf(content) == entry.hash)
        return content;
    file.remove();
    return {};
}

void DirectoryHistory::keepCached(const HistoryLayout::Entry& entry, const QByteArray& content)
{
    if (m_cacheFolder.isEmpty() || !QDir().mkpath(m_cacheFolder))
        return;
    const QString name = m_cacheFolder + QLatin1Char('/') + entry.name;
    if (QFileInfo(name).size() == entry.size)
        return; // kept before; cached() checks it against the hash
    // A copy that cannot be written is fetched again next time.
    QSaveFile file(name);
    if (file.open(QIODevice::WriteOnly) && file.write(content) == content.size())
        file.commit();
}

void DirectoryHistory::dropStaleCopies(const QList<HistoryLayout::Entry>& entries)
{
    if (m_cacheFolder.isEmpty())
        return;
    QSet<QString> listed;
    for (const HistoryLayout::Entry& entry : entries)
        listed.insert(entry.name);
    QDir folder(m_cacheFolder);
    for (const QString& name : folder.entryList(QDir::Files)) {
        HistoryLayout::Entry entry;
        if (HistoryLayout::parseEntry(name, entry) && !listed.contains(name))
            folder.remove(name);
    }
}

QByteArray DirectoryHistory::content(const HistoryLayout::Entry& entry)
{
    const QByteArray copy = cached(entry);
    if (!copy.isEmpty() || entry.size == 0)
        return copy;
    QByteArray content;
    try {
        content = m_client.Retrieve(m_layout.path(entry.name), XmlDocument::maxDocumentSize);
    } catch (const FTPException& error) {
        throw PublishError(QStringLiteral("The version %1 cannot be read from the history (%2)")
                               .arg(entry.id(), error.message()));
    }
    if (content.size() != entry.size || HistoryLayout::hashOf(content) != entry.hash)
        throw PublishError(
            QStringLiteral("The version %1 in the history is damaged").arg(entry.id()));
    keepCached(entry, content);
    return content;
}

std::optional<HistoryLayout::Entry> DirectoryHistory::find(const QString& id)
{
    bool isNumber = false;
    const qint64 sequence = id.toLongLong(&isNumber);
    for (const HistoryLayout::Entry& entry : entries()) {
        if ((isNumber && entry.sequence == sequence) || entry.name == id ||
            entry.name == id + QLatin1String(".xml"))
            return entry;
    }
    return std::nullopt;
}

QList<DirectoryHistory::Squad> DirectoryHistory::squadsOf(const QByteArray& content,
                                                          bool* wellFormed)
{
    QList<Squad> squads;
    XmlDocument document;
    const bool loaded = document.loadXml(content);
    if (wellFormed)
        *wellFormed = loaded;
    if (!loaded)
        return squads;
    for (XmlNode node = document.lastChild().firstChild(); node; node = node.nextSibling()) {
        if (!node.isElement())
            continue;
        const XmlNode web = node.attributes().getNamedItem(QStringLiteral("web"));
        if (!web.isNull())
            squads << Squad{node.attributeValue("nick"), web.text()};
    }
    return squads;
}

void DirectoryHistory::walk(const std::function<bool(const Step&)>& visit, QList<Squad>* now)
{
    const QList<HistoryLayout::Entry> kept = entries();
    QByteArray live;
    bool haveLive = false;
    try {
        live = m_client.Retrieve(m_directory, XmlDocument::maxDocumentSize);
        haveLive = true;
    } catch (const FTPException&) {
        if (m_client.ReplyCode != 550)
            throw;
    }
    dropStaleCopies(kept);

    // Each version is compared with the one before it once that is read,
    // so that only two of them are in memory at a time.
    std::optional<Version> later;
    QList<Squad> laterSquads;
    auto next = [&](const Version& version, const QList<Squad>& squads) {
        if (later) {
            Step step;
            step.version = *later;
            compare(squads, laterSquads, step);
            if (!visit(step))
                return false;
        }
        later = version;
        laterSquads = squads;
        return true;
    };

    qsizetype i = kept.size() - 1;
    if (haveLive) {
        bool wellFormed = false;
        const QList<Squad> squads = squadsOf(live, &wellFormed);
        if (now)
            *now = squads;
        Version version;
        const QString hash = HistoryLayout::hashOf(live);
        if (i >= 0 && kept[i].holds(hash, live.size())) {
            version.entry = kept[i--];
            keepCached(version.entry, live);
        } else {
            version.live = true;
            version.entry.hash = hash;
            version.entry.size = live.size();
        }
        // A directory that is no document now (an error page) has no squads
        // to compare; the kept versions still do.
        if (wellFormed && !next(version, squads))
            return;
    }
    for (; i >= 0; --i) {
        QByteArray bytes;
        try {
            bytes = content(kept[i]);
        } catch (const PublishError&) {
            continue; // pruned meanwhile, or damaged
        }
        bool wellFormed = false;
        const QList<Squad> squads = squadsOf(bytes, &wellFormed);
        if (wellFormed && !next(Version{kept[i], false}, squads))
            return;
    }
    if (later) {
        Step oldest;
        oldest.version = *later;
        oldest.oldest = true;
        oldest.after = int(laterSquads.size());
        visit(oldest);
    }
}

QList<DirectoryHistory::Step> DirectoryHistory::steps(int limit)
{
    QList<Step> steps;
    walk([&](const Step& step) {
        steps << step;
        return limit <= 0 || steps.size() < limit;
    });
    return steps;
}

QList<DirectoryHistory::Removal> DirectoryHistory::removals()
{
    QList<Squad> now;
    QSet<QString> seen;
    QList<Removal> removals;
    bool first = true;
    walk(
        [&](const Step& step) {
            if (first) {
                for (const Squad& squad : now)
                    seen.insert(squad.url);
                first = false;
            }
            if (step.oldest)
                return true;
            for (const Squad& squad : step.removed) {
                if (!seen.contains(squad.url)) {
                    seen.insert(squad.url);
                    removals << Removal{squad, step.version};
                }
            }
            return true;
        },
        &now);
    return removals;
}

std::optional<DirectoryHistory::Removal> DirectoryHistory::lastRemovalOf(const QString& url,
                                                                         bool& listedNow)
{
    QList<Squad> now;
    std::optional<Removal> found;
    bool first = true;
    listedNow = false;
    auto listed = [&] {
        return std::any_of(now.cbegin(), now.cend(),
                           [&](const Squad& squad) { return squad.url == url; });
    };
    walk(
        [&](const Step& step) {
            if (first) {
                first = false;
                listedNow = listed();
                if (listedNow)
                    return false;
            }
            if (step.oldest)
                return true;
            for (const Squad& squad : step.removed) {
                if (squad.url == url) {
                    found = Removal{squad, step.version};
                    return false;
                }
            }
            return true;
        },
        &now);
    if (first)
        listedNow = listed();
    return found;
}

QString DirectoryHistory::describe(const Step& step)
{
    if (step.oldest)
        return QStringLiteral("oldest kept: %1 entries").arg(step.after);
    if (step.added.size() == 1 && step.removed.isEmpty())
        return QStringLiteral("added %1 <%2>")
            .arg(step.added.constFirst().nick, step.added.constFirst().url);
    if (step.removed.size() == 1 && step.added.isEmpty())
        return QStringLiteral("removed %1 <%2>")
            .arg(step.removed.constFirst().nick, step.removed.constFirst().url);
    return QStringLiteral("replaced: %1 entries before, %2 after").arg(step.before).arg(step.after);
}
