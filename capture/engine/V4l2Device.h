#pragma once
// V4L2 webcams. The device calls go through V4l2Io, whose real form is
// libv4l2 (which hands most cameras' frames over as RGB24); tests put a
// scripted device with recorded buffers in its place.

#include "capture/engine/CaptureDevice.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform::capture {

class V4l2Io
{
public:
    virtual ~V4l2Io() = default;
    // Candidate device nodes in node order.
    virtual QStringList Nodes() = 0;
    // These answer like their POSIX namesakes, failing with errno set.
    virtual int Open(const QString& path) = 0;
    virtual int Close(int fd) = 0;
    virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual void* Mmap(std::size_t length, int fd, std::int64_t offset) = 0;  // MAP_FAILED on failure
    virtual int Munmap(void* address, std::size_t length) = 0;
    // 1 when a frame is ready, 0 on time-out, -1 on failure.
    virtual int Poll(int fd, int timeoutMs) = 0;
};

std::shared_ptr<V4l2Io> CreateLibV4l2Io();
// Replaces the device access used by the driver list; null restores libv4l2.
void SetV4l2IoFactory(std::function<std::shared_ptr<V4l2Io>()> factory);

struct V4l2DeviceInfo {
    QString node;
    QString card;
    QString bus;
    QString version;
};

// Nodes that can capture video, in node order.
QList<V4l2DeviceInfo> ListV4l2Devices(V4l2Io& io);
// Opens a device for capture; null with a reason when it cannot.
std::unique_ptr<CaptureDevice> OpenV4l2Device(std::shared_ptr<V4l2Io> io, const QString& node, QString* error);

}  // namespace platform::capture
