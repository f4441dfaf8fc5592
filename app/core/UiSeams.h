#pragma once

#include <QString>

// The few places where the program touches the desktop rather than its own
// widgets: message boxes, the application-wide cursor and the shell's "Open".
// The program runs on DesktopSeams; tests put a recorder in their place.
class UiSeams {
public:
    enum class Icon { Information, Warning, Error };

    // Standard cursor ids, as the window code names them.
    static constexpr int crDefault = 0;
    static constexpr int crHourGlass = -11;
    static constexpr int crAppStart = -19;
    static constexpr int crHandPoint = -21;

    virtual ~UiSeams() = default;

    // Shows a modal message box with one OK button; returns when it is closed.
    virtual void messageBox(const QString& text, const QString& caption, Icon icon) = 0;
    virtual void setScreenCursor(int cursorId) = 0;
    virtual int screenCursor() const = 0;
    // Hands an address to the desktop's handler for it; the result is not examined.
    virtual void shellOpen(const QString& target) = 0;
};
