// What a squad page's contact texts may make the desktop open.

#include <QtTest>

#include "ShellOpen.h"

class TestShellOpen : public QObject {
    Q_OBJECT
private slots:
    void opensOnlyMailAndWebAddresses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("url"); // empty: nothing is opened
        QTest::newRow("mail") << "mailto:pilot@example.com" << "mailto:pilot@example.com";
        QTest::newRow("http") << "http://www.example.org/squad" << "http://www.example.org/squad";
        QTest::newRow("https") << "https://example.net/" << "https://example.net/";
        QTest::newRow("ftp") << "ftp://files.example.org/logo.jpg" << "ftp://files.example.org/logo.jpg";
        QTest::newRow("bare host") << "www.example.com" << "http://www.example.com";
        QTest::newRow("bare host with path") << "example.com/squads/a" << "http://example.com/squads/a";
        QTest::newRow("bare host with port") << "example.com:8080" << "http://example.com:8080";

        QTest::newRow("empty") << "" << "";
        QTest::newRow("mailto alone") << "mailto:" << "";
        QTest::newRow("mail attachment") << "mailto:a@example.com?attach=/etc/passwd" << "";
        QTest::newRow("file") << "file:///etc/passwd" << "";
        QTest::newRow("smb") << "smb://server/share" << "";
        QTest::newRow("javascript") << "javascript:alert(1)" << "";
        QTest::newRow("absolute path") << "/usr/bin/xterm" << "";
        QTest::newRow("relative path") << "../../bin/sh" << "";
        QTest::newRow("option") << "-e rm" << "";
        QTest::newRow("control character") << "www.example.com\n-x" << "";
        QTest::newRow("nul") << QString("www.example.com") + QChar(0) + "x" << "";
        QTest::newRow("spaces") << "www.example.com foo" << "";
        QTest::newRow("http without host") << "http:///path" << "";
    }

    void opensOnlyMailAndWebAddresses()
    {
        QFETCH(QString, text);
        QFETCH(QString, url);
        const auto target = shellTarget(text);
        QCOMPARE(target.has_value(), !url.isEmpty());
        if (target)
            QCOMPARE(target->toString(), url);
    }
};

QTEST_GUILESS_MAIN(TestShellOpen)
#include "TestShellOpen.moc"
