#pragma once

// AccessibleValue: how assistive technology hears a label whose text is a
// value or a status (a detail field, the status line, a progress count).
//
// A label tells a screen reader its accessible name, which is its text
// unless it was given a name of its own; such a name would replace what the
// label shows. So these labels never get one: the caption that the window
// shows above a value becomes its buddy, which puts a labelled-by relation
// on the value (and a label-for relation on the caption), and the caption,
// without its colon, becomes the value's description; a status line, which
// has no caption on the screen, gets its description only. Qt 6.4 sends no
// event when a label's text changes, so setText() sends the name change that
// a screen reader announces a new status or value by.

class QAccessibleEvent;
class QLabel;
class QString;

namespace AccessibleValue
{

// caption's text is the value's caption; value keeps its text as its name.
void relate(QLabel* caption, QLabel* value);
// value's description: what the value is, heard with it.
void describe(QLabel* value, const QString& description);
// Sets the label's text; a change is announced as a change of its name.
void setText(QLabel* label, const QString& text);
// The caption's text as a description: without mnemonic and final colon.
QString descriptionOf(const QString& caption);

// Sees every event setText() sends, before the platform does. Qt hands
// events to its own test hook only while a platform accessibility bridge is
// active, which the offscreen platform of the tests has not; so tests
// install this instead. Null: none.
using EventSpy = void (*)(QAccessibleEvent* event);
void setEventSpy(EventSpy spy);

} // namespace AccessibleValue
