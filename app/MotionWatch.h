#pragma once
// Motion detection in the program: the detector on the frames the capture
// component delivers, a lamp in the status bar, the changed blocks outlined
// over the live picture, and what each event does: a snapshot into
// "Snapshots", a video into "Videos", an upload of the picture, a log line.
// Detection runs on the GUI thread: it costs well under a millisecond a
// frame whatever the frame's size (the detector samples large frames).

#include "app/ProgramFiles.h"
#include "motion/Detector.h"
#include "settings/MotionSettings.h"

#include <QDateTime>
#include <QImage>
#include <QObject>
#include <QRectF>
#include <QString>
#include <QTimer>

#include <functional>

class QLabel;
class QStatusBar;
class QWidget;
class TErrorLog;
class TMotionOutline;
class TVideoCap;

class TMotionWatch : public QObject
{
    Q_OBJECT

public:
    // The upload action goes at most this often.
    static constexpr qint64 kUploadEveryMs = 30000;

    // The lamp goes into statusBar when one is given.
    TMotionWatch(TVideoCap& cap, app::ProgramFiles files, TErrorLog& log, QStatusBar* statusBar = nullptr);
    ~TMotionWatch() override;

    // Takes the user's choices; detection runs while they say enabled.
    void Apply(const settings::MotionSettings& settings);
    const settings::MotionSettings& Settings() const { return settings_; }
    // The privacy masks' areas (parts of the picture), ignored beside the
    // mask of the settings: nothing inside them is motion.
    void SetPrivacyAreas(const QList<QRectF>& areas);

    // One frame of RGB24 rows, top row first; the capture component's frames
    // arrive here while detection or a picture watcher wants them.
    void Feed(const uchar* rgb, int width, int height, qsizetype stride);
    // Receives every frame while set (the motion dialog's live picture); the
    // image is only valid during the call.
    void SetPictureWatcher(std::function<void(const QImage&)> watcher);
    // The motion dialog over parent, showing the live picture for the mask;
    // OK saves the choices through save, which raises when they cannot be
    // stored, and then applies them.
    void EditSettings(QWidget* parent, const std::function<void(const settings::MotionSettings&)>& save);

    // The clock of quiet times, the upload limit and file names.
    std::function<QDateTime()> Now;
    // Starts an upload of the picture; false when none can start now (the
    // website update is not active, or an upload is running).
    std::function<bool(const QImage& picture)> OnUpload;
    // Starts a recording of seconds into file; false when it cannot start.
    // Unassigned: the capture component records, unless it already does.
    std::function<bool(const QString& file, int seconds)> OnRecord;

    int Events() const { return events_; }
    // The lamp: motion seen within the last second.
    bool MotionShown() const { return lampMotion_; }
    TMotionOutline* Outline() const { return outline_; }

    // Whether the capture component's recording is one an event started.
    bool OwnsRecording() const { return ownsRecording_; }
    // The capture component's recording ended.
    void CaptureEnded();

private:
    void FollowCapture();
    void ShowLamp(bool motion);
    void ShowOutline(const motion::Result& result);
    void Fire(const uchar* rgb, int width, int height, qsizetype stride, const motion::Result& result,
              const QDateTime& now);
    void Act(const QImage& picture, const QDateTime& now, double areaPercent);
    QString SaveSnapshot(const QImage& picture, const QString& name);
    bool Record(const QString& file, int seconds);

    TVideoCap& cap_;
    app::ProgramFiles files_;
    TErrorLog& log_;
    settings::MotionSettings settings_;
    QList<QRectF> privacyAreas_;
    motion::Detector detector_;
    motion::EventGate gate_;
    std::function<void(const QImage&)> pictureWatcher_;
    bool following_ = false;

    QLabel* lamp_ = nullptr;
    TMotionOutline* outline_ = nullptr;
    bool lampMotion_ = false;
    QTimer lampHold_;  // the lamp stays on a moment after the last motion

    int events_ = 0;
    bool uploaded_ = false;
    qint64 lastUploadMs_ = 0;
    bool ownsRecording_ = false;
    QString videoFileBefore_;
};
