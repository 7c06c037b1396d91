#pragma once
// The key filter of the numeric fields: backspace and the digits pass; any
// other typed character, control characters included, is refused with the
// default beep and the error box "Invalid entry: " followed by it.

#include <QObject>

class QLineEdit;

// True when key may go into the field; otherwise beeps, shows the box and
// answers false.
bool DigitFilterAccepts(QChar key);

// Applies the filter to every key typed into edit; the filter lives as long as edit.
void InstallDigitFilter(QLineEdit* edit);

class TDigitFilter : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
