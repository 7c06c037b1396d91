#pragma once
// The website update's state at a glance, outside the main window: a tray
// icon (where the desktop has a tray) whose picture, tooltip and menu follow
// what the main window reports, and a desktop notification when uploads
// start failing and when they work again, never one per tick. Without a
// tray the main window shows a failing update itself.

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QAction;
class QIcon;
class QMenu;
class QSystemTrayIcon;
class QWidget;
class TMain;

class TrayStatus : public QObject
{
    Q_OBJECT

public:
    enum class UpdateState { Off, Working, Failing };

    // Failed uploads in a row before the one notification that says so.
    static constexpr int kFailuresToNotify = 3;

    // window: shown or raised by a click. The menu's start/stop, error log
    // and close items trigger the main window's own actions and follow their
    // captions and enabled state.
    TrayStatus(QWidget* window, QAction* startStop, QAction* viewErrorLog, QAction* close);
    ~TrayStatus() override;

    // A tray fed by the website update's events; the events are taken
    // back when the tray goes first.
    static std::unique_ptr<TrayStatus> Attach(TMain& main);

    // The update's events.
    void UpdateStarted();
    void UpdateStopped();
    // An upload sequence ended (the start's or a tick's): the error that ended
    // it when it failed, and when the next one is due.
    void UploadDone(bool ok, const QString& error, const QDateTime& nextDue);

    // The program's name in the tooltip and the menu: a profile's title.
    void SetTitle(const QString& title);

    UpdateState State() const { return state_; }
    QString ToolTip() const;
    QMenu* Menu() const { return menu_.get(); }
    // Whether the desktop has a tray showing the icon.
    bool IconShown() const { return icon_ != nullptr; }

    // Raised for each desktop notification, also where no tray shows it.
    std::function<void(const QString& title, const QString& text)> OnNotify;

    // Shows the window, or raises it when it is shown (a click on the icon).
    void ShowWindow();

private:
    // Started or stopped: no upload due yet, no failure streak.
    void BeginState(UpdateState state);
    void Refresh();
    void Notify(const QString& title, const QString& text, bool warning);
    QIcon StateIcon() const;

    QPointer<QWidget> window_;
    QPointer<TMain> main_;
    std::unique_ptr<QMenu> menu_;
    QAction* show_ = nullptr;
    QString title_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    UpdateState state_ = UpdateState::Off;
    QDateTime lastUpload_;
    QDateTime nextDue_;
    QString lastError_;
    int failuresInRow_ = 0;
    bool failingNotified_ = false;
};
