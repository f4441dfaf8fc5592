// The window on a current desktop: every control has a name a screen reader
// announces (a value its text, with a caption that labels it), every menu and button a shortcut letter in each language,
// sizes follow the font, links take the palette's colour, detail texts can
// be copied, and the keyboard returns where it was after a dialog.

#include <QAbstractButton>
#include <QAccessible>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QProgressBar>
#include <QToolButton>
#include <QTreeView>

#include "AboutFrm.h"
#include "FaultHelpers.h"
#include "Translations.h"
#include "WaitControls.h"

using namespace FaultHelpers;

namespace
{

// The controls a screen reader stops at, and the name it would announce.
QStringList unnamedControls(QWidget* top)
{
    QStringList unnamed;
    const QList<QWidget*> widgets = top->findChildren<QWidget*>();
    for (QWidget* widget : widgets) {
        // Qt's own parts (the toolbar's extension, a field's clear button)
        // and the tree's header, which is never shown.
        if (widget->objectName().startsWith(QLatin1String("qt_")) ||
            QByteArray(widget->metaObject()->className()) == "QLineEditIconButton" ||
            (qobject_cast<QHeaderView*>(widget) && widget->isHidden()))
            continue;
        auto* label = qobject_cast<QLabel*>(widget);
        const bool control =
            qobject_cast<QAbstractButton*>(widget) || qobject_cast<QAbstractItemView*>(widget) ||
            qobject_cast<QLineEdit*>(widget) || qobject_cast<QProgressBar*>(widget) ||
            (label && (label->textInteractionFlags().testFlag(Qt::TextSelectableByKeyboard) ||
                       label->objectName() == QLatin1String("imgLogo")));
        if (!control)
            continue;
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
        const QString what = widget->metaObject()->className() + QStringLiteral(" ") + widget->objectName();
        // A value is heard as itself, an empty one by the caption that
        // labels it; a name of its own would hide what it shows.
        const bool value = label && label->objectName() != QLatin1String("imgLogo");
        if (!accessible)
            unnamed << what;
        else if (value && !label->text().isEmpty() && accessible->text(QAccessible::Name) != label->text())
            unnamed << what + QStringLiteral(" (named other than its text)");
        else if (accessible->text(QAccessible::Name).trimmed().isEmpty() &&
                 accessible->relations(QAccessible::Label).isEmpty())
            unnamed << what;
    }
    return unnamed;
}

QChar mnemonic(const QString& text)
{
    const int at = text.indexOf(QLatin1Char('&'));
    return at < 0 || at + 1 >= text.size() ? QChar() : text.at(at + 1).toLower();
}

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT

private:
    WorkingDir m_dir;

    AppSettings settings()
    {
        writeFile(m_dir.filePath("page.xml"), squadPage("P"));
        writeFile(m_dir.filePath("dir.xml"), directory({{"squad", m_dir.filePath("page.xml")}}));
        AppSettings s;
        s.directoryUrl = m_dir.filePath("dir.xml");
        return s;
    }

private slots:
    void init() { freshCache(); }
    void cleanupTestCase() { Translations::install(); }

    void everyControlHasAnAccessibleName()
    {
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        waitIdle(window, 1);
        QVERIFY2(unnamedControls(&window).isEmpty(),
                 qPrintable(unnamedControls(&window).join(", ")));
        selectRow(window.lbSquads, 0);
        window.tbtnDetailsClick();
        waitIdle(window);
        QVERIFY2(unnamedControls(&window).isEmpty(),
                 qPrintable(unnamedControls(&window).join(", ")));

        QStringList inDialogs;
        runAddSquad(window, [&](TfrmAddSquad& dialog) {
            inDialogs << unnamedControls(&dialog);
            dialog.reject();
        });
        TfrmAbout about(&window);
        inDialogs << unnamedControls(&about);
        QVERIFY2(inDialogs.isEmpty(), qPrintable(inDialogs.join(", ")));
    }

    void menusAndButtonsHaveDistinctLetters_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::newRow("English") << "en_US";
        QTest::newRow("Czech") << "cs_CZ";
        QTest::newRow("German") << "de_DE";
    }

    void menusAndButtonsHaveDistinctLetters()
    {
        QFETCH(QString, locale);
        Translations::install(QLocale(locale));
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        // The menu bar and the tool buttons share the window's Alt letters.
        QStringList top;
        for (QAction* action : window.menuBar()->actions())
            top << action->text();
        for (QToolButton* button : {window.tbtnDatabase, window.tbtnDetails, window.tbtnRefresh})
            top << button->text();
        QSet<QChar> letters;
        for (const QString& text : top) {
            const QChar letter = mnemonic(text);
            QVERIFY2(!letter.isNull() && !letters.contains(letter), qPrintable(text));
            letters.insert(letter);
        }
        QCOMPARE(mnemonic(window.miSystem->title()),
                 locale == "en_US" ? QChar('s') : mnemonic(window.miSystem->title()));
        for (QAction* action : window.miSystem->actions())
            QVERIFY2(!mnemonic(action->text()).isNull(), qPrintable(action->text()));
        Translations::install();
    }

    // A window made under a larger font is larger where text must fit.
    void sizesFollowTheFont()
    {
        const QFont original = QApplication::font();
        struct Sizes {
            int field, button, window;
        };
        auto measure = [this](int pointSize) {
            QFont font = QApplication::font();
            font.setPointSize(pointSize);
            QApplication::setFont(font);
            RecordingSeams seams;
            TfrmMain window(settings(), seams);
            return Sizes{window.stSNick->height(), window.tbtnDatabase->minimumWidth(),
                         window.width()};
        };
        const Sizes small = measure(8);
        const Sizes large = measure(16);
        QApplication::setFont(original);
        QVERIFY(large.field > small.field);
        QVERIFY(large.button > small.button);
        QVERIFY(large.window > small.window);
        // One line of the larger font fits a field.
        QFont font = original;
        font.setPointSize(16);
        QVERIFY(large.field >= QFontMetrics(font).height());
    }

    void linksTakeThePalettesColourAndTextsCanBeCopied()
    {
        const QPalette original = QApplication::palette();
        QPalette palette = original;
        palette.setColor(QPalette::Link, QColor(250, 200, 10));
        QApplication::setPalette(palette);
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        for (QLabel* link : {window.stSEmail, window.stSWeb, window.stMEmail})
            QCOMPARE(link->palette().color(link->foregroundRole()), QColor(250, 200, 10));
        QApplication::setPalette(original);
        for (QLabel* field : {window.stSNick, window.stSWeb, window.stMID, window.stMDescription})
            QVERIFY(field->textInteractionFlags().testFlags(Qt::TextSelectableByMouse |
                                                            Qt::TextSelectableByKeyboard));
    }

    // Esc stays with the find field while nothing waits: it empties it.
    void escapeEmptiesTheFindFieldWhileNothingWaits()
    {
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        waitIdle(window, 1);
        QTest::keyClick(&window, Qt::Key_F, Qt::ControlModifier);
        QTRY_COMPARE(window.focusWidget(), window.edtFind);
        QTest::keyClicks(window.edtFind, "sq");
        QTest::keyClick(window.edtFind, Qt::Key_Escape);
        QCOMPARE(window.edtFind->text(), QString());
        QVERIFY(window.isReady());
    }

    void theKeyboardReturnsWhereItWasAfterADialog()
    {
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        waitIdle(window, 1);
        window.lbSquads->setFocus();
        runAddSquad(window, [](TfrmAddSquad& dialog) { dialog.reject(); });
        QTRY_COMPARE(window.focusWidget(), window.lbSquads);
        QTimer::singleShot(0, &window, [] {
            if (auto* about = qobject_cast<TfrmAbout*>(QApplication::activeModalWidget()))
                about->btnOK->click();
        });
        window.edtFind->setFocus();
        window.miAboutClick();
        QTRY_COMPARE(window.focusWidget(), window.edtFind);
    }
};

QTEST_MAIN(TestDesktop)
#include "TestDesktop.moc"
