#include "app/DriverDialog.h"

#include "ui/HtmlHelpBridge.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

TDriverDialog::TDriverDialog(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("DlgCapDriver"));
    setWindowTitle(QStringLiteral("Select Capture Driver"));
    setFont(QFont(QStringLiteral("Arial"), 8));
    apphelp::SetHelpContext(this, 10);

    comboBox1_ = new QComboBox(this);
    comboBox1_->setObjectName(QStringLiteral("ComboBox1"));
    comboBox1_->setEditable(false);
    comboBox1_->setFixedWidth(406);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("OKBtn"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("CancelBtn"));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(comboBox1_, 0, Qt::AlignHCenter);
    layout->addLayout(buttons);
    setFixedSize(453, 103);
}
