#include "DesktopSeams.h"

#include "ShellOpen.h"

#include <QApplication>
#include <QCursor>
#include <QMessageBox>
#include <QPointer>

void DesktopSeams::messageBox(const QString& text, const QString& caption, Icon icon)
{
    QMessageBox box(icon == Icon::Information ? QMessageBox::Information
                    : icon == Icon::Warning   ? QMessageBox::Warning
                                              : QMessageBox::Critical,
                    caption, text, QMessageBox::Ok, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    // The keyboard goes back where it was once the box is closed.
    const QPointer<QWidget> focus = QApplication::focusWidget();
    box.exec();
    if (focus)
        focus->setFocus();
}

void DesktopSeams::setScreenCursor(int cursorId)
{
    // The screen cursor is one application-wide override: default means none.
    m_cursor = cursorId;
    while (QApplication::overrideCursor())
        QApplication::restoreOverrideCursor();
    Qt::CursorShape shape;
    switch (cursorId) {
    case crHourGlass: shape = Qt::WaitCursor; break;
    case crAppStart: shape = Qt::BusyCursor; break;
    case crHandPoint: shape = Qt::PointingHandCursor; break;
    default: return;
    }
    QApplication::setOverrideCursor(QCursor(shape));
}

void DesktopSeams::shellOpen(const QString& target)
{
    ::shellOpen(target);
}
