#include "ui/DialogOk.h"

#include "platform/application.h"

#include <QDialog>
#include <QPushButton>

void ConnectOkButton(QPushButton* ok, QDialog* dialog, std::function<void()> handler)
{
    QObject::connect(ok, &QPushButton::clicked, dialog, [dialog, handler = std::move(handler)] {
        try {
            handler();
        } catch (const std::exception& e) {
            platform::ShowUnhandledException(e);
            return;
        }
        dialog->accept();
    });
}
