#include "ui/AboutDlg.h"

#include "ui/Legacy.h"
#include "ui/URL.h"
#include "ui_AboutDlg.h"

#include <QCoreApplication>
#include <QPainter>
#include <QPainterPath>

namespace {

const QString kProgramName = QStringLiteral("Tarvo Lite");

void SetTextColor(QWidget* w, const QColor& color)
{
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, color);
    w->setPalette(p);
}

void SetPixelSize(QWidget* w, int px)
{
    QFont f = w->font();
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(px);
    w->setFont(f);
}

}  // namespace

TAboutDlg::TAboutDlg(QWidget* parent, const QString& programFile)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), ui_(std::make_unique<Ui::TAboutDlg>())
{
    ui_->setupUi(this);
    setFixedSize(514, 191);

    // Blue background (red 0, green 128, blue 255).
    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(0, 128, 255));
    setPalette(p);
    setAutoFillBackground(true);

    SetTextColor(ui_->lblProgramName, Qt::white);
    SetPixelSize(ui_->lblProgramName, 21);
    SetTextColor(ui_->lblVersion, Qt::white);
    SetTextColor(ui_->lblTrademark, Qt::cyan);
    SetTextColor(ui_->Legacy1, Qt::cyan);
    SetPixelSize(ui_->Legacy1, 13);
    ui_->Legacy1->SetActiveColor(Qt::green);  // lime: pure green
    ui_->Legacy1->SetAdressType(atWWW);
    ui_->Legacy1->SetAdress(QString::fromLatin1(kMakerWebAddress));
    ui_->Legacy1->setText(QString::fromLatin1(kMakerWebAddress));
    ui_->Image1->setPixmap(Logo(ui_->Image1->width()));

    SetProgramTitle(kProgramName);
    fileVersion_.GetVersionInfo(programFile.isEmpty() ? QCoreApplication::applicationFilePath() : programFile);
    ui_->lblVersion->setText(VersionCaption(fileVersion_));
}

TAboutDlg::~TAboutDlg() = default;

void TAboutDlg::SetProgramTitle(const QString& title)
{
    ui_->lblProgramName->setText(title + QStringLiteral(" :  webcam surveillance application"));
}

int TAboutDlg::Execute(QWidget* parent, const QString& dataFolder, const QString& programTitle)
{
    TAboutDlg dialog(parent);
    if (!programTitle.isEmpty())
        dialog.SetProgramTitle(programTitle);
    if (!dataFolder.isEmpty())
        dialog.SetDataFolder(dataFolder);
    return dialog.exec();
}

void TAboutDlg::SetDataFolder(const QString& folder)
{
    // One more line under the version; the box grows by it.
    constexpr int kLine = 22;
    if (!lblDataFolder_) {
        lblDataFolder_ = new QLabel(this);
        lblDataFolder_->setObjectName(QStringLiteral("lblDataFolder"));
        lblDataFolder_->setAlignment(Qt::AlignCenter);
        lblDataFolder_->setGeometry(ui_->lblVersion->x(), ui_->lblVersion->y() + kLine, ui_->lblVersion->width(), 20);
        lblDataFolder_->setTextInteractionFlags(Qt::TextSelectableByMouse);
        SetTextColor(lblDataFolder_, Qt::white);
        ui_->btnClose->move(ui_->btnClose->x(), ui_->btnClose->y() + kLine);
        setFixedSize(width(), height() + kLine);
    }
    lblDataFolder_->setText(QStringLiteral("Settings and working files: ") + folder);
    lblDataFolder_->setToolTip(folder);
}

QLabel* TAboutDlg::lblProgramName() const { return ui_->lblProgramName; }
QLabel* TAboutDlg::lblVersion() const { return ui_->lblVersion; }
QLabel* TAboutDlg::lblTrademark() const { return ui_->lblTrademark; }
QLabel* TAboutDlg::Image1() const { return ui_->Image1; }
TLegacy* TAboutDlg::Legacy1() const { return ui_->Legacy1; }
QPushButton* TAboutDlg::btnClose() const { return ui_->btnClose; }

QString TAboutDlg::VersionCaption(const TrsFileVersion& version)
{
    return QStringLiteral("Version ") + version.VersionAndBuild();
}

QPixmap TAboutDlg::Logo(int size)
{
    // A webcam: a round lens on a stand, drawn so that it stays sharp at any size.
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter g(&pm);
    g.setRenderHint(QPainter::Antialiasing);
    g.scale(size / 100.0, size / 100.0);
    g.setPen(QPen(QColor(20, 40, 90), 3));
    g.setBrush(QColor(235, 240, 250));
    g.drawEllipse(QPointF(50, 42), 34, 34);
    g.setBrush(QColor(30, 30, 40));
    g.drawEllipse(QPointF(50, 42), 20, 20);
    g.setBrush(QColor(70, 130, 220));
    g.drawEllipse(QPointF(50, 42), 11, 11);
    g.setPen(Qt::NoPen);
    g.setBrush(Qt::white);
    g.drawEllipse(QPointF(45, 37), 4, 4);
    g.setBrush(QColor(220, 30, 30));
    g.drawEllipse(QPointF(74, 20), 4, 4);
    QPainterPath stand;
    stand.moveTo(42, 76);
    stand.lineTo(58, 76);
    stand.lineTo(66, 94);
    stand.lineTo(34, 94);
    stand.closeSubpath();
    g.setPen(QPen(QColor(20, 40, 90), 3));
    g.setBrush(QColor(235, 240, 250));
    g.drawPath(stand);
    return pm;
}
