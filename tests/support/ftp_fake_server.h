#pragma once
// A scripted FTP server for exact replies and faults, built on Qt's own sockets
// so that the client is tested against an independent implementation.
//
// It listens on 127.0.0.1 at a kernel-chosen port. When a client connects, the
// script runs step by step: replies, raw bytes (partial lines), delays,
// waiting for the next command, data connections for PASV and PORT, drops and
// silence. Every command line received is recorded, also after the script ended.
//
//   FtpFakeServer srv;
//   srv.Reply("220 Ready").Expect("USER").Reply("331 Password")
//      .Expect("PASS").Reply("230 Logged in");

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <deque>
#include <memory>

namespace testsupport {

class FtpFakeServer : public QObject
{
    Q_OBJECT

public:
    FtpFakeServer();
    ~FtpFakeServer() override;

    quint16 Port() const;
    QString PortText() const { return QString::number(Port()); }

    // --- script (each call appends one step; steps run in order) ---
    // A line followed by CR LF.
    FtpFakeServer& Reply(const QByteArray& line);
    // Bytes exactly as given (partial lines, bare LF, several lines at once).
    FtpFakeServer& Raw(const QByteArray& bytes);
    FtpFakeServer& Delay(int ms);
    // Waits for the next command line; a line not starting with prefix is
    // noted in Mismatches().
    FtpFakeServer& Expect(const QByteArray& prefix);
    // Opens a data listener and replies "227 Entering Passive Mode (...)",
    // or with the six numbers bare ("227 Entering Passive Mode h1,...,p2").
    FtpFakeServer& Passive(bool parentheses = true);
    // Replies 227 with an address whose connection attempts go unanswered
    // (its listener's queue is full), as behind a firewall that drops them.
    FtpFakeServer& PassiveUnanswered();
    // Connects to the address of the last PORT command received.
    FtpFakeServer& ConnectData();
    // A stranger on another loopback address (127.0.0.2) connects to the
    // address of the last PORT command; what it receives is kept apart.
    FtpFakeServer& ConnectStranger();
    // Waits for the data connection and for its end; the bytes are kept in
    // DataReceived().
    FtpFakeServer& ReceiveData();
    // Waits for the data connection, sends bytes and closes it.
    FtpFakeServer& SendData(const QByteArray& bytes);
    // The next data connection ends its sending half (FIN, no reset) once
    // afterBytes have arrived on it, 0 as soon as it is open, and goes on
    // reading: a server that gives up early but looks graceful.
    FtpFakeServer& EndDataEarly(qint64 afterBytes);
    // Closes the control connection cleanly (FIN); the steps after it run on
    // the next control connection.
    FtpFakeServer& Drop();
    // Resets the control connection (RST).
    FtpFakeServer& Reset();
    // Leaves the control connection to the client: the steps after it run on
    // the client's next connection, whatever becomes of this one.
    FtpFakeServer& NextControl();
    // Convenience: 220 greeting, USER -> 331, PASS -> 230.
    FtpFakeServer& Greeting();
    FtpFakeServer& LoginSteps();

    // --- observations ---
    const QStringList& Commands() const { return commands_; }
    const QStringList& Mismatches() const { return mismatches_; }
    QByteArray DataReceived() const { return dataReceived_; }
    QByteArray StrangerReceived() const { return strangerReceived_; }
    bool ScriptDone() const { return steps_.empty() && !running_; }
    int Connections() const { return connections_; }
    bool ControlOpen() const;
    bool DataConnectionEverOpened() const { return dataOpened_; }

private:
    struct Step {
        enum Kind { ReplyLine, RawBytes, Wait, ExpectCmd, OpenPassive, OpenPassiveBare, PassiveNowhere, ActiveConnect, StrangerConnect, RecvData, EndDataAfter, SendDataBytes, DropControl, ResetControl, AwaitControl };
        Kind kind;
        QByteArray bytes;
        int ms = 0;
    };

    FtpFakeServer& Add(Step::Kind kind, const QByteArray& bytes = {}, int ms = 0);
    void OnNewControl();
    void OnControlReadyRead();
    void OnNewData();
    void AttachData(QTcpSocket* s);
    void EndDataIfDue();
    void Run();
    bool RunStep(Step& step);  // true when done, false when it must wait
    void Write(const QByteArray& bytes);

    QTcpServer control_;
    QPointer<QTcpSocket> ctl_;
    QTcpServer dataListener_;
    QTcpServer fullListener_;  // takes one connection and never accepts it
    QTcpSocket fullListenerFiller_;
    QPointer<QTcpSocket> data_;
    bool dataEnded_ = false;
    bool dataOpened_ = false;
    bool dataFresh_ = false;  // a data connection not yet used by a step
    bool sendStarted_ = false;
    qint64 endDataAfter_ = -1;  // armed for the next data connection
    qint64 endDataAt_ = -1;     // the current one's FIN, as a total of DataReceived()
    QHostAddress portAddr_;
    quint16 portPort_ = 0;

    std::deque<Step> steps_;
    bool running_ = false;
    bool inRun_ = false;
    bool awaitingControl_ = false;  // dropped: later steps wait for a new client
    QTimer delay_;
    bool delayArmed_ = false;
    bool delayDone_ = false;

    QByteArray inBuf_;
    std::deque<QByteArray> pendingLines_;  // received, not yet consumed by Expect
    QStringList commands_;
    QStringList mismatches_;
    QByteArray dataReceived_;
    QByteArray strangerReceived_;
    int connections_ = 0;
};

}  // namespace testsupport
