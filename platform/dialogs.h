#pragma once
// Message beep, message boxes, the save-file dialog, the screen cursor and the
// standard error box behind one replaceable service, so that tests can answer
// and record what production shows in Qt dialogs.

#include <QString>

#include <memory>

class QWidget;

namespace platform {

enum class MsgDlgType { Warning, Error, Information, Confirmation, Custom };

// Buttons of a message dialog (a set) and the answers it gives.
enum MsgDlgButton : unsigned {
    mbYes = 1u << 0,
    mbNo = 1u << 1,
    mbOK = 1u << 2,
    mbCancel = 1u << 3,
    mbAbort = 1u << 4,
    mbRetry = 1u << 5,
    mbIgnore = 1u << 6,
};
using MsgDlgButtons = unsigned;

enum ModalResult : int {
    mrNone = 0,
    mrOk = 1,
    mrCancel = 2,
    mrAbort = 3,
    mrRetry = 4,
    mrIgnore = 5,
    mrYes = 6,
    mrNo = 7,
};

// The answer a button gives.
ModalResult ButtonResult(MsgDlgButton button);

enum class Cursor : int {
    Default = 0,
    HourGlass = -11,
    AppStart = -19,
    HandPoint = -21,
};

struct SaveFileRequest {
    QWidget* owner = nullptr;
    QString title;
    QString filter;        // Qt filter text, e.g. "Text files (*.txt);;All files (*)"
    QString defaultExt;    // appended when the chosen name has none
    QString initialDir;
    QString fileName;      // in: proposed name; out: chosen path
};

class DialogService
{
public:
    virtual ~DialogService() = default;

    virtual void MessageBeep() = 0;
    // defaultButton: the one Return presses; none: the first of buttons.
    virtual int MessageDlg(const QString& text, MsgDlgType type, MsgDlgButtons buttons,
                           MsgDlgButton defaultButton = MsgDlgButton{}) = 0;
    // False when the user cancelled; the chosen path is in request.fileName.
    virtual bool SaveFile(SaveFileRequest& request) = 0;
    virtual void SetCursor(Cursor cursor) = 0;
    virtual Cursor CurrentCursor() const = 0;
    // The toolkit's standard error box for an exception a handler let escape.
    virtual void ShowException(const QString& message) = 0;
};

// The installed service (Qt dialogs unless a test installed another).
DialogService& Dialogs();
// Installs a service and returns the previous one; null restores Qt dialogs.
std::unique_ptr<DialogService> SetDialogs(std::unique_ptr<DialogService> service);

}  // namespace platform
