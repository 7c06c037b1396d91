#include "ui/StatusHints.h"

#include <QEvent>
#include <QWidget>

#include <utility>

TStatusHints::TStatusHints(std::function<void(const QString&)> show, QObject* parent)
    : QObject(parent), show_(std::move(show))
{
}

void TStatusHints::Add(QWidget* control, const QString& hint)
{
    hints_.insert(control, hint);
    control->installEventFilter(this);
    connect(control, &QObject::destroyed, this, [this, control] {
        hints_.remove(control);
        if (showing_ == control)
            showing_ = nullptr;
    });
}

void TStatusHints::Change(QWidget* control, const QString& hint)
{
    const auto known = hints_.find(control);
    if (known == hints_.end() || *known == hint)
        return;
    *known = hint;
    if (showing_ == control)
        show_(hint);
}

bool TStatusHints::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Enter) {
        const auto hint = hints_.constFind(watched);
        if (hint != hints_.constEnd()) {
            showing_ = watched;
            show_(*hint);
        }
    }
    return QObject::eventFilter(watched, event);
}
