#pragma once
// A real SOCKS proxy for tests: danted in the foreground on 127.0.0.1 with
// "socksmethod: none", started on a free port and stopped by process id.
// danted cannot listen on port 0, so a port is found by binding port 0,
// releasing it and passing it on; a clash is retried with a new port.
// Dante 1.4 speaks SOCKS 4 and 5 but not the 4A name extension.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace testsupport {

class DantedProxy
{
public:
    DantedProxy();
    ~DantedProxy();
    DantedProxy(const DantedProxy&) = delete;
    DantedProxy& operator=(const DantedProxy&) = delete;

    bool Running() const;
    quint16 Port() const { return port_; }
    qint64 Pid() const;
    // Why it did not start, with the end of danted's log.
    const QString& Error() const { return error_; }
    QString Log() const;

private:
    bool StartOnce(quint16 port);
    void Stop();

    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
    QString error_;
};

}  // namespace testsupport
