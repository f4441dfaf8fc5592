#pragma once

// Small helpers shared by the document tests.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTest>

#include "TestSupport.h"
#include "XmlDocument.h"

// Turns the event loop until the load has ended. The limit only bounds a
// broken test; a load on loopback ends long before.
inline bool waitForLoad(const XmlDocument& doc, int limitMs = 5000)
{
    return QTest::qWaitFor([&doc] { return doc.readyState() == 4; }, limitMs);
}

// False when the load did not start or did not end; its outcome is in doc.
inline bool loadAndWait(XmlDocument& doc, const QString& address)
{
    return doc.load(address) && waitForLoad(doc);
}

// What save() threw; empty when it saved.
inline QString saveError(const XmlDocument& doc, const QString& fileName)
{
    try {
        doc.save(fileName);
    } catch (const EOleException& e) {
        return e.description().isEmpty() ? QStringLiteral("(no description)") : e.description();
    }
    return QString();
}

// A port on loopback that nothing listens on.
QString unusedLoopbackUrl(const QString& path);
