#pragma once
// Pointer hints in a status panel: a control's hint shows when the pointer
// enters it and stays until another control's replaces it; an empty hint
// clears the panel.

#include <QHash>
#include <QObject>
#include <QString>

#include <functional>

class QWidget;

class TStatusHints : public QObject
{
public:
    TStatusHints(std::function<void(const QString&)> show, QObject* parent);

    void Add(QWidget* control, const QString& hint);
    // A control whose click changes meaning (start, then stop) changes its
    // hint with it; shown at once when its hint is the one showing.
    void Change(QWidget* control, const QString& hint);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void(const QString&)> show_;
    QHash<const QObject*, QString> hints_;
    const QObject* showing_ = nullptr;  // whose hint the panel shows
};
