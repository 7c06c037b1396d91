#include "ui/DigitFilter.h"

#include "platform/dialogs.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionFrame>

#include <memory>

namespace {

// False, after the box for the first character the filter refuses, when
// text would bring one into the field.
bool TakesText(const QString& text)
{
    for (QChar c : text)
        if (!DigitFilterAccepts(c))
            return false;
    return true;
}

QString ClipboardText(QClipboard::Mode mode)
{
    return QGuiApplication::clipboard()->text(mode);
}

// The field's own menu, its Paste checked as Ctrl+V is.
void ShowContextMenu(QLineEdit* edit, const QPoint& globalPos)
{
    const std::unique_ptr<QMenu> menu(edit->createStandardContextMenu());
    // The item names its shortcut after a tab, whatever the language.
    const QString pasteKey = QLatin1Char('\t') + QKeySequence(QKeySequence::Paste).toString(QKeySequence::NativeText);
    for (QAction* item : menu->actions()) {
        if (!item->text().endsWith(pasteKey))
            continue;
        QObject::disconnect(item, nullptr, edit, nullptr);
        QObject::connect(item, &QAction::triggered, edit, [edit] {
            if (TakesText(ClipboardText(QClipboard::Clipboard)))
                edit->paste();
        });
    }
    menu->exec(globalPos);
}

}  // namespace

bool DigitFilterAccepts(QChar key)
{
    if (key == QChar(8) || (key >= QLatin1Char('0') && key <= QLatin1Char('9')))
        return true;
    platform::Dialogs().MessageBeep();
    platform::Dialogs().MessageDlg(QStringLiteral("Invalid entry: ") + key, platform::MsgDlgType::Error, platform::mbOK);
    return false;
}

void InstallDigitFilter(QLineEdit* edit)
{
    edit->installEventFilter(new TDigitFilter(edit));
}

void FitDigits(QLineEdit* edit, int digits)
{
    // As the field works out its own size hint: the text, the field's inner
    // margin on each side (2 pixels), its text and contents margins, one
    // pixel for the cursor, then the style's frame around it.
    constexpr int kInnerMargin = 2;
    const QFontMetrics metrics(edit->font());
    const QMargins text = edit->textMargins();
    const QMargins contents = edit->contentsMargins();
    const int width = metrics.horizontalAdvance(QString(digits, QLatin1Char('0'))) + 2 * kInnerMargin + 1 +
                      text.left() + text.right() + contents.left() + contents.right();
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.lineWidth = edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit) : 0;
    edit->setFixedWidth(
        edit->style()->sizeFromContents(QStyle::CT_LineEdit, &option, QSize(width, metrics.height()), edit).width());
}

bool TDigitFilter::eventFilter(QObject* watched, QEvent* event)
{
    auto* edit = qobject_cast<QLineEdit*>(watched);
    if (!edit || edit->isReadOnly())
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::KeyPress: {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->matches(QKeySequence::Paste))
            return !TakesText(ClipboardText(QClipboard::Clipboard));
        // A field takes no text while Ctrl is held, nor control characters:
        // those keys are shortcuts (Ctrl+A, Ctrl+Z, ...) or dialog keys.
        const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
        if (mods == Qt::ControlModifier || mods == (Qt::ControlModifier | Qt::ShiftModifier))
            break;
        QString typed;
        for (QChar c : key->text())
            if (c.isPrint())
                typed += c;
        return !TakesText(typed);
    }
    case QEvent::MouseButtonRelease:
        // The X11 selection, pasted by the middle button.
        if (static_cast<QMouseEvent*>(event)->button() == Qt::MiddleButton &&
            QGuiApplication::clipboard()->supportsSelection())
            return !TakesText(ClipboardText(QClipboard::Selection));
        break;
    case QEvent::Drop: {
        const QMimeData* dropped = static_cast<QDropEvent*>(event)->mimeData();
        return dropped && dropped->hasText() && !TakesText(dropped->text());
    }
    case QEvent::ContextMenu:
        ShowContextMenu(edit, static_cast<QContextMenuEvent*>(event)->globalPos());
        return true;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
