#include "ui/ErrorLook.h"

#include <QApplication>
#include <QWidget>

QColor ErrorColor()
{
    return QColor(214, 40, 40);
}

void SetErrorLook(QWidget* control, bool error)
{
    QPalette palette = control->palette();
    palette.setColor(QPalette::WindowText,
                     error ? ErrorColor() : QApplication::palette(control).color(QPalette::WindowText));
    control->setPalette(palette);
}
