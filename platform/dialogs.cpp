#include "platform/dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>

namespace platform {
namespace {

struct ButtonMap {
    MsgDlgButton button;
    QMessageBox::StandardButton qt;
    ModalResult result;
};
constexpr ButtonMap kButtons[] = {
    {mbYes, QMessageBox::Yes, mrYes},       {mbNo, QMessageBox::No, mrNo},
    {mbOK, QMessageBox::Ok, mrOk},          {mbCancel, QMessageBox::Cancel, mrCancel},
    {mbAbort, QMessageBox::Abort, mrAbort}, {mbRetry, QMessageBox::Retry, mrRetry},
    {mbIgnore, QMessageBox::Ignore, mrIgnore},
};

class QtDialogs final : public DialogService
{
public:
    void MessageBeep() override { QApplication::beep(); }

    int MessageDlg(const QString& text, MsgDlgType type, MsgDlgButtons buttons, MsgDlgButton defaultButton) override
    {
        QMessageBox box(QApplication::activeWindow());
        box.setText(QString(text).replace(QLatin1Char('\r'), QLatin1Char('\n')));
        switch (type) {
        case MsgDlgType::Warning: box.setIcon(QMessageBox::Warning); box.setWindowTitle(QStringLiteral("Warning")); break;
        case MsgDlgType::Error: box.setIcon(QMessageBox::Critical); box.setWindowTitle(QStringLiteral("Error")); break;
        case MsgDlgType::Information: box.setIcon(QMessageBox::Information); box.setWindowTitle(QStringLiteral("Information")); break;
        case MsgDlgType::Confirmation: box.setIcon(QMessageBox::Question); box.setWindowTitle(QStringLiteral("Confirm")); break;
        case MsgDlgType::Custom: box.setWindowTitle(QApplication::applicationName()); break;
        }
        QMessageBox::StandardButtons qtButtons;
        for (const ButtonMap& m : kButtons)
            if (buttons & m.button)
                qtButtons |= m.qt;
        if (!qtButtons)
            qtButtons = QMessageBox::Ok;
        box.setStandardButtons(qtButtons);
        for (const ButtonMap& m : kButtons)
            if (defaultButton == m.button && (buttons & m.button))
                box.setDefaultButton(m.qt);
        const int answer = box.exec();
        for (const ButtonMap& m : kButtons)
            if (answer == m.qt)
                return m.result;
        return (buttons & mbCancel) ? mrCancel : mrNone;
    }

    bool SaveFile(SaveFileRequest& request) override
    {
        QString start = request.fileName;
        if (!request.initialDir.isEmpty())
            start = request.initialDir + QLatin1Char('/') + request.fileName;
        QString chosen = QFileDialog::getSaveFileName(request.owner, request.title, start, request.filter);
        if (chosen.isEmpty())
            return false;
        if (!request.defaultExt.isEmpty() && QFileInfo(chosen).suffix().isEmpty())
            chosen += QLatin1Char('.') + request.defaultExt;
        request.fileName = chosen;
        return true;
    }

    void SetCursor(Cursor cursor) override
    {
        if (cursor == current_)
            return;
        if (current_ != Cursor::Default)
            QGuiApplication::restoreOverrideCursor();
        current_ = cursor;
        switch (cursor) {
        case Cursor::Default: break;
        case Cursor::HourGlass: QGuiApplication::setOverrideCursor(Qt::WaitCursor); break;
        case Cursor::AppStart: QGuiApplication::setOverrideCursor(Qt::BusyCursor); break;
        case Cursor::HandPoint: QGuiApplication::setOverrideCursor(Qt::PointingHandCursor); break;
        }
    }

    Cursor CurrentCursor() const override { return current_; }

    void ShowException(const QString& message) override
    {
        QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), message, QMessageBox::Ok,
                        QApplication::activeWindow());
        box.exec();
    }

private:
    Cursor current_ = Cursor::Default;
};

std::unique_ptr<DialogService>& installed()
{
    static std::unique_ptr<DialogService> service = std::make_unique<QtDialogs>();
    return service;
}

}  // namespace

ModalResult ButtonResult(MsgDlgButton button)
{
    for (const ButtonMap& m : kButtons)
        if (m.button == button)
            return m.result;
    return mrNone;
}

DialogService& Dialogs()
{
    return *installed();
}

std::unique_ptr<DialogService> SetDialogs(std::unique_ptr<DialogService> service)
{
    if (!service)
        service = std::make_unique<QtDialogs>();
    std::swap(service, installed());
    return service;
}

}  // namespace platform
