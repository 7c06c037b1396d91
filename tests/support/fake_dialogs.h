#pragma once
// A scripted dialog service: answers from a queue and records what was shown.

#include "platform/dialogs.h"

#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <vector>

namespace testsupport {

class FakeDialogs final : public platform::DialogService
{
public:
    struct Shown {
        QString text;
        platform::MsgDlgType type;
        platform::MsgDlgButtons buttons;
        platform::MsgDlgButton defaultButton;  // as asked; none: the first
    };

    // Answers given to MessageDlg in order; when empty, the default button's
    // answer (a user pressing Return).
    std::deque<int> answers;
    // Runs while a message box is up, before it is answered: a test that
    // waits in here (pumping events) models a box nobody clicks.
    std::function<void(const QString& text)> whileShown;
    // Paths chosen in the save dialog in order; an empty string cancels.
    std::deque<QString> saveAnswers;

    int beeps = 0;
    std::vector<Shown> shown;
    std::vector<platform::SaveFileRequest> saveRequests;
    std::vector<platform::Cursor> cursors;
    QStringList exceptions;

    void MessageBeep() override;
    int MessageDlg(const QString& text, platform::MsgDlgType type, platform::MsgDlgButtons buttons,
                   platform::MsgDlgButton defaultButton) override;
    bool SaveFile(platform::SaveFileRequest& request) override;
    void SetCursor(platform::Cursor cursor) override;
    platform::Cursor CurrentCursor() const override { return cursor_; }
    void ShowException(const QString& message) override;

private:
    platform::Cursor cursor_ = platform::Cursor::Default;
};

// Installs a FakeDialogs for the lifetime of this object.
class ScopedFakeDialogs
{
public:
    ScopedFakeDialogs();
    ~ScopedFakeDialogs();
    FakeDialogs* operator->() { return fake_; }
    FakeDialogs& operator*() { return *fake_; }

private:
    FakeDialogs* fake_;
    std::unique_ptr<platform::DialogService> previous_;
};

}  // namespace testsupport
