#pragma once

// LogoDecoder: decodes the squad logo on a worker thread, so that a large or
// hostile picture never holds up the window.
//
// start() reads and decodes the file (JpegImage, within its limits and the
// work budget given) on Qt's global thread pool and returns at once. When the
// decode ends, decoded() is emitted on the decoder's thread with the picture,
// or with a null image when the file is missing or no acceptable JPEG. Only
// the latest start() reports: start() and cancel() drop any running decode,
// which then stops at its next row of blocks and never reports. Destroying
// the decoder cancels as well; the worker shares nothing with it but a flag.

#include <QImage>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

template <typename T> class QFutureWatcher;

class LogoDecoder : public QObject
{
    Q_OBJECT
public:
    explicit LogoDecoder(QObject* parent = nullptr);
    ~LogoDecoder() override;

    // fileName is taken as an absolute path now: a change of the working
    // directory meanwhile does not change what is read.
    void start(const QString& fileName, qint64 maxWork);
    void cancel();
    // True from start() until decoded() has been emitted or cancel().
    bool isBusy() const { return m_watcher != nullptr; }

signals:
    void decoded(const QImage& image);

private:
    QFutureWatcher<QImage>* m_watcher = nullptr;
    std::shared_ptr<std::atomic_bool> m_cancel;
};
