#pragma once
// What a user sees of a window's fields and meets with the Tab key.

#include <QFontMetrics>
#include <QLineEdit>
#include <QStringList>
#include <QWidget>

#include <string>

namespace testsupport {

// Where the field draws its cursor, scrolled as it is.
inline int CursorX(const QLineEdit* edit)
{
    return edit->inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x();
}

// Whether the field shows text whole, its first digit as well as its last.
inline bool ShowsWhole(QLineEdit* edit, const QString& text)
{
    edit->setText(text);
    // The field works out its scrolling as it paints.
    edit->home(false);
    edit->grab();
    const int start = CursorX(edit);
    edit->end(false);
    edit->grab();
    return CursorX(edit) - start == QFontMetrics(edit->font()).horizontalAdvance(text);
}

// The names of the controls the Tab key visits in window, in order from its
// first, separated by spaces.
inline std::string TabOrder(QWidget* window)
{
    QStringList names;
    for (QWidget* w = window->nextInFocusChain(); w != window; w = w->nextInFocusChain())
        if ((w->focusPolicy() & Qt::TabFocus) && w->window() == window && w->isVisibleTo(window) && w->isEnabled())
            names << w->objectName();
    return names.join(QLatin1Char(' ')).toStdString();
}

}  // namespace testsupport
