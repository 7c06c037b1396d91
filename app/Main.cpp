#include "app/Main.h"

TMain::TMain(QWidget* parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("Main"));
    setWindowTitle(QStringLiteral("Tarvo Lite") + QStringLiteral(" - Remote Surveillance"));
    // Single fixed border: the user cannot drag the size.
    setFixedSize(561, 372);
}

TMain::~TMain() = default;
