#pragma once
// The OK button of a settings dialog: the dialog closes only when its OK
// handler finished; an error is shown and the dialog stays open, so the user
// can correct or cancel.

#include <functional>

class QDialog;
class QPushButton;

void ConnectOkButton(QPushButton* ok, QDialog* dialog, std::function<void()> handler);
