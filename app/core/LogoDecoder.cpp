#include "LogoDecoder.h"

#include "JpegImage.h"

#include <QFileInfo>
#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

LogoDecoder::LogoDecoder(QObject* parent) : QObject(parent) {}

LogoDecoder::~LogoDecoder()
{
    cancel();
}

void LogoDecoder::start(const QString& fileName, qint64 maxWork)
{
    cancel();
    auto cancelFlag = std::make_shared<std::atomic_bool>(false);
    const QString path = QFileInfo(fileName).absoluteFilePath();
    m_cancel = cancelFlag;
    m_watcher = new QFutureWatcher<QImage>(this);
    QFutureWatcher<QImage>* watcher = m_watcher;
    connect(watcher, &QFutureWatcher<QImage>::finished, this, [this, watcher] {
        watcher->deleteLater();
        if (watcher != m_watcher)
            return; // cancelled meanwhile
        m_watcher = nullptr;
        m_cancel.reset();
        emit decoded(watcher->result());
    });
    watcher->setFuture(QtConcurrent::run([path, maxWork, cancelFlag] {
        JpegImage::Limits limits;
        limits.maxWork = maxWork;
        limits.cancel = cancelFlag.get();
        return JpegImage::load(path, nullptr, limits);
    }));
}

void LogoDecoder::cancel()
{
    if (m_cancel)
        m_cancel->store(true);
    m_cancel.reset();
    if (m_watcher) {
        // The watcher goes with its connection; the worker's result, when it
        // comes, is dropped with the future.
        m_watcher->disconnect(this);
        m_watcher->deleteLater();
        m_watcher = nullptr;
    }
}
