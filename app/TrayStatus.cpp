#include "app/TrayStatus.h"

#include "app/Main.h"
#include "app/ProgramFiles.h"
#include "app/Profiles.h"
#include "platform/locale.h"
#include "ui/ErrorLook.h"

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QWidget>

namespace {

// An item of the tray menu that triggers one of the main window's actions
// and follows its caption and enabled state.
void AddMirror(QMenu& menu, QAction* source)
{
    if (!source)
        return;
    QAction* item = menu.addAction(source->text());
    auto follow = [item, source] {
        item->setText(source->text());
        // While a dialog is modal, the window's commands wait for it.
        item->setEnabled(source->isEnabled() && !QApplication::activeModalWidget());
    };
    follow();
    QObject::connect(source, &QAction::changed, item, follow);
    QObject::connect(&menu, &QMenu::aboutToShow, item, follow);
    QObject::connect(item, &QAction::triggered, source, [source] { source->trigger(); });
}

}  // namespace

TrayStatus::TrayStatus(QWidget* window, QAction* startStop, QAction* viewErrorLog, QAction* close)
    : window_(window), menu_(std::make_unique<QMenu>())
{
    menu_->setObjectName(QStringLiteral("TrayMenu"));
    show_ = menu_->addAction(QString());
    connect(show_, &QAction::triggered, this, &TrayStatus::ShowWindow);
    AddMirror(*menu_, startStop);
    AddMirror(*menu_, viewErrorLog);
    menu_->addSeparator();
    AddMirror(*menu_, close);

    // Without a tray the state is still kept, and nothing shows it.
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        icon_ = std::make_unique<QSystemTrayIcon>();
        icon_->setContextMenu(menu_.get());
        connect(icon_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                ShowWindow();
        });
    }
    SetTitle(QString::fromLatin1(app::kProgramName));
    if (icon_)
        icon_->show();
}

void TrayStatus::SetTitle(const QString& title)
{
    title_ = title;
    show_->setText(QStringLiteral("Show %1").arg(title));
    Refresh();
}

TrayStatus::~TrayStatus()
{
    if (main_) {
        TWebsiteUpdate& update = main_->WebsiteUpdate();
        update.OnUpdateStarted = nullptr;
        update.OnUpdateStopped = nullptr;
        update.OnUploadDone = nullptr;
    }
}

std::unique_ptr<TrayStatus> TrayStatus::Attach(TMain& main)
{
    auto action = [&main](const char* name) { return main.findChild<QAction*>(QString::fromLatin1(name)); };
    auto tray = std::make_unique<TrayStatus>(&main, action("menuPeriodicUpdate"), action("menuViewErrorLog"),
                                             action("menuExit"));
    TrayStatus* t = tray.get();
    t->main_ = &main;
    t->SetTitle(app::ProgramTitle(main.Files().Profile()));
    TWebsiteUpdate& update = main.WebsiteUpdate();
    update.OnUpdateStarted = [t] { t->UpdateStarted(); };
    update.OnUpdateStopped = [t] { t->UpdateStopped(); };
    update.OnUploadDone = [t](bool ok, const QString& error, const QDateTime& nextDue) { t->UploadDone(ok, error, nextDue); };
    return tray;
}

void TrayStatus::UpdateStarted()
{
    BeginState(UpdateState::Working);
}

void TrayStatus::UpdateStopped()
{
    // Stopping is the user's own doing: a failure streak ends without a message.
    BeginState(UpdateState::Off);
}

void TrayStatus::BeginState(UpdateState state)
{
    state_ = state;
    failuresInRow_ = 0;
    failingNotified_ = false;
    nextDue_ = QDateTime();
    Refresh();
}

void TrayStatus::UploadDone(bool ok, const QString& error, const QDateTime& nextDue)
{
    if (state_ == UpdateState::Off)
        return;
    nextDue_ = nextDue;
    if (ok) {
        lastUpload_ = QDateTime::currentDateTime();
        state_ = UpdateState::Working;
        if (failingNotified_) {
            Notify(QStringLiteral("Website update working again"),
                   QStringLiteral("A new picture was uploaded at %1.").arg(platform::DateTimeToStr(lastUpload_)), false);
        }
        failuresInRow_ = 0;
        failingNotified_ = false;
    } else {
        lastError_ = error.isEmpty() ? QStringLiteral("the upload did not finish") : error;
        state_ = UpdateState::Failing;
        if (++failuresInRow_ >= kFailuresToNotify && !failingNotified_) {
            failingNotified_ = true;
            Notify(QStringLiteral("Website update failing"),
                   QStringLiteral("The last %1 uploads failed: %2").arg(failuresInRow_).arg(lastError_), true);
        }
    }
    Refresh();
}

QString TrayStatus::ToolTip() const
{
    QStringList lines = {title_};
    switch (state_) {
    case UpdateState::Off:
        lines << QStringLiteral("Website update: off");
        break;
    case UpdateState::Working:
        lines << QStringLiteral("Website update: running");
        break;
    case UpdateState::Failing:
        lines << QStringLiteral("Website update: failing");
        break;
    }
    lines << (lastUpload_.isValid() ? QStringLiteral("Last picture uploaded: ") + platform::DateTimeToStr(lastUpload_)
                                    : QStringLiteral("No picture uploaded yet"));
    if (state_ != UpdateState::Off && nextDue_.isValid())
        lines << QStringLiteral("Next picture due: ") + platform::DateTimeToStr(nextDue_);
    if (state_ == UpdateState::Failing)
        lines << QStringLiteral("Last error: ") + lastError_;
    return lines.join(QLatin1Char('\n'));
}

void TrayStatus::ShowWindow()
{
    if (!window_)
        return;
    if (window_->isMinimized())
        window_->showNormal();
    else
        window_->show();
    window_->raise();
    window_->activateWindow();
}

void TrayStatus::Refresh()
{
    if (!icon_) {
        // Nothing else would show a failure that went on unattended.
        if (main_)
            main_->ShowUploadFailing(state_ == UpdateState::Failing);
        return;
    }
    icon_->setIcon(StateIcon());
    icon_->setToolTip(ToolTip());
}

void TrayStatus::Notify(const QString& title, const QString& text, bool warning)
{
    if (OnNotify)
        OnNotify(title, text);
    if (icon_ && QSystemTrayIcon::supportsMessages())
        icon_->showMessage(title, text, warning ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information);
}

QIcon TrayStatus::StateIcon() const
{
    // The program's icon with a lamp in its corner: grey off, green working, red failing.
    constexpr int kSize = 64;
    QPixmap pixmap = QPixmap(QStringLiteral(":/icons/tarvo-lite-256.png"))
                         .scaled(kSize, kSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    const QColor lamp = state_ == UpdateState::Off       ? QColor(140, 140, 140)
                        : state_ == UpdateState::Working ? QColor(46, 160, 60)
                                                         : ErrorColor();
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, 3));
    painter.setBrush(lamp);
    const QRect badge(kSize - 28, kSize - 28, 26, 26);
    painter.drawEllipse(badge);
    if (state_ == UpdateState::Failing) {
        painter.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(badge.center().x(), badge.top() + 6, badge.center().x(), badge.bottom() - 10);
        painter.drawPoint(badge.center().x(), badge.bottom() - 5);
    }
    return QIcon(pixmap);
}
