// The Czech and German catalogues: complete, current and consistent with
// their English texts, and chosen by the language of the environment.

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include "Translations.h"

class TestTranslations : public QObject
{
    Q_OBJECT

private slots:
    void everyTextIsTranslated_data()
    {
        QTest::addColumn<QString>("language");
        QTest::newRow("Czech") << QString("cs");
        QTest::newRow("German") << QString("de");
    }

    // An unfinished, obsolete or vanished text (lupdate marks them with a
    // type), an empty translation, a lost placeholder or a missing shortcut
    // letter all fail.
    void everyTextIsTranslated()
    {
        QFETCH(QString, language);
        QFile file(
            QStringLiteral(CORVANET_SOURCE_DIR "/translations/corvanet_%1.ts").arg(language));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        QString context, source;
        int messages = 0;
        QStringList problems;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == QLatin1String("TS")) {
                QVERIFY(xml.attributes().value("language").startsWith(language));
            } else if (xml.name() == QLatin1String("name")) {
                context = xml.readElementText();
            } else if (xml.name() == QLatin1String("source")) {
                source = xml.readElementText();
            } else if (xml.name() == QLatin1String("translation")) {
                ++messages;
                const QString type = xml.attributes().value("type").toString();
                const QString translation = xml.readElementText();
                const QString where = context + ": " + source;
                if (!type.isEmpty())
                    problems << where + " is " + type;
                if (translation.trimmed().isEmpty())
                    problems << where + " has no translation";
                static const QRegularExpression placeholder("%\\d");
                QStringList inSource, inTranslation;
                for (const auto& m : placeholder.globalMatch(source))
                    inSource << m.captured();
                for (const auto& m : placeholder.globalMatch(translation))
                    inTranslation << m.captured();
                inSource.sort();
                inTranslation.sort();
                if (inSource != inTranslation)
                    problems << where + " changes its placeholders";
                if (source.count('&') != translation.count('&'))
                    problems << where + " loses or adds a shortcut letter";
            }
        }
        QVERIFY(!xml.hasError());
        QVERIFY(messages > 50);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    }

    // Every text of the sources is in the catalogues: lupdate, run on a copy
    // of each, finds nothing new.
    void theCataloguesAreCurrent()
    {
        QTemporaryDir dir;
        QStringList files;
        for (const char* language : {"cs", "de"}) {
            const QString copy = dir.filePath(QStringLiteral("corvanet_%1.ts").arg(language));
            QVERIFY(QFile::copy(
                QStringLiteral(CORVANET_SOURCE_DIR "/translations/corvanet_%1.ts").arg(language),
                copy));
            files << copy;
        }
        QProcess lupdate;
        lupdate.setProcessChannelMode(QProcess::MergedChannels);
        lupdate.start(
            QStringLiteral(CORVANET_LUPDATE),
            QStringList{"-no-obsolete", "-locations", "none", CORVANET_SOURCE_DIR "/app", "-ts"} +
                files);
        QVERIFY(lupdate.waitForFinished(60000));
        const QString output = QString::fromUtf8(lupdate.readAll());
        QCOMPARE(lupdate.exitCode(), 0);
        QCOMPARE(output.count(QStringLiteral("(0 new and")), 2);
        QVERIFY2(!output.contains(QStringLiteral("obsolete")), qPrintable(output));
    }

    void theEnvironmentsLanguageIsChosen_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("ready");
        QTest::addColumn<QString>("qtCancel"); // Qt's own text, from its catalogue
        QTest::newRow("Czech") << "cs_CZ"
                               << "cs" << QString::fromUtf8("Připraveno")
                               << QString::fromUtf8("Zrušit");
        QTest::newRow("German") << "de_DE"
                                << "de"
                                << "Bereit"
                                << "Abbrechen";
        QTest::newRow("Austrian German") << "de_AT"
                                         << "de"
                                         << "Bereit"
                                         << "Abbrechen";
        QTest::newRow("English") << "en_US"
                                 << ""
                                 << "Ready"
                                 << "Cancel";
        QTest::newRow("French: English, also for Qt's texts") << "fr_FR"
                                                              << ""
                                                              << "Ready"
                                                              << "Cancel";
        QTest::newRow("C") << "C"
                           << ""
                           << "Ready"
                           << "Cancel";
    }

    void theEnvironmentsLanguageIsChosen()
    {
        QFETCH(QString, locale);
        QFETCH(QString, language);
        QFETCH(QString, ready);
        QFETCH(QString, qtCancel);
        QCOMPARE(Translations::install(QLocale(locale)), language);
        QCOMPARE(Translations::language(), language);
        QCOMPARE(QCoreApplication::translate("TfrmMain", "Ready"), ready);
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), qtCancel);
        // A text outside the catalogue stays as written.
        QCOMPARE(QCoreApplication::translate("TfrmMain", "10054:Connection reset by peer"),
                 QString("10054:Connection reset by peer"));
    }

    void cleanupTestCase() { Translations::install(QLocale(QLocale::C)); }
};

QTEST_MAIN(TestTranslations)
#include "TestTranslations.moc"
