#include "ui/Legacy.h"

#include "platform/messages.h"
#include "platform/shell.h"

#include <QEnterEvent>
#include <QMouseEvent>

TLegacy::TLegacy(QWidget* parent) : QLabel(parent)
{
    savedColor_ = FontColor();
}

QColor TLegacy::FontColor() const
{
    return palette().color(QPalette::WindowText);
}

void TLegacy::SetFontColor(const QColor& color)
{
    QPalette p = palette();
    p.setColor(QPalette::WindowText, color);
    setPalette(p);
}

void TLegacy::MouseEnter()
{
    savedColor_ = FontColor();
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    setCursor(Qt::PointingHandCursor);
    platform::ProcessMessages();
    SetFontColor(activeColor_);
    if (OnMouseEnter)
        OnMouseEnter(this);
}

void TLegacy::MouseLeave()
{
    setCursor(Qt::ArrowCursor);
    QFont f = font();
    f.setUnderline(false);
    setFont(f);
    platform::ProcessMessages();
    SetFontColor(savedColor_);
    if (OnMouseExit)
        OnMouseExit(this);
}

void TLegacy::Click()
{
    setCursor(Qt::BusyCursor);
    platform::ProcessMessages();
    // A web link with an address opens it as it stands; anything else starts a
    // new mail (to the address, or an empty one).
    const QString target = (adressType_ == atWWW && !adress_.isEmpty()) ? adress_ : QStringLiteral("mailto:") + adress_;
    platform::ShellExecute(nullptr, target, {}, {}, platform::SW_SHOWNORMAL);
    setCursor(Qt::PointingHandCursor);
    if (OnClick)
        OnClick(this);
}

void TLegacy::enterEvent(QEnterEvent* event)
{
    QLabel::enterEvent(event);
    if (isEnabled() && !hovered_) {
        hovered_ = true;
        MouseEnter();
    }
}

void TLegacy::leaveEvent(QEvent* event)
{
    QLabel::leaveEvent(event);
    // Only a leave that follows an enter restores the saved colour.
    if (hovered_) {
        hovered_ = false;
        MouseLeave();
    }
}

void TLegacy::mousePressEvent(QMouseEvent* event)
{
    pressed_ = event->button() == Qt::LeftButton;
    QLabel::mousePressEvent(event);
}

void TLegacy::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    pressed_ = false;
    QLabel::mouseReleaseEvent(event);
    if (click)
        Click();
}
