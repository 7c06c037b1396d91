#include "ui/DigitFilter.h"

#include "platform/dialogs.h"

#include <QKeyEvent>
#include <QLineEdit>

bool DigitFilterAccepts(QChar key)
{
    if (key == QChar(8) || (key >= QLatin1Char('0') && key <= QLatin1Char('9')))
        return true;
    platform::Dialogs().MessageBeep();
    platform::Dialogs().MessageDlg(QStringLiteral("Invalid entry: ") + key, platform::MsgDlgType::Error, platform::mbOK);
    return false;
}

void InstallDigitFilter(QLineEdit* edit)
{
    edit->installEventFilter(new TDigitFilter(edit));
}

bool TDigitFilter::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        switch (key->key()) {
        // Dialog keys and editing keys that type no character pass unfiltered.
        case Qt::Key_Return: case Qt::Key_Enter: case Qt::Key_Escape: case Qt::Key_Tab:
        case Qt::Key_Backtab: case Qt::Key_Delete:
            return QObject::eventFilter(watched, event);
        default:
            break;
        }
        for (QChar c : key->text())
            if (!DigitFilterAccepts(c))
                return true;
    }
    return QObject::eventFilter(watched, event);
}
