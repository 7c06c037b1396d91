#pragma once
// The two pictures of motion detection: the mask editor, where the user
// drags rectangles over the live picture, and the outline of changed blocks
// laid over the main window's live picture.

#include <QImage>
#include <QList>
#include <QRect>
#include <QRectF>
#include <QWidget>

// Shows the live picture and the mask over it. A drag with the left button
// adds a rectangle; a click selects the rectangle under it, which Delete
// removes. Rectangles are kept in thousandths of the picture.
class TMaskPicture : public QWidget
{
    Q_OBJECT

public:
    explicit TMaskPicture(QWidget* parent = nullptr);

    QList<QRect> Mask() const { return mask_; }
    void SetMask(const QList<QRect>& mask);
    void ClearMask() { SetMask({}); }
    // The rectangle the user clicked, -1 for none.
    int Selected() const { return selected_; }
    // Scaled to the widget and kept as its own pixels; a null picture shows
    // "No picture".
    void SetPicture(const QImage& picture);
    bool HasPicture() const { return !picture_.isNull(); }

signals:
    // A rectangle was added or removed.
    void MaskChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    // A quick second press starts a drag as the first did.
    void mouseDoubleClickEvent(QMouseEvent* event) override { mousePressEvent(event); }
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QRect ToWidget(const QRect& thousandths) const;
    QRect Dragged() const;

    QImage picture_;
    QList<QRect> mask_;
    int selected_ = -1;
    bool dragging_ = false;
    QPoint from_;
    QPoint to_;
};

// Lies over the capture window, lets the mouse through and draws the changed
// blocks, given as parts of the picture (0 to 1).
class TMotionOutline : public QWidget
{
    Q_OBJECT

public:
    explicit TMotionOutline(QWidget* parent = nullptr);

    void SetBlocks(const QList<QRectF>& blocks);
    const QList<QRectF>& Blocks() const { return blocks_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QList<QRectF> blocks_;
};
