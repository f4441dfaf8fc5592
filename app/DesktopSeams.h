#pragma once

#include "UiSeams.h"

class QWidget;

// The real desktop: QMessageBox, QApplication's override cursor and
// QDesktopServices.
class DesktopSeams : public UiSeams {
public:
    void messageBox(const QString& text, const QString& caption, Icon icon) override;
    void setScreenCursor(int cursorId) override;
    int screenCursor() const override { return m_cursor; }
    void shellOpen(const QString& target) override;

private:
    int m_cursor = crDefault;
};
