#pragma once

// Small helpers shared by the document tests.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTest>

#include "XmlDocument.h"

// Turns the event loop until the load has ended. The limit only bounds a
// broken test; a load on loopback ends long before.
inline bool waitForLoad(const XmlDocument& doc, int limitMs = 5000)
{
    return QTest::qWaitFor([&doc] { return doc.readyState() == 4; }, limitMs);
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A port on loopback that nothing listens on.
QString unusedLoopbackUrl(const QString& path);
