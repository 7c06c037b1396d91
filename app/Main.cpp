#include "app/Main.h"

#include "ui_Main.h"

#include <QEvent>
#include <QLabel>
#include <QStatusBar>

namespace {

constexpr int kMainWidth = 561;
constexpr int kMainHeight = 372;
constexpr int kVideoPanelMaxWidth = 603;

// Rounds a / b to the nearest whole number, halves to even.
int DivRoundHalfEven(int a, int b)
{
    const int q = a / b;
    const int r = a % b;
    if (2 * r > b || (2 * r == b && (q % 2) != 0))
        return q + 1;
    return q;
}

}  // namespace

TMain::TMain(QWidget* parent) : QMainWindow(parent), ui(std::make_unique<Ui::TMain>())
{
    ui->setupUi(this);

    statusPanels_[0] = new QLabel(this);
    statusPanels_[0]->setObjectName(QStringLiteral("StatusPanel0"));
    statusPanels_[0]->setFixedWidth(400);
    statusPanels_[1] = new QLabel(this);
    statusPanels_[1]->setObjectName(QStringLiteral("StatusPanel1"));
    statusPanels_[1]->setMinimumWidth(0);
    ui->StatusBar1->addWidget(statusPanels_[0]);
    ui->StatusBar1->addWidget(statusPanels_[1], 1);
    ui->StatusBar1->setSizeGripEnabled(false);

    InstallHints();

    setWindowTitle(QStringLiteral("Tarvo Lite") + QStringLiteral(" - Remote Surveillance"));
    // Single fixed border: the user cannot drag the size.
    setFixedSize(kMainWidth, kMainHeight);
    FormResize();
}

TMain::~TMain() = default;

QString TMain::StatusPanelText(int index) const
{
    return statusPanels_[index]->text();
}

void TMain::SetStatusPanelText(int index, const QString& text)
{
    statusPanels_[index]->setText(text);
}

void TMain::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TMain::FormResize()
{
    int width = std::min(this->width() - ui->Panel3->width(), kVideoPanelMaxWidth);
    width = std::max(width, 0);
    ui->Panel2->resize(width, DivRoundHalfEven(width * 3, 4));
    ui->Panel3->move(this->width() - ui->Panel3->width(), 0);
}

void TMain::InstallHints()
{
    struct Hint {
        QWidget* control;
        const char* text;
    };
    const Hint hints[] = {
        {ui->Edit1, "Frame Rate for manual video recording."},
        {ui->CheckPrev, "Check to use Preview video mode (use Overlay if available)."},
        {ui->CheckOverl, "Check to use Overlay video mode (recommended if available)."},
        {ui->CheckFitWindow, "Check to scale image to window."},
        {ui->CheckProportional, "Check to maintain aspect ratio of image."},
        {ui->EditCapPicture, "Enter File Name for single snapshot recording (BMP file)."},
        {ui->EditVideoFile, "Enter File Name for manual video recording (AVI file)."},
        {ui->btnSnapshot, "Click to take a snapshot of the image window."},
        {ui->BtStartStop, "Click to start manual video recording."},
        {ui->EditInterval, "Interval (in minutes) after which a new image is transmitted to remote host."},
        {ui->BitBtnFrameCap, "Click to start periodic image transmission."},
        {ui->GroupBox1, ""},
        {ui->GroupBox2, ""},
        {ui->GroupBox3, ""},
    };
    for (const Hint& h : hints) {
        h.control->setProperty("tarvoHint", QString::fromUtf8(h.text));
        h.control->installEventFilter(this);
    }
}

bool TMain::eventFilter(QObject* watched, QEvent* event)
{
    // The hint stays in panel 0 until another control replaces it.
    if (event->type() == QEvent::Enter) {
        const QVariant hint = watched->property("tarvoHint");
        if (hint.isValid())
            SetStatusPanelText(0, hint.toString());
    }
    return QMainWindow::eventFilter(watched, event);
}
