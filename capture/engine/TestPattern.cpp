// The built-in test-pattern camera: moving colour bars with a frame counter
// and the time of day, so that two frames always differ; or a still room
// under drifting light that someone crosses now and then, for motion
// detection.
#include "capture/engine/CaptureDevice.h"
#include "capture/engine/FrameConvert.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFont>
#include <QPainter>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <numbers>
#include <thread>

namespace platform::capture {
namespace {

constexpr std::uint32_t kBrightnessId = 1;
constexpr std::uint32_t kSpeedId = 2;
constexpr std::uint32_t kSceneId = 3;
constexpr std::size_t kBuffers = 4;  // frames a camera holds for its reader
constexpr int kStampBits = 32;

std::atomic<int> defaultScene{int(TestScene::Bars)};

// The frame counter in figures and the clock on a black band at the bottom,
// and the counter once more in the bottom row for machines: one bit per two
// pixels, lowest bit first, in the lowest bit of green only, so that the
// band stays black to the eye.
void DrawInfo(QImage& image, std::uint64_t frame, const QTime& clock)
{
    const int w = image.width();
    const int h = image.height();
    QPainter p(&image);
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(std::max(10, h / 12));
    p.setFont(font);
    const QString text = QStringLiteral("%1  %2")
                             .arg(frame + 1, 6, 10, QLatin1Char('0'))
                             .arg(clock.toString(QStringLiteral("HH:mm:ss.zzz")));
    const QRect band(0, h - font.pixelSize() * 3 / 2, w, font.pixelSize() * 3 / 2);
    p.fillRect(band, Qt::black);
    p.setPen(Qt::white);
    p.drawText(band, Qt::AlignCenter, text);
    p.end();
    if (w < 2 * kStampBits)
        return;  // too narrow for the stamp (a picture made small for a viewer)
    uchar* row = image.scanLine(h - 1);
    for (int bit = 0; bit < kStampBits; ++bit) {
        const uchar v = ((frame + 1) >> bit) & 1;
        row[bit * 6 + 1] = v;
        row[bit * 6 + 4] = v;
    }
}

// The room: drawn once per size, then lit, crossed and grained per frame.
class RoomScene
{
public:
    void Render(bool visitor, std::uint64_t frame, QSize size, int brightness, QImage& image)
    {
        if (room_.size() != size)
            Build(size);
        if (image.size() != size || image.format() != QImage::Format_RGB888)
            image = QImage(size, QImage::Format_RGB888);
        const int w = size.width();
        const int h = size.height();
        for (int y = 0; y < h; ++y)
            std::memcpy(image.scanLine(y), room_.constScanLine(y), std::size_t(w) * 3);

        const std::uint64_t inCycle = frame % kSceneCycleFrames;
        if (visitor && inCycle >= kVisitorFirstFrame && inCycle < kVisitorFirstFrame + kVisitorFrames) {
            const double t = double(inCycle - kVisitorFirstFrame) / kVisitorFrames;
            const int bodyW = w / 10;
            const int bodyH = h * 45 / 100;
            const int x = int(w / 10 + (w * 8 / 10 - bodyW) * t);
            const int feet = h * 8 / 10;
            QPainter p(&image);
            p.fillRect(x, feet - bodyH, bodyW, bodyH, QColor(40, 40, 110));
            p.fillRect(x + bodyW / 4, feet - bodyH - h / 10, bodyW / 2, h / 10, QColor(220, 180, 150));
        }

        // Light: the camera's brightness and a slow drift; then sensor grain.
        const double turn = double(frame % kLightDriftFrames) / kLightDriftFrames;
        const double drift = 1.0 + 0.2 * std::sin(2 * std::numbers::pi * turn);
        const double gain = drift * brightness / 128.0;
        std::array<uchar, 256> light;
        for (int v = 0; v < 256; ++v)
            light[std::size_t(v)] = uchar(std::min(255.0, v * gain));
        std::uint32_t grain = std::uint32_t(frame * 2654435761u) | 1u;
        for (int y = 0; y < h; ++y) {
            uchar* px = image.scanLine(y);
            for (int i = 0; i < w * 3; ++i) {
                grain ^= grain << 13;
                grain ^= grain >> 17;
                grain ^= grain << 5;
                const int v = light[px[i]] + int(grain % 5) - 2;
                px[i] = uchar(std::clamp(v, 0, 255));
            }
        }
    }

private:
    void Build(QSize size)
    {
        const int w = size.width();
        const int h = size.height();
        room_ = QImage(size, QImage::Format_RGB888);
        QPainter p(&room_);
        const int floorTop = h * 65 / 100;
        for (int y = 0; y < floorTop; ++y) {
            const int v = 165 - 35 * y / std::max(1, floorTop);
            p.fillRect(0, y, w, 1, QColor(v, v - 8, v - 25));
        }
        p.fillRect(0, floorTop, w, h - floorTop, QColor(100, 80, 60));
        // A window, a picture on the wall, a table. Nothing is brighter than
        // 170, so that the light can rise by half before a colour saturates.
        p.fillRect(w * 6 / 10, h * 15 / 100, w / 4, h * 3 / 10, QColor(130, 150, 170));
        p.fillRect(w * 6 / 10 + w / 8 - 1, h * 15 / 100, 3, h * 3 / 10, QColor(90, 80, 70));
        p.fillRect(w * 6 / 10, h * 30 / 100 - 1, w / 4, 3, QColor(90, 80, 70));
        p.fillRect(w * 12 / 100, h * 18 / 100, w / 6, h / 6, QColor(150, 60, 50));
        p.fillRect(w * 14 / 100, h * 21 / 100, w / 8, h / 9, QColor(60, 110, 70));
        p.fillRect(w * 15 / 100, h * 55 / 100, w * 3 / 10, h / 20, QColor(70, 45, 30));
        p.fillRect(w * 17 / 100, h * 60 / 100, w / 50 + 1, h * 12 / 100, QColor(70, 45, 30));
        p.fillRect(w * 40 / 100, h * 60 / 100, w / 50 + 1, h * 12 / 100, QColor(70, 45, 30));
    }

    QImage room_;
};

class TestPatternDevice final : public CaptureDevice
{
public:
    bool Start(QString*) override
    {
        if (!started_) {
            started_ = true;
            clock_.start();
            produced_ = 0;
            baseFrame_ = 0;
            baseMs_ = 0;
            queue_.clear();
            sceneStart_ = 0;
            takenMs_ = -1;
            last_ = {};
        }
        return true;
    }
    void Stop() override { started_ = false; }

    QSize FrameSize() const override { return size_; }
    QList<QSize> FrameSizes() const override
    {
        return {QSize(160, 120), QSize(320, 240), QSize(640, 480), QSize(1280, 720), QSize(1920, 1080)};
    }
    bool SetFrameSize(QSize size, QString* error) override
    {
        if (!FrameSizes().contains(size)) {
            if (error)
                *error = QStringLiteral("The test pattern does not offer %1 x %2.").arg(size.width()).arg(size.height());
            return false;
        }
        size_ = size;
        bars_ = QImage();
        last_ = {};
        return true;
    }

    ReadResult ReadFrame(QImage& image, int timeoutMs, QString* error, QSize atLeast) override
    {
        if (!started_ && !Start(error))
            return ReadResult::Lost;
        Capture();
        if (queue_.empty()) {
            // A camera delivers at its own pace: wait for the next frame.
            const qint64 wait = FrameDueMs(produced_) - clock_.elapsed();
            if (wait > timeoutMs)
                return ReadResult::NoFrame;
            if (wait > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(wait));
            Capture();
        }
        // The newest waiting frame; the older ones go back to the camera.
        const std::uint64_t frame = queue_.back();
        queue_.clear();
        if (sceneRestart_.exchange(false))
            sceneStart_ = frame;
        last_ = {frame, TestScene(scene_.load()), QTime::currentTime(), true};
        Render(last_, ShrunkSize(size_, FrameDivisor(size_, atLeast)), image);
        // A frame from before a change of pace has no due time on this clock.
        takenMs_ = frame >= baseFrame_ ? FrameDueMs(frame) : -1;
        return ReadResult::Frame;
    }

    // The same frame drawn again at full size, its clock as it was.
    bool RereadFull(QImage& image) override
    {
        if (!started_ || !last_.valid)
            return false;
        Render(last_, size_, image);
        return true;
    }

    int LastFrameAgeMs() const override
    {
        return takenMs_ < 0 ? -1 : int(std::max<qint64>(0, clock_.elapsed() - takenMs_));
    }

    int NominalRate() const override { return rate_; }
    bool SetFrameInterval(std::uint32_t microSecPerFrame) override
    {
        const int rate = std::clamp(int((1000000 + microSecPerFrame / 2) / std::max<std::uint32_t>(1, microSecPerFrame)), 1, 30);
        if (rate == rate_)
            return true;
        // The frames to come follow the new pace from now on.
        if (started_) {
            Capture();
            baseFrame_ = produced_;
            baseMs_ = clock_.elapsed();
        }
        rate_ = rate;
        return true;
    }

    void Drain() override
    {
        Capture();
        queue_.clear();
    }

    bool HasOverlay() const override { return true; }
    bool HasDisplayOptions() const override { return true; }

    QList<DeviceControl> Controls() override
    {
        DeviceControl brightness;
        brightness.id = kBrightnessId;
        brightness.name = QStringLiteral("Brightness");
        brightness.minimum = 0;
        brightness.maximum = 255;
        brightness.defaultValue = 128;
        brightness.value = brightness_;
        DeviceControl speed;
        speed.id = kSpeedId;
        speed.name = QStringLiteral("Motion");
        speed.type = DeviceControl::Type::Menu;
        speed.minimum = 0;
        speed.maximum = 2;
        speed.defaultValue = 1;
        speed.value = speed_;
        speed.menu = {QStringLiteral("Still"), QStringLiteral("Slow"), QStringLiteral("Fast")};
        DeviceControl scene;
        scene.id = kSceneId;
        scene.name = QStringLiteral("Scene");
        scene.type = DeviceControl::Type::Menu;
        scene.minimum = 0;
        scene.maximum = 2;
        scene.defaultValue = int(TestScene::Bars);
        scene.value = scene_;
        scene.menu = {QStringLiteral("Colour bars"), QStringLiteral("Room"), QStringLiteral("Room with visitor")};
        return {brightness, speed, scene};
    }

    bool SetControl(std::uint32_t id, int value) override
    {
        if (id == kBrightnessId && value >= 0 && value <= 255) {
            // The capture thread may be drawing: it rebuilds the bars itself.
            brightness_ = value;
            return true;
        }
        if (id == kSpeedId && value >= 0 && value <= 2) {
            speed_ = value;
            return true;
        }
        if (id == kSceneId && value >= 0 && value <= 2) {
            // The new scene starts with the next frame drawn.
            if (scene_.exchange(value) != value)
                sceneRestart_ = true;
            return true;
        }
        return false;
    }

    bool ShowInfo() const override { return showInfo_; }
    void SetShowInfo(bool show) override { showInfo_ = show; }

private:
    // One row of the eight bars for each of their eight turns. The bars move
    // a whole bar at a time: a picture scrolled by pixels would show a sliver
    // of the next bar at its edge, which passes for a fault in a still.
    void BuildBars(int w)
    {
        builtBrightness_ = brightness_;
        static const QRgb bars[8] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00, 0xFF00FF, 0xFF0000, 0x0000FF, 0x000000};
        bars_ = QImage(w, 8, QImage::Format_RGB888);
        const double scale = builtBrightness_ / 128.0;
        for (int turn = 0; turn < 8; ++turn) {
            uchar* row = bars_.scanLine(turn);
            for (int i = 0; i < 8; ++i) {
                const QColor c(bars[(i + turn) % 8]);
                const uchar rgb[3] = {uchar(std::min(255, int(c.red() * scale))),
                                      uchar(std::min(255, int(c.green() * scale))),
                                      uchar(std::min(255, int(c.blue() * scale)))};
                for (int x = i * w / 8; x < (i + 1) * w / 8; ++x)
                    std::memcpy(row + x * 3, rgb, 3);
            }
        }
    }

    qint64 FrameDueMs(std::uint64_t frame) const
    {
        return baseMs_ + qint64((frame - baseFrame_) * 1000 / std::uint64_t(NominalRate()));
    }

    // The frames the camera has taken since the last call: into a free
    // buffer while there is one, dropped while all of them wait to be read.
    void Capture()
    {
        const qint64 now = clock_.elapsed();
        while (FrameDueMs(produced_) <= now) {
            if (queue_.size() < kBuffers) {
                queue_.push_back(produced_++);
                continue;
            }
            // Full: every frame due until now is dropped, at one go.
            const std::uint64_t lastDue = baseFrame_ + std::uint64_t((now - baseMs_) * NominalRate() / 1000);
            produced_ = std::max(produced_ + 1, lastDue + 1);
        }
    }

    struct Shot {
        std::uint64_t frame = 0;
        TestScene scene = TestScene::Bars;
        QTime clock;
        bool valid = false;
    };

    void Render(const Shot& shot, QSize size, QImage& image)
    {
        const std::uint64_t frame = shot.frame;
        if (shot.scene != TestScene::Bars) {
            // Full and smaller pictures alternate: each keeps its own room.
            RoomScene& room = size == size_ ? room_ : smallRoom_;
            room.Render(shot.scene == TestScene::Visitor, frame - sceneStart_, size, brightness_, image);
            if (showInfo_)
                DrawInfo(image, frame, shot.clock);
            return;
        }
        const int w = size.width();
        const int h = size.height();
        if (bars_.width() != w || builtBrightness_ != brightness_)
            BuildBars(w);
        // Frames per bar: still, slow (a bar in two thirds of a second at 30
        // frames a second) or fast (in a sixth).
        const int framesPerBar = speed_ == 0 ? 0 : (speed_ == 1 ? 20 : 5);
        const int turn = framesPerBar == 0 ? 0 : int((frame / std::uint64_t(framesPerBar)) % 8);
        if (image.size() != size || image.format() != QImage::Format_RGB888)
            image = QImage(size, QImage::Format_RGB888);
        const uchar* row = bars_.constScanLine(turn);
        for (int y = 0; y < h; ++y)
            std::memcpy(image.scanLine(y), row, std::size_t(w) * 3);
        if (showInfo_)
            DrawInfo(image, frame, shot.clock);
    }

    QSize size_{320, 240};
    QImage bars_;  // a row of bars for each turn
    QElapsedTimer clock_;
    std::uint64_t produced_ = 0;      // frames the camera has taken
    qint64 takenMs_ = -1;             // when the frame last delivered was taken
    std::deque<std::uint64_t> queue_;  // taken frames waiting to be read
    std::uint64_t baseFrame_ = 0;     // the pace is counted from this frame
    qint64 baseMs_ = 0;               // and this time
    int rate_ = 30;
    std::atomic<int> brightness_{128};
    int builtBrightness_ = 128;
    std::atomic<int> speed_{1};
    std::atomic<bool> showInfo_{true};
    std::atomic<int> scene_{defaultScene.load()};
    std::atomic<bool> sceneRestart_{false};
    std::uint64_t sceneStart_ = 0;  // the camera's frame that starts the scene
    RoomScene room_;
    RoomScene smallRoom_;
    Shot last_;  // the frame ReadFrame last delivered
    bool started_ = false;
};

}  // namespace

std::unique_ptr<CaptureDevice> CreateTestPatternDevice()
{
    return std::make_unique<TestPatternDevice>();
}

QString TestPatternName()
{
    return QStringLiteral("Test Pattern Camera");
}

QString TestPatternVersion()
{
    return QStringLiteral("Version: 1.0");
}

std::uint32_t TestPatternFrameNumber(const QImage& frame)
{
    if (frame.format() != QImage::Format_RGB888 || frame.width() < 2 * kStampBits)
        return 0;
    const uchar* row = frame.constScanLine(frame.height() - 1);
    std::uint32_t n = 0;
    for (int bit = 0; bit < kStampBits; ++bit)
        if (row[bit * 6 + 1] & 1)
            n |= 1u << bit;
    return n;
}

void SetTestPatternScene(TestScene scene)
{
    defaultScene = int(scene);
}

QRect TestPatternClockArea()
{
    // The band is one and a half times a twelfth of the height: an eighth.
    return QRect(0, 875, 1000, 125);
}

void RenderTestScene(TestScene scene, std::uint64_t frame, QSize size, const QTime& clock, QImage& image)
{
    thread_local RoomScene room;
    room.Render(scene == TestScene::Visitor, frame, size, 128, image);
    DrawInfo(image, frame, clock);
}

}  // namespace platform::capture
