// TfrmMain's logo step: the squad page's "picture" fetched into "temp.jpg"
// (or taken from its kept copy), decoded on a worker thread, and shown.

#include "MainFrm.h"

#include "CallDeadline.h"
#include "HttpClient.h"
#include "LogoDecoder.h"
#include "StatusTexts.h"
#include "UiSeams.h"
#include "XmlLoader.h"

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QLabel>

namespace
{

const QString kTempJpg = QStringLiteral("temp.jpg");
const QString kHeadTxt = QStringLiteral("Head.txt");

// The extension rule: the text from the last ".", "\\" or ":" when that
// character is a ".", upper-cased in ASCII only. A "/" is no separator here.
bool isJpegName(const QString& picture)
{
    int last = -1;
    for (int i = picture.size() - 1; i >= 0; --i) {
        const QChar c = picture[i];
        if (c == QLatin1Char('.') || c == QLatin1Char('\\') || c == QLatin1Char(':')) {
            last = i;
            break;
        }
    }
    if (last < 0 || picture[last] != QLatin1Char('.'))
        return false;
    QString extension = picture.mid(last);
    for (QChar& c : extension)
        if (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            c = QChar(c.unicode() - 'a' + 'A');
    return extension == QLatin1String(".JPG") || extension == QLatin1String(".JPEG");
}

// The value of one field of a reply header kept in a file, or nothing.
QByteArray headerField(const QString& headerFile, const QByteArray& name)
{
    QFile file(headerFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray prefix = name.toLower() + ':';
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.toLower().startsWith(prefix))
            return line.mid(prefix.size()).trimmed();
    }
    return {};
}

} // namespace

void TfrmMain::deleteTempJpg()
{
    if (QFile::exists(kTempJpg))
        QFile::remove(kTempJpg);
}

void TfrmMain::showLogo()
{
    // "temp.jpg" is decoded once per page and kept. Before that decode ended
    // the picture stays as it is; a file that did not decode leaves the logo
    // area empty.
    if (!m_logo)
        return;
    if (m_logo->isNull())
        imgLogo->clear();
    else
        imgLogo->setPixmap(*m_logo);
    const QString squad = stSName->text().isEmpty() ? stSNick->text() : stSName->text();
    imgLogo->setAccessibleName(squad.isEmpty() ? tr("Squad logo") : tr("Logo of %1").arg(squad));
}

QPixmap TfrmMain::logoPixmap(const QImage& image) const
{
    // The logo keeps its size in the window's units; on a screen with more
    // device pixels than that it is scaled smoothly to them instead of
    // having its pixels enlarged.
    const qreal ratio = devicePixelRatioF();
    if (ratio <= 1.0)
        return QPixmap::fromImage(image);
    QPixmap pixmap = QPixmap::fromImage(
        image.scaled(image.size() * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

void TfrmMain::logoDecoded(const QImage& image)
{
    // The logo step ends here, whatever showing the picture does.
    setStatus(StatusTexts::ready());
    setScreenCursor(UiSeams::crDefault);
    m_logo = image.isNull() ? QPixmap() : logoPixmap(image);
    showLogo();
}

bool TfrmMain::logoDecoding() const
{
    return m_logoDecoder->isBusy();
}

bool TfrmMain::fetchLogo(const QString& address)
{
    if (m_cancelled)
        return false;
    // A logo opened before is asked for only if it changed since; "not
    // modified", or a server that cannot be reached, leaves the copy as the
    // logo, so that each logo's bytes travel once unless it changes.
    const OfflineCache::Copy copy = m_cache.find(address, OfflineCache::LogoCopy);
    HttpClient->OnAboutToSend = [this, copy](QObject*) {
        if (copy.isValid() && !copy.lastModified.isEmpty())
            HttpClient->RequestHeaders.SetHeader("If-Modified-Since", copy.lastModified);
    };
    // A 304 is no redirection to follow: it ends the call.
    HttpClient->OnRedirect = [this](bool& handled) { handled = HttpClient->ReplyCode == 304; };
    bool answered = false;
    try {
        const CallDeadline deadline(*HttpClient, HttpClient->TimeOut);
        HttpClient->Host = address;
        HttpClient->Get(address);
        answered = true;
    } catch (...) {
        // A failed fetch is silent; a partial file must not pass for a logo.
        deleteTempJpg();
    }
    HttpClient->OnAboutToSend = nullptr;
    HttpClient->OnRedirect = nullptr;
    if (copy.isValid() && (!answered || HttpClient->ReplyCode == 304)) {
        deleteTempJpg();
        QFile::copy(copy.file, kTempJpg);
    } else if (answered && HttpClient->ReplyCode >= 200 && HttpClient->ReplyCode <= 298 &&
               QFile::exists(kTempJpg)) {
        const QString kept = m_cache.bodyFile(address, OfflineCache::LogoCopy);
        QFile::remove(kept);
        if (QFile::copy(kTempJpg, kept)) {
            QFile::setPermissions(kept, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
            m_cache.record(address, OfflineCache::LogoCopy, {},
                           XmlLoader::usableLastModified(headerField(kHeadTxt, "Last-Modified"),
                                                         headerField(kHeadTxt, "Date")));
        }
    }
    return QFile::exists(kTempJpg);
}

void TfrmMain::runLogoStep()
{
    SquadTreeModel::Node* squadNode = twSquadModel->topLevelNode(0);
    if (!squadNode)
        return;
    const QString picture = squadTextsOf(squadNode->data.Element).picture; // the last one wins
    if (!isJpegName(picture))
        return;
    // A page may aim its logo at local addresses only when it came from one:
    // the address it was read from decides, not a second look-up of its name.
    HttpClient->RequestPolicy = TRequestPolicy::forPage(
        TRequestPolicy::pageIsLocal(CurrentSquadUrl, DetailDoc.fetchedFrom()));

    if (!fetchLogo(picture)) {
        // Relative to the squad page's folder: everything up to and including
        // the last "/" of its address, with the picture value put behind it
        // as written.
        const int slash = CurrentSquadUrl.lastIndexOf(QLatin1Char('/'));
        const QString folder = slash < 0 ? QString() : CurrentSquadUrl.left(slash + 1);
        if (m_cancelled)
            return;
        fetchLogo(folder + picture);
        QCoreApplication::processEvents();
    }
    // A picture of many megapixels or scans takes seconds to decode; the
    // window goes on meanwhile and logoDecoded() finishes the step.
    if (QFile::exists(kTempJpg) && !m_cancelled)
        m_logoDecoder->start(kTempJpg, maxLogoWork);
}
