#pragma once
// A visitor that keeps downloading one file from an FTP server on loopback,
// as a browser reloading a web cam page does, and sorts every copy it gets:
// one of the expected versions whole, or torn (cut short or mixed).
//
// It runs on its own thread with blocking sockets, so that its requests reach
// the server between the steps of an upload driven by the test's event loop.

#include <QByteArray>
#include <QString>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace testsupport {

class FtpReader
{
public:
    // versions: the whole contents a copy may have.
    FtpReader(quint16 port, QString user, QString password, QString fileName, std::vector<QByteArray> versions);
    ~FtpReader();

    FtpReader(const FtpReader&) = delete;
    FtpReader& operator=(const FtpReader&) = delete;

    void Start();
    // Ends the current download and the session; waits for the thread.
    void Stop();

    // Copies received whole (one of the versions) and torn; a file not there
    // yet counts as neither.
    int Whole() const { return whole_; }
    int Torn() const { return torn_; }
    // What stopped the reader early, if anything.
    QString Error() const;

private:
    void Run();
    void Fail(const QString& error);

    quint16 port_;
    QString user_;
    QString password_;
    QString fileName_;
    std::vector<QByteArray> versions_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> whole_{0};
    std::atomic<int> torn_{0};
    mutable std::mutex errorMutex_;
    QString error_;
};

}  // namespace testsupport
