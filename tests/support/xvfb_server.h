#pragma once
// A virtual X server for tests that start the real program with a window:
// Xvfb on a free display number, stopped by its process id.

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <memory>

namespace testsupport {

class XvfbServer
{
public:
    XvfbServer() = default;
    ~XvfbServer();

    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // Starts the server and waits for its display; false (with Error()) on
    // failure. extraArgs go to the server as they are.
    bool Start(int timeoutMs = 15000, const QStringList& extraArgs = {});
    void Stop();

    // ":N"
    const QString& Display() const { return display_; }
    QString Error() const { return error_; }
    // The test's environment for a program shown on this display: DISPLAY
    // set, the test's offscreen platform taken away.
    QProcessEnvironment Environment() const;
    // Whether a client can connect to the display now.
    bool Answers() const;
    // Whether a top-level window with this caption is on the display.
    bool HasWindow(const QString& caption) const;

private:
    std::unique_ptr<QProcess> process_;
    QString display_;
    QString error_;
};

}  // namespace testsupport
