#include "ui/MotionPictures.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace {
constexpr int kWhole = 1000;  // the picture in thousandths
}  // namespace

TMaskPicture::TMaskPicture(QWidget* parent) : QWidget(parent)
{
    setCursor(Qt::CrossCursor);
    setAttribute(Qt::WA_OpaquePaintEvent);
    // A click gives it the keys, for Delete.
    setFocusPolicy(Qt::ClickFocus);
}

void TMaskPicture::SetMask(const QList<QRect>& mask)
{
    mask_ = mask;
    selected_ = -1;
    update();
    emit MaskChanged();
}

void TMaskPicture::SetPicture(const QImage& picture)
{
    if (picture.isNull()) {
        picture_ = QImage();
    } else {
        picture_ = picture.scaled(size(), Qt::IgnoreAspectRatio, Qt::FastTransformation);
        // At the widget's own size scaled() hands back the same image, which
        // may point into a camera buffer that is reused after this call.
        if (picture_.constBits() == picture.constBits())
            picture_ = picture.copy();
    }
    update();
}

QRect TMaskPicture::ToWidget(const QRect& r) const
{
    return QRect(QPoint(r.left() * width() / kWhole, r.top() * height() / kWhole),
                 QPoint((r.left() + r.width()) * width() / kWhole - 1, (r.top() + r.height()) * height() / kWhole - 1));
}

QRect TMaskPicture::Dragged() const
{
    const QPoint topLeft(std::min(from_.x(), to_.x()), std::min(from_.y(), to_.y()));
    const QPoint bottomRight(std::max(from_.x(), to_.x()), std::max(from_.y(), to_.y()));
    return QRect(topLeft, bottomRight).intersected(rect());
}

void TMaskPicture::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    if (picture_.isNull()) {
        p.fillRect(rect(), Qt::darkGray);
        p.setPen(Qt::white);
        p.drawText(rect(), Qt::AlignCenter, tr("No picture"));
    } else {
        p.drawImage(0, 0, picture_);
    }
    p.setPen(QPen(QColor(255, 255, 0), 1));
    p.setBrush(QColor(0, 0, 0, 140));
    for (const QRect& r : mask_)
        p.drawRect(ToWidget(r));
    if (selected_ >= 0) {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(255, 0, 0), 2));
        p.drawRect(ToWidget(mask_[selected_]).adjusted(1, 1, -1, -1));
    }
    if (dragging_) {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(255, 255, 0), 1, Qt::DashLine));
        p.drawRect(Dragged());
    }
}

void TMaskPicture::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    dragging_ = true;
    from_ = to_ = event->position().toPoint();
    update();
}

void TMaskPicture::mouseMoveEvent(QMouseEvent* event)
{
    if (!dragging_)
        return;
    to_ = event->position().toPoint();
    update();
}

void TMaskPicture::mouseReleaseEvent(QMouseEvent* event)
{
    if (!dragging_ || event->button() != Qt::LeftButton)
        return;
    dragging_ = false;
    to_ = event->position().toPoint();
    const QRect r = Dragged();
    // A click without a drag adds nothing: it selects the topmost rectangle under it.
    if (r.width() > 2 && r.height() > 2 && width() > 0 && height() > 0) {
        const int left = r.left() * kWhole / width();
        const int top = r.top() * kWhole / height();
        const int right = ((r.right() + 1) * kWhole + width() - 1) / width();
        const int bottom = ((r.bottom() + 1) * kWhole + height() - 1) / height();
        mask_ << QRect(left, top, std::min(right, kWhole) - left, std::min(bottom, kWhole) - top);
        selected_ = -1;
        emit MaskChanged();
    } else {
        selected_ = -1;
        for (qsizetype i = mask_.size() - 1; i >= 0 && selected_ < 0; --i)
            if (ToWidget(mask_[i]).contains(to_))
                selected_ = int(i);
    }
    update();
}

void TMaskPicture::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() != Qt::Key_Delete && event->key() != Qt::Key_Backspace) || selected_ < 0) {
        QWidget::keyPressEvent(event);
        return;
    }
    mask_.removeAt(selected_);
    selected_ = -1;
    update();
    emit MaskChanged();
}

TMotionOutline::TMotionOutline(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setObjectName(QStringLiteral("MotionOutline"));
}

void TMotionOutline::SetBlocks(const QList<QRectF>& blocks)
{
    if (blocks == blocks_)
        return;
    blocks_ = blocks;
    update();
}

void TMotionOutline::paintEvent(QPaintEvent*)
{
    if (blocks_.isEmpty())
        return;
    QPainter p(this);
    p.setPen(QPen(QColor(255, 0, 0), 1));
    for (const QRectF& b : blocks_)
        p.drawRect(QRectF(b.x() * width(), b.y() * height(), b.width() * width() - 1, b.height() * height() - 1));
}
