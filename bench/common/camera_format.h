#pragma once
// Picks a frame size in the camera's format dialog: call before the action
// that shows the dialog; the size is chosen and the dialog accepted once it
// is up.

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QString>
#include <QTimer>

namespace bench {

inline void ChooseFormat(const QString& size)  // "640 x 480"
{
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, size] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog || dialog->objectName() != QStringLiteral("CaptureFormatDialog"))
            return;
        timer->stop();
        timer->deleteLater();
        auto* sizes = dialog->findChild<QComboBox*>(QStringLiteral("FrameSizeCombo"));
        sizes->setCurrentIndex(sizes->findText(size));
        dialog->accept();
    });
    timer->start();
}

}  // namespace bench
