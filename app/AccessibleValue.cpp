#include "AccessibleValue.h"

#include <QAccessible>
#include <QLabel>

namespace
{
AccessibleValue::EventSpy g_spy = nullptr;
}

void AccessibleValue::setEventSpy(EventSpy spy)
{
    g_spy = spy;
}

void AccessibleValue::relate(QLabel* caption, QLabel* value)
{
    caption->setBuddy(value);
    describe(value, descriptionOf(caption->text()));
}

void AccessibleValue::describe(QLabel* value, const QString& description)
{
    // A name of its own would hide the text; an old one goes.
    value->setAccessibleName(QString());
    value->setAccessibleDescription(description);
}

void AccessibleValue::setText(QLabel* label, const QString& text)
{
    if (label->text() == text)
        return;
    label->setText(text);
    QAccessibleEvent event(label, QAccessible::NameChanged);
    if (g_spy)
        g_spy(&event);
    QAccessible::updateAccessibility(&event);
}

QString AccessibleValue::descriptionOf(const QString& caption)
{
    QString text = caption;
    // "&&" stands for one "&"; a single "&" marks the shortcut letter.
    for (qsizetype i = 0; i < text.size(); ++i)
        if (text.at(i) == QLatin1Char('&'))
            text.remove(i, 1);
    text = text.trimmed();
    if (text.endsWith(QLatin1Char(':')))
        text.chop(1);
    return text.trimmed();
}
