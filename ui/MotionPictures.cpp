#include "ui/MotionPictures.h"

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
}

void TMaskPicture::SetMask(const QList<QRect>& mask)
{
    mask_ = mask;
    update();
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
    // A click without a drag adds nothing.
    if (r.width() > 2 && r.height() > 2 && width() > 0 && height() > 0) {
        const int left = r.left() * kWhole / width();
        const int top = r.top() * kWhole / height();
        const int right = ((r.right() + 1) * kWhole + width() - 1) / width();
        const int bottom = ((r.bottom() + 1) * kWhole + height() - 1) / height();
        mask_ << QRect(left, top, std::min(right, kWhole) - left, std::min(bottom, kWhole) - top);
    }
    update();
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
