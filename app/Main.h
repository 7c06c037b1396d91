#pragma once

#include <QMainWindow>

class TMain : public QMainWindow
{
    Q_OBJECT

public:
    explicit TMain(QWidget* parent = nullptr);
    ~TMain() override;
};
