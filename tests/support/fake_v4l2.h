#pragma once
// A scripted V4L2 camera behind the driver's device interface. It behaves
// like a real one: four buffers that fill while nobody dequeues (later frames
// are dropped), a stall that delivers nothing without going away, EBUSY on
// open while another program holds it, unplug and re-plug, and libv4l2's
// emulated RGB24 beside the native YUYV or MJPEG. Frames are advanced by the
// test (Produce) or, while live, one per wait (or, paced, one per frame
// interval by the clock); in RGB24 each frame carries its sequence number in
// its first pixel.

#include "capture/engine/V4l2Device.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QImage>
#include <QMutex>
#include <QSize>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace testsupport {

// Left half red, right half blue, in studio-range YUYV.
QByteArray RecordedYuyv(QSize size);
// A picture as a webcam sends it in MJPEG: without Huffman tables.
QByteArray WebcamMjpeg(const QImage& picture, int quality);
// A webcam MJPEG frame: green left, white right.
QByteArray RecordedMjpeg(QSize size);

class FakeV4l2 final : public platform::capture::V4l2Io
{
public:
    std::vector<std::uint32_t> formats;  // native formats; YUYV unless set
    bool emulateRgb = false;             // libv4l2 also offers RGB24 and converts to it
    std::vector<QSize> sizes{{320, 240}, {640, 480}, {1280, 720}, {1920, 1080}};
    std::atomic<bool> unplugged{false};
    std::atomic<bool> busy{false};     // another program holds the camera
    std::atomic<bool> stalled{false};  // streams but delivers nothing
    std::atomic<bool> live{true};      // a wait with an empty queue delivers one frame
    std::atomic<bool> paced{false};    // while live, frames come at the frame interval, as from a camera
    // The YUYV or MJPEG frame the camera sends at a size (the recorded ones
    // unless set); made once per format and size.
    std::function<QByteArray(std::uint32_t format, QSize size)> picture;
    std::map<std::uint32_t, int> values;  // control id -> value
    std::vector<std::pair<std::uint32_t, int>> setControls;
    std::vector<QSize> setFormats;         // sizes asked for with S_FMT
    std::vector<std::uint32_t> setPeriodsUs;  // frame intervals asked for with S_PARM
    QByteArray card = "Fake Cam";
    QByteArray bus = "usb-0000:00:14.0-1";
    std::atomic<int> opens{0};
    std::atomic<int> openFds{0};

    FakeV4l2();

    // Gone: nodes vanish and every open descriptor fails with ENODEV for good.
    void Unplug();
    // Back: the nodes reappear; descriptors from before stay dead.
    void Replug();
    // The camera captures n frames into the free buffers; the rest are
    // dropped. They are stamped as taken takenMsAgo before now.
    void Produce(int n, int takenMsAgo = 0);
    // Sequence number of the last frame the camera captured.
    std::uint32_t Sequence();
    static std::uint32_t SequenceOf(const QImage& rgbFrame);

    QStringList Nodes() override;
    int Open(const QString& path) override;
    int Close(int fd) override;
    int Ioctl(int fd, unsigned long request, void* arg) override;
    void* Mmap(std::size_t length, int fd, std::int64_t offset) override;
    int Munmap(void* address, std::size_t length) override;
    int Poll(int fd, int timeoutMs) override;

private:
    void ProduceLocked(int n, int takenMsAgo = 0);
    const QByteArray& PictureLocked();

    QMutex mutex_;
    QSize size_{640, 480};
    std::uint32_t format_ = 0;
    std::uint32_t sequence_ = 0;
    std::vector<QByteArray> buffers_;
    std::deque<std::uint32_t> queued_;  // empty buffers the driver gave back
    std::deque<std::uint32_t> done_;    // filled buffers waiting to be dequeued
    std::map<std::uint32_t, std::uint32_t> bytesUsed_;
    std::map<std::uint32_t, std::int64_t> takenUs_;  // monotonic stamp per buffer
    std::map<int, int> nodeOf_;  // open descriptor -> node number
    std::set<int> dead_;         // descriptors of an unplugged camera
    int nextFd_ = 10;
    bool streaming_ = false;
    std::uint32_t periodUs_ = 33333;
    QElapsedTimer streamClock_;     // since STREAMON, for paced frames
    std::int64_t pacedFrames_ = 0;  // paced frames captured so far
    std::uint32_t pictureFormat_ = 0;
    QSize pictureSize_;
    QByteArray picture_;
    std::uint64_t pictureCount_ = 0;                     // pictures made so far
    std::map<std::uint32_t, std::uint64_t> filledWith_;  // buffer -> picture it holds
};

// A scripted camera as the only V4L2 device while this lives.
class ScopedFakeCamera
{
public:
    ScopedFakeCamera();
    ~ScopedFakeCamera();
    ScopedFakeCamera(const ScopedFakeCamera&) = delete;
    ScopedFakeCamera& operator=(const ScopedFakeCamera&) = delete;

    FakeV4l2* operator->() const { return device_.get(); }

private:
    std::shared_ptr<FakeV4l2> device_ = std::make_shared<FakeV4l2>();
};

}  // namespace testsupport
