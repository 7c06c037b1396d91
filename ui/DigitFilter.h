#pragma once
// The key filter of the numeric fields: backspace and the digits pass; any
// other typed character is refused with the default beep and the error box
// "Invalid entry: " followed by it. Editing shortcuts (select all, copy, cut,
// undo, ...) type no character and pass; a paste or a drop is taken when it
// is all digits and refused with the same box otherwise.

#include <QObject>

class QLineEdit;

// True when key may go into the field; otherwise beeps, shows the box and
// answers false.
bool DigitFilterAccepts(QChar key);

// Applies the filter to every key, paste and drop into edit; the filter
// lives as long as edit.
void InstallDigitFilter(QLineEdit* edit);

// Makes edit exactly wide enough to show a number of digits whole (a port:
// 5, a time limit: 4) in its font and style.
void FitDigits(QLineEdit* edit, int digits);

class TDigitFilter : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
