// What a screen reader hears of the window, read from the accessibility
// tree: the status line and each detail value say what they show, with their
// caption as description and relation, and every change of them is sent as
// a name change.

#include <QAccessible>
#include <QProgressBar>
#include <QStatusBar>
#include <QTreeView>

#include "AccessibleValue.h"
#include "FaultHelpers.h"
#include "OfflineCache.h"
#include "PageArea.h"
#include "WaitControls.h"

using namespace FaultHelpers;

namespace
{

struct Sent {
    QObject* object;
    QAccessible::Event type;
};
QList<Sent> g_sent;

void record(QAccessibleEvent* event)
{
    g_sent.append({event->object(), event->type()});
}

int nameChanges(QObject* object)
{
    return int(std::count_if(g_sent.cbegin(), g_sent.cend(), [object](const Sent& sent) {
        return sent.object == object && sent.type == QAccessible::NameChanged;
    }));
}

QString accessibleText(QObject* object, QAccessible::Text which)
{
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(object);
    return accessible ? accessible->text(which) : QStringLiteral("<no interface>");
}

// The objects that label this one (labelled-by), or that it labels.
QList<QObject*> related(QObject* object, QAccessible::Relation relation)
{
    QList<QObject*> objects;
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(object);
    for (const auto& [other, kind] : accessible->relations(relation))
        objects << other->object();
    return objects;
}

} // namespace

class TestAccessibility : public QObject
{
    Q_OBJECT

private:
    WorkingDir m_dir;

    AppSettings settings()
    {
        writeFile(m_dir.filePath("page.xml"), R"(<squad nick="ALPHA"><name>Alpha Squadron</name>
<email>alpha@example.org</email><web>http://alpha.example.org/?a=1&amp;b=2</web>
<title>[A]</title><member nick="Ace" id="7"><name>Ann Ace</name><email>ann@example.org</email>
<icq>12345</icq><remark>wing leader</remark></member></squad>)");
        writeFile(m_dir.filePath("dir.xml"), directory({{"ALPHA", m_dir.filePath("page.xml")}}));
        AppSettings s;
        s.directoryUrl = m_dir.filePath("dir.xml");
        return s;
    }

    // The value box, its caption above it on the page, and the caption's
    // text. An empty value is named by its caption, as Qt names a control
    // without a name by its buddy's text.
    void expectValue(TfrmMain& window, QLabel* box, const QString& value, const QString& caption)
    {
        QCOMPARE(box->text(), value);
        const QString name = accessibleText(box, QAccessible::Name);
        QCOMPARE(value.isEmpty() ? TestLanguage::sourceText(name) : name,
                 value.isEmpty() ? caption + ":" : value);
        const QList<QObject*> labels = related(box, QAccessible::Label);
        QCOMPARE(labels.size(), 1);
        auto* label = qobject_cast<QLabel*>(labels.first());
        QVERIFY(label && label->isVisibleTo(&window) == box->isVisibleTo(&window));
        QCOMPARE(TestLanguage::sourceText(label->text()), caption + ":");
        QCOMPARE(related(label, QAccessible::Labelled), QList<QObject*>{box});
        // The caption, as shown, without its colon.
        QString description = label->text();
        description.chop(1);
        QCOMPARE(accessibleText(box, QAccessible::Description), description);
    }

private slots:
    void init()
    {
        freshCache();
        g_sent.clear();
        AccessibleValue::setEventSpy(record);
    }
    void cleanup() { AccessibleValue::setEventSpy(nullptr); }

    // The status line's name is the status shown, before and after a
    // change, and each change is sent; "Status" is its description.
    void theStatusLineIsHeardAsItChanges()
    {
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        QLabel* status = window.statusLabel();
        QCOMPARE(TestLanguage::sourceText(accessibleText(status, QAccessible::Name)),
                 QString("Loading database..."));
        QCOMPARE(TestLanguage::sourceText(accessibleText(status, QAccessible::Description)),
                 QString("Status"));
        QVERIFY(status->accessibleName().isEmpty());
        QCOMPARE(nameChanges(status), 1);

        waitIdle(window, 1);
        QCOMPARE(TestLanguage::sourceText(accessibleText(status, QAccessible::Name)),
                 QString("Ready"));
        QCOMPARE(nameChanges(status), 2);
        // The same status again is no change to announce.
        window.setStatus("Ready");
        QCOMPARE(nameChanges(status), 2);

        selectRow(window.lbSquads, 0);
        window.tbtnDetailsClick();
        QCOMPARE(TestLanguage::sourceText(accessibleText(status, QAccessible::Name)),
                 QString("Loading squad details ..."));
        QCOMPARE(nameChanges(status), 3);
        waitIdle(window);
        QCOMPARE(TestLanguage::sourceText(accessibleText(status, QAccessible::Name)),
                 QString("Ready"));
    }

    // Each detail value is heard as its value, with its caption related to
    // it and as its description; a new squad or member is sent as changes.
    void detailValuesAreHeardWithTheirCaptions()
    {
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        waitIdle(window, 1);
        // Before any squad is shown the values are empty, the captions related.
        expectValue(window, window.stSName, "", "Squad name (squad page title)");
        expectValue(window, window.stMID, "", "Player ID");

        openSquad(window, m_dir.filePath("page.xml"));
        expectValue(window, window.stSNick, "ALPHA", "Squad nick (shown with member name)");
        expectValue(window, window.stSName, "Alpha Squadron", "Squad name (squad page title)");
        expectValue(window, window.stSEmail, "alpha@example.org", "E-mail address");
        expectValue(window, window.stSWeb, "http://alpha.example.org/?a=1&b=2", "WWW pages");
        expectValue(window, window.stSTitle, "[A]", "Squad Title (on vehicles)");
        for (QLabel* box :
             {window.stSNick, window.stSName, window.stSEmail, window.stSWeb, window.stSTitle})
            QCOMPARE(nameChanges(box), 1);
        QCOMPARE(TestLanguage::sourceText(accessibleText(window.imgLogo, QAccessible::Name)),
                 QString("Squad logo"));

        window.twSquad->setCurrentIndex(
            window.twSquadModel->index(0, 0, window.twSquadModel->index(0, 0)));
        QVERIFY(window.pgInfo->isPageVisible(window.tbshtMember));
        expectValue(window, window.stMNick, "Ace", "Player nick");
        expectValue(window, window.stMID, "7", "Player ID");
        expectValue(window, window.stMName, "Ann Ace", "Name");
        expectValue(window, window.stMICQ, "12345", "ICQ number");
        expectValue(window, window.stMEmail, "ann@example.org", "E-mail address");
        expectValue(window, window.stMDescription, "wing leader", "Description");
        QCOMPARE(nameChanges(window.stMDescription), 1);
    }

    // The offline panel and the progress text are heard as what they say.
    void thePanelsOfTheStatusBarAreHeardAsTheirTexts()
    {
        const AppSettings s = settings();
        OfflineCache cache;
        writeFile(cache.bodyFile(s.directoryUrl, OfflineCache::DirectoryCopy),
                  directory({{"Kept", m_dir.filePath("page.xml")}}));
        QVERIFY(cache.record(s.directoryUrl, OfflineCache::DirectoryCopy, {}, {}));
        RecordingSeams seams;
        TfrmMain window(s, seams);
        QLabel* panel = window.offlinePanel();
        QVERIFY(window.showingOfflineCopy());
        QVERIFY(!panel->text().isEmpty());
        QCOMPARE(accessibleText(panel, QAccessible::Name), panel->text());
        QCOMPARE(TestLanguage::sourceText(accessibleText(panel, QAccessible::Description)),
                 QString("The squad list kept from an earlier run; the live list replaces it "
                         "as soon as it loads"));
        QCOMPARE(nameChanges(panel), 1);
        waitIdle(window, 1);
        QVERIFY(!window.showingOfflineCopy());
        QCOMPARE(accessibleText(panel, QAccessible::Name), QString());
        QCOMPARE(nameChanges(panel), 2);

        WaitControls* wait = window.waitControls();
        wait->begin(true);
        wait->setProgress(2048, 4096);
        QLabel* progress = wait->progressLabel();
        QVERIFY(!progress->text().isEmpty());
        QCOMPARE(accessibleText(progress, QAccessible::Name), progress->text());
        QCOMPARE(TestLanguage::sourceText(accessibleText(progress, QAccessible::Description)),
                 QString("Progress"));
        wait->setNotCancellable("no way back");
        QCOMPARE(accessibleText(progress, QAccessible::Name), QString("no way back"));
        QCOMPARE(nameChanges(progress), 1);
        wait->end();
    }
};

QTEST_MAIN(TestAccessibility)
#include "TestAccessibility.moc"
