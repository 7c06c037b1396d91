#include "app/MotionWatch.h"

#include "app/ErrorLog.h"
#include "app/UpdatePictures.h"
#include "settings/PrivacyMaskSettings.h"
#include "capture/videocap.h"
#include "ui/Motion.h"
#include "ui/MotionPictures.h"

#include <QLabel>
#include <QPainter>
#include <QStatusBar>

namespace {

constexpr int kLampHoldMs = 1000;  // so that a short motion is seen at all

const QString kLampOff = QStringLiteral("QLabel { background: rgb(0, 128, 0); color: white; }");
const QString kLampOn = QStringLiteral("QLabel { background: rgb(255, 0, 0); color: white; }");

motion::Options DetectorOptions(const settings::MotionSettings& s, const QList<QRectF>& privacyAreas)
{
    motion::Options o;
    o.sensitivity = s.sensitivity;
    o.minAreaPercent = s.minAreaPercent;
    for (const QRect& r : s.mask)
        o.mask.push_back({r.x(), r.y(), r.width(), r.height()});
    for (const QRectF& a : privacyAreas) {
        const QRect r = settings::PrivacyAreaInThousandths(a);
        o.mask.push_back({r.x(), r.y(), r.width(), r.height()});
    }
    return o;
}

}  // namespace

TMotionWatch::TMotionWatch(TVideoCap& cap, app::ProgramFiles files, TErrorLog& log, QStatusBar* statusBar)
    : cap_(cap), files_(std::move(files)), log_(log)
{
    lamp_ = new QLabel(QStringLiteral("Motion"), statusBar);
    lamp_->setObjectName(QStringLiteral("lblMotion"));
    lamp_->setAlignment(Qt::AlignCenter);
    lamp_->setMinimumWidth(50);
    lamp_->setStyleSheet(kLampOff);
    lamp_->setToolTip(QStringLiteral("Motion detection"));
    if (statusBar)
        statusBar->addPermanentWidget(lamp_);
    lamp_->setVisible(false);
    lampHold_.setSingleShot(true);
    lampHold_.setInterval(kLampHoldMs);
    connect(&lampHold_, &QTimer::timeout, this, [this] { ShowLamp(false); });
    outline_ = new TMotionOutline(&cap_);
    outline_->hide();
    Apply(settings_);
}

TMotionWatch::~TMotionWatch()
{
    if (following_)
        cap_.OnFrameCallback = nullptr;
    CaptureEnded();
    if (!lamp_->parent())
        delete lamp_;
}

void TMotionWatch::Apply(const settings::MotionSettings& settings)
{
    const bool starting = settings.enabled && !settings_.enabled;
    settings_ = settings;
    detector_.SetOptions(DetectorOptions(settings_, privacyAreas_));
    gate_.SetQuietMs(qint64(settings_.quietSeconds) * 1000);
    if (starting) {
        detector_.Reset();
        gate_.Reset();
    }
    // Without a status bar the lamp is kept but never shown as a window.
    lamp_->setVisible(settings_.enabled && lamp_->parentWidget());
    lampHold_.stop();
    ShowLamp(false);
    if (!settings_.enabled || !settings_.outline)
        outline_->hide();
    FollowCapture();
}

void TMotionWatch::SetPrivacyAreas(const QList<QRectF>& areas)
{
    privacyAreas_ = areas;
    detector_.SetOptions(DetectorOptions(settings_, privacyAreas_));
}

void TMotionWatch::SetPictureWatcher(std::function<void(const QImage&)> watcher)
{
    pictureWatcher_ = std::move(watcher);
    FollowCapture();
}

void TMotionWatch::FollowCapture()
{
    // Without a listener the capture component copies no frames for us.
    const bool wanted = settings_.enabled || pictureWatcher_;
    // The detector looks at a small grey copy: frames about its size cost
    // a fraction of whole ones. The mask editor shows the whole picture.
    cap_.SetFrameCallbackSize(wanted && !pictureWatcher_ ? QSize(motion::kWorkWidth, motion::kWorkHeight) : QSize());
    if (wanted == following_)
        return;
    following_ = wanted;
    if (!wanted) {
        cap_.OnFrameCallback = nullptr;
        return;
    }
    cap_.OnFrameCallback = [this](TVideoCap* cap, platform::VIDEOHDR* header) {
        const int w = header && header->dwWidth ? int(header->dwWidth) : cap->ImageWidth();
        const int h = header && header->dwHeight ? int(header->dwHeight) : cap->ImageHeight();
        if (header && header->lpData && qint64(header->dwBytesUsed) == qint64(w) * h * 3)
            Feed(header->lpData, w, h, qsizetype(w) * 3);
    };
}

void TMotionWatch::Feed(const uchar* rgb, int width, int height, qsizetype stride)
{
    if (pictureWatcher_)
        pictureWatcher_(QImage(rgb, width, height, stride, QImage::Format_RGB888));
    if (!settings_.enabled)
        return;
    const motion::Result& result = detector_.Feed(rgb, width, height, std::size_t(stride));
    ShowOutline(result);
    if (!result.motion)
        return;
    ShowLamp(true);
    lampHold_.start();
    // The clock is read on motion only, once for the quiet time and the names.
    const QDateTime now = Now ? Now() : QDateTime::currentDateTime();
    if (gate_.Feed(true, now.toMSecsSinceEpoch()))
        Fire(rgb, width, height, stride, result, now);
}

void TMotionWatch::ShowLamp(bool motion)
{
    if (motion == lampMotion_)
        return;
    lampMotion_ = motion;
    lamp_->setStyleSheet(motion ? kLampOn : kLampOff);
}

void TMotionWatch::ShowOutline(const motion::Result& result)
{
    QWidget* picture = platform::WindowWidget(cap_.CaptureWindow());
    if (!settings_.outline || !picture) {
        outline_->hide();
        return;
    }
    QList<QRectF> blocks;
    for (int by = 0; by < motion::kBlocksY; ++by)
        for (int bx = 0; bx < motion::kBlocksX; ++bx)
            if (result.Changed(bx, by))
                blocks << QRectF(double(bx) / motion::kBlocksX, double(by) / motion::kBlocksY, 1.0 / motion::kBlocksX,
                                 1.0 / motion::kBlocksY);
    // The capture window's place follows the scaling; the outline lies on it.
    outline_->setGeometry(picture->geometry());
    outline_->SetBlocks(blocks);
    outline_->raise();
    outline_->show();
}

void TMotionWatch::Fire(const uchar* rgb, int width, int height, qsizetype stride, const motion::Result& result,
                        const QDateTime& now)
{
    ++events_;
    // The frame with the changed area outlined: what the snapshot and the
    // upload show, whole, though the detector saw it small.
    QImage picture = cap_.ImageWidth() == width && cap_.ImageHeight() == height ? QImage() : cap_.GrabbedFrame();
    if (picture.isNull())
        picture = QImage(rgb, width, height, stride, QImage::Format_RGB888).copy();
    else
        picture.detach();
    width = picture.width();
    height = picture.height();
    if (result.changedBlocks > 0) {
        QPainter p(&picture);
        const int pen = std::max(2, width / 160);
        p.setPen(QPen(QColor(255, 0, 0), pen, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        const int x0 = result.left * width / motion::kBlocksX;
        const int y0 = result.top * height / motion::kBlocksY;
        const int x1 = result.right * width / motion::kBlocksX;
        const int y1 = result.bottom * height / motion::kBlocksY;
        p.drawRect(QRect(QPoint(x0 + pen / 2, y0 + pen / 2), QPoint(x1 - 1 - pen / 2, y1 - 1 - pen / 2)));
    }
    // The actions run from the event loop, not inside the capture's own call:
    // a frame grabbed for an update tick must not start an upload beside it.
    QMetaObject::invokeMethod(this, [this, picture, now, area = result.areaPercent] { Act(picture, now, area); },
                              Qt::QueuedConnection);
}

void TMotionWatch::Act(const QImage& picture, const QDateTime& now, double areaPercent)
{
    const QString name = QStringLiteral("motion-") + now.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString saved;
    if (settings_.snapshot)
        saved = SaveSnapshot(picture, name);
    if (settings_.record)
        Record(files_.VideosFolder() + name + QStringLiteral(".avi"), settings_.recordSeconds);
    if (settings_.upload) {
        const qint64 ms = now.toMSecsSinceEpoch();
        // A clock that went back ends the wait.
        const bool due = !uploaded_ || ms < lastUploadMs_ || ms - lastUploadMs_ >= kUploadEveryMs;
        if (due && OnUpload && OnUpload(picture)) {
            uploaded_ = true;
            lastUploadMs_ = ms;
        }
    }
    if (settings_.logMotion) {
        QString line = QStringLiteral("%1 % of the picture changed").arg(qRound(areaPercent));
        if (!saved.isEmpty())
            line += QStringLiteral(", ") + saved;
        log_.Motion(line);
    }
}

QString TMotionWatch::SaveSnapshot(const QImage& picture, const QString& name)
{
    const QString file = name + (settings_.snapshotJpeg ? QStringLiteral(".jpg") : QStringLiteral(".bmp"));
    const QString path = files_.SnapshotsFolder() + file;
    try {
        if (settings_.snapshotJpeg)
            ImageToJpeg(picture, path);
        else
            ImageToBmp(picture, path);
    } catch (const Exception& e) {
        log_.Error(e.Message());
        return QString();
    }
    return file;
}

bool TMotionWatch::Record(const QString& file, int seconds)
{
    if (OnRecord)
        return OnRecord(file, seconds);
    // One recording at a time: a running one, the user's or an earlier
    // event's, goes on; an earlier event's counts until its end is reported.
    if (ownsRecording_ || !cap_.DriverOpen() || cap_.CapturingNow())
        return false;
    videoFileBefore_ = cap_.VideoFileName();
    const std::uint16_t limit = cap_.CapTimeLimit();
    cap_.SetVideoFileName(file);
    cap_.SetCapTimeLimit(std::uint16_t(seconds));
    ownsRecording_ = cap_.StartCapture();
    cap_.SetCapTimeLimit(limit);
    if (!ownsRecording_)
        cap_.SetVideoFileName(videoFileBefore_);
    return ownsRecording_;
}

void TMotionWatch::CaptureEnded()
{
    if (!ownsRecording_)
        return;
    // The file name stayed until the end: a buffer file is copied to it then.
    ownsRecording_ = false;
    cap_.SetVideoFileName(videoFileBefore_);
}

void TMotionWatch::EditSettings(QWidget* parent, const std::function<void(const settings::MotionSettings&)>& save)
{
    TfrmMotion dialog(parent);
    dialog.setObjectName(QStringLiteral("frmMotion"));
    dialog.SetSettings(settings_);
    dialog.OnSave = save;
    // The mask is drawn on the live picture; without preview or overlay one
    // frame is grabbed to show.
    SetPictureWatcher([&dialog](const QImage& frame) { dialog.ShowPicture(frame); });
    if (!cap_.VideoPreview() && !cap_.VideoOverlay())
        cap_.GrabFrameNoStop();
    const bool accepted = dialog.exec() == QDialog::Accepted;
    SetPictureWatcher(nullptr);
    if (accepted)
        Apply(dialog.Settings());
}
