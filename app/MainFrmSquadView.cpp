// TfrmMain's squad view: the tree of the squad page shown (the squad and its
// members), the detail page of the node selected, and its contact links.

#include "MainFrm.h"

#include "AccessibleValue.h"
#include "PageArea.h"
#include "UiSeams.h"

#include <QLabel>
#include <QToolButton>
#include <QTreeView>

namespace
{

// The text of an attribute of a node, or empty text when it has none.
QString attributeText(const XmlNode& node, const QString& name)
{
    const XmlNode attribute = node.attributes().getNamedItem(name);
    return attribute.isNull() ? QString() : attribute.text();
}

// Where the squad detail page keeps the text of a squad child of this name,
// or null for a child it does not show.
template <typename Texts> QString* squadText(Texts& texts, const QString& name)
{
    if (name == QLatin1String("name"))
        return &texts.name;
    if (name == QLatin1String("email"))
        return &texts.email;
    if (name == QLatin1String("web"))
        return &texts.web;
    if (name == QLatin1String("title"))
        return &texts.title;
    if (name == QLatin1String("picture"))
        return &texts.picture;
    return nullptr;
}

// The text of the last child element of that name, or empty text.
QString lastChildText(const XmlNode& node, const QString& name)
{
    QString text;
    const XmlNodeList children = node.childNodes();
    const int count = children.length();
    for (int i = 0; i < count; ++i) {
        const XmlNode child = children.item(i);
        if (child.nodeName() == name)
            text = child.text();
    }
    return text;
}

} // namespace

void TfrmMain::PrepareDetails()
{
    const XmlNode root = DetailDoc.lastChild();
    twSquadModel->beginUpdate();
    twSquadModel->clear();
    SquadTreeModel::Node* squadNode = twSquadModel->addChild(nullptr);
    squadNode->data.Element = root;
    m_squadTexts = SquadTexts{root, {}, {}, {}, {}, {}};
    const XmlNodeList children = root.childNodes();
    const int count = children.length();
    for (int i = 0; i < count; ++i) {
        const XmlNode child = children.item(i);
        const QString name = child.nodeName();
        if (name == QLatin1String("member")) {
            SquadTreeModel::Node* memberNode = twSquadModel->addChild(squadNode);
            memberNode->data.Element = child;
        } else if (QString* text = squadText(m_squadTexts, name)) {
            *text = child.text(); // the last one wins
        }
    }
    twSquadModel->endUpdate();
    const QModelIndex squadIndex = twSquadModel->indexFromNode(squadNode);
    twSquad->selectionModel()->setCurrentIndex(squadIndex, QItemSelectionModel::ClearAndSelect);
    twSquad->expand(squadIndex);
}

void TfrmMain::twSquadGetText(QObject*, SquadTreeModel::Node* node, int, int, QString& cellText)
{
    if (!node)
        return;
    cellText.clear();
    const XmlNode element = node->data.Element;
    if (element.isNull())
        return;
    const QString name = element.nodeName();
    if (name == QLatin1String("squad")) {
        cellText = attributeText(element, QStringLiteral("nick"));
    } else if (name == QLatin1String("member")) {
        const XmlNodeList children = element.childNodes();
        const int count = children.length();
        for (int i = 0; i < count; ++i) {
            const XmlNode child = children.item(i);
            if (child.nodeName() == QLatin1String("name")) {
                cellText = child.text();
                break;
            }
        }
    }
}

void TfrmMain::twSquadChange(QObject*, SquadTreeModel::Node* node)
{
    pgInfo->setPageVisible(tbshtSquad, false);
    pgInfo->setPageVisible(tbshtMember, false);
    if (!node)
        return;
    const QModelIndex index = twSquadModel->indexFromNode(node);
    if (!twSquad->selectionModel()->isSelected(index))
        return;
    const XmlNode element = node->data.Element;
    if (element.isNull())
        return;
    if (element.nodeName() == QLatin1String("squad")) {
        pgInfo->setPageVisible(tbshtSquad, true);
        pgInfo->setPageVisible(tbshtMember, false);
        const SquadTexts texts = squadTextsOf(element);
        AccessibleValue::setText(stSNick, attributeText(element, QStringLiteral("nick")));
        AccessibleValue::setText(stSName, texts.name);
        AccessibleValue::setText(stSEmail, texts.email);
        AccessibleValue::setText(stSWeb, texts.web);
        AccessibleValue::setText(stSTitle, texts.title);
        setScreenCursor(UiSeams::crAppStart);
        showLogo();
        // A logo still decoding keeps the busy cursor until its end.
        if (!logoDecoding())
            setScreenCursor(UiSeams::crDefault);
    }
    if (element.nodeName() == QLatin1String("member")) {
        pgInfo->setPageVisible(tbshtSquad, false);
        pgInfo->setPageVisible(tbshtMember, true);
        AccessibleValue::setText(stMNick, attributeText(element, QStringLiteral("nick")));
        AccessibleValue::setText(stMID, attributeText(element, QStringLiteral("id")));
        AccessibleValue::setText(stMName, lastChildText(element, QStringLiteral("name")));
        AccessibleValue::setText(stMEmail, lastChildText(element, QStringLiteral("email")));
        AccessibleValue::setText(stMICQ, lastChildText(element, QStringLiteral("icq")));
        AccessibleValue::setText(stMDescription, lastChildText(element, QStringLiteral("remark")));
    }
    if (!tbtnDetails->isEnabled()) {
        pgInfo->setPageVisible(tbshtSquad, false);
        pgInfo->setPageVisible(tbshtMember, false);
    }
}

TfrmMain::SquadTexts TfrmMain::squadTextsOf(const XmlNode& element) const
{
    if (element == m_squadTexts.element)
        return m_squadTexts;
    // Not the page PrepareDetails read: its children are read now.
    SquadTexts texts{element, {}, {}, {}, {}, {}};
    const XmlNodeList children = element.childNodes();
    const int count = children.length();
    for (int i = 0; i < count; ++i) {
        const XmlNode child = children.item(i);
        if (QString* text = squadText(texts, child.nodeName()))
            *text = child.text();
    }
    return texts;
}

void TfrmMain::stSEmailMouseMove(QLabel* sender, int x, int y)
{
    if (SavedCursor != 1)
        return;
    if (x <= 1 || y <= 1 || x >= sender->width() - 3 || y >= sender->height() - 3)
        return;
    SavedCursor = qint16(m_seams.screenCursor());
    setScreenCursor(UiSeams::crHandPoint);
    QFont font = sender->font();
    font.setBold(true);
    sender->setFont(font);
}

void TfrmMain::tbshtSquadMouseMove(QWidget*, int, int)
{
    if (SavedCursor >= 1)
        return;
    if (m_seams.screenCursor() == UiSeams::crHandPoint)
        setScreenCursor(SavedCursor);
    for (QLabel* link : {stSEmail, stSWeb, stMEmail}) {
        QFont font = link->font();
        font.setBold(false);
        link->setFont(font);
    }
    SavedCursor = 1;
}

void TfrmMain::stSEmailClick(QLabel* sender)
{
    m_seams.shellOpen(QStringLiteral("mailto:") + sender->text());
}

void TfrmMain::stSWebClick(QLabel* sender)
{
    m_seams.shellOpen(sender->text());
}
