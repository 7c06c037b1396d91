#pragma once
// How a failure looks wherever it is shown: one colour for a text that says
// something went wrong and for the tray's failing lamp.

#include <QColor>

class QWidget;

QColor ErrorColor();

// A text control's letters in the error colour, or in its palette's own again.
void SetErrorLook(QWidget* control, bool error);
