#include "tests/support/fake_dialogs.h"

namespace testsupport {

using namespace platform;

void FakeDialogs::MessageBeep()
{
    ++beeps;
}

int FakeDialogs::MessageDlg(const QString& text, MsgDlgType type, MsgDlgButtons buttons, MsgDlgButton defaultButton)
{
    shown.push_back({text, type, buttons, defaultButton});
    if (whileShown)
        whileShown(text);
    if (!answers.empty()) {
        const int a = answers.front();
        answers.pop_front();
        return a;
    }
    if (buttons & defaultButton)
        return ButtonResult(defaultButton);
    if (buttons & mbOK) return mrOk;
    if (buttons & mbYes) return mrYes;
    if (buttons & mbNo) return mrNo;
    return mrCancel;
}

bool FakeDialogs::SaveFile(SaveFileRequest& request)
{
    saveRequests.push_back(request);
    if (saveAnswers.empty())
        return false;
    const QString path = saveAnswers.front();
    saveAnswers.pop_front();
    if (path.isEmpty())
        return false;
    request.fileName = path;
    return true;
}

void FakeDialogs::SetCursor(Cursor cursor)
{
    cursor_ = cursor;
    cursors.push_back(cursor);
}

void FakeDialogs::ShowException(const QString& message)
{
    exceptions << message;
}

ScopedFakeDialogs::ScopedFakeDialogs()
{
    auto fake = std::make_unique<FakeDialogs>();
    fake_ = fake.get();
    previous_ = SetDialogs(std::move(fake));
}

ScopedFakeDialogs::~ScopedFakeDialogs()
{
    SetDialogs(std::move(previous_));
}

}  // namespace testsupport
