#pragma once

#include "TestLanguage.h"
#include "UiSeams.h"

#include <QList>
#include <QString>

// Stands in for the desktop in tests: records every message box, cursor
// change and shell call instead of showing or doing anything. Messages are
// recorded in English whatever language the window shows them in.
class RecordingSeams : public UiSeams {
public:
    struct Message {
        QString text;
        QString caption;
        Icon icon;
    };

    void messageBox(const QString& text, const QString& caption, Icon icon) override
    {
        messages.append({TestLanguage::sourceText(text), TestLanguage::sourceText(caption), icon});
    }
    void setScreenCursor(int cursorId) override
    {
        cursor = cursorId;
        cursorHistory.append(cursorId);
    }
    int screenCursor() const override { return cursor; }
    void shellOpen(const QString& target) override { opened.append(target); }

    QList<Message> messages;
    QList<int> cursorHistory;
    QStringList opened;
    int cursor = crDefault;
};
