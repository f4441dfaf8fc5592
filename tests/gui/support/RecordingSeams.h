#pragma once

#include "UiSeams.h"

#include <QList>
#include <QString>

// Stands in for the desktop in tests: records every message box, cursor
// change and shell call instead of showing or doing anything.
class RecordingSeams : public UiSeams {
public:
    struct Message {
        QString text;
        QString caption;
        Icon icon;
    };

    void messageBox(const QString& text, const QString& caption, Icon icon) override
    {
        messages.append({text, caption, icon});
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
