#pragma once
// What a capture window needs of a driver: frames as RGB images at a chosen
// size, and the controls and options its dialogs show. Internal to the
// capture service.

#include <QImage>
#include <QList>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTime>

#include <cstdint>
#include <functional>
#include <memory>

class QWidget;

namespace platform::capture {

struct DeviceControl {
    enum class Type { Integer, Boolean, Menu };
    std::uint32_t id = 0;
    QString name;
    Type type = Type::Integer;
    int minimum = 0;
    int maximum = 0;
    int step = 1;
    int defaultValue = 0;
    int value = 0;
    QStringList menu;  // item texts for minimum..maximum (Menu only)
};

class CaptureDevice
{
public:
    enum class ReadResult {
        Frame,    // image holds a new frame
        NoFrame,  // nothing new within the time-out
        Lost,     // the device failed or went away; error holds why
    };

    virtual ~CaptureDevice() = default;

    // Begin and end delivering frames. Start on a started device does nothing.
    virtual bool Start(QString* error) = 0;
    virtual void Stop() = 0;

    virtual QSize FrameSize() const = 0;
    virtual QList<QSize> FrameSizes() const = 0;
    // Changes the size, restarting the stream when it runs.
    virtual bool SetFrameSize(QSize size, QString* error) = 0;
    // Nominal frames per second the device delivers.
    virtual int NominalRate() const { return 30; }
    // Asks the device to take frames at this period (nearest it offers).
    virtual bool SetFrameInterval(std::uint32_t microSecPerFrame) { (void)microSecPerFrame; return false; }
    // Discards the frames waiting to be read, so that the next ReadFrame
    // delivers one taken after this call.
    virtual void Drain() {}
    // How long ago the camera took the frame ReadFrame last delivered; -1
    // when it cannot tell.
    virtual int LastFrameAgeMs() const { return -1; }

    // The next frame as RGB888, waiting up to timeoutMs: of FrameSize(), or,
    // when atLeast is given, of the smallest size the device makes as cheaply
    // (FrameSize() divided by FrameDivisor(FrameSize(), atLeast)), so that no
    // consumer pays for pixels it never looks at.
    virtual ReadResult ReadFrame(QImage& image, int timeoutMs, QString* error, QSize atLeast = {}) = 0;
    // The frame ReadFrame last delivered, again at FrameSize(): the same
    // picture, for a consumer that takes it whole. False when it is gone (a
    // newer frame was read, the stream restarted).
    virtual bool RereadFull(QImage& image) { (void)image; return false; }

    virtual bool HasOverlay() const { return false; }
    virtual bool HasDisplayOptions() const { return false; }

    // Picture controls shown by the source dialog; applied at once.
    virtual QList<DeviceControl> Controls() { return {}; }
    virtual bool SetControl(std::uint32_t id, int value) { (void)id; (void)value; return false; }

    // Display options shown by the display dialog.
    virtual bool ShowInfo() const { return false; }
    virtual void SetShowInfo(bool) {}
};

struct DriverEntry {
    QString name;
    QString version;
    QString identity;  // which device: its name and where it is attached
    std::function<std::unique_ptr<CaptureDevice>(QString* error)> open;
};

// Every driver in index order: V4L2 capture devices, then the test pattern.
// One scan serves every query until the event loop next runs.
QList<DriverEntry> EnumerateDrivers();

std::unique_ptr<CaptureDevice> CreateTestPatternDevice();
QString TestPatternName();
QString TestPatternVersion();
// The frame number the test pattern stamps into its frames while it shows
// its frame counter (RGB888 as delivered or saved).
std::uint32_t TestPatternFrameNumber(const QImage& frame);

// What the test-pattern camera shows.
enum class TestScene {
    Bars,     // moving colour bars
    Room,     // a still room under slowly drifting light, with a clock
    Visitor,  // the room, crossed by someone at a known moment
};
// The scene of test-pattern cameras opened from now on; an open one changes
// its scene through the source dialog ("Scene").
void SetTestPatternScene(TestScene scene);

// Frames of a room scene are counted from its start (the camera's start or
// the choice of the scene). The visitor steps in whole at kVisitorFirstFrame,
// crosses the room in kVisitorFrames frames and is gone, and comes again
// every kSceneCycleFrames. The light drifts by up to a fifth either way,
// once round in kLightDriftFrames.
inline constexpr std::uint64_t kVisitorFirstFrame = 45;
inline constexpr std::uint64_t kVisitorFrames = 60;
inline constexpr std::uint64_t kSceneCycleFrames = 300;
inline constexpr std::uint64_t kLightDriftFrames = 900;
// Where the clock and the frame counter are (every scene): the bottom band,
// in thousandths of the picture's width and height.
QRect TestPatternClockArea();
// Frame number frame of a room scene as the camera delivers it at size,
// its clock showing clock.
void RenderTestScene(TestScene scene, std::uint64_t frame, QSize size, const QTime& clock, QImage& image);

}  // namespace platform::capture
