#pragma once
// An FTP server for long runs of the website update: it answers the upload
// sequence (greeting, USER, PASS, TYPE, PASV + STOR twice, each store renamed
// when published safely, QUIT) and injects
// one planned fault per control connection: an error reply, silence, a clean
// or reset close at any step, a garbled 227 reply, a data or control
// connection lost in the middle of a transfer; optionally every reply is sent
// one byte per event-loop turn. Passive mode only. Listens on 127.0.0.1 at a
// kernel-chosen port; RefusedPort() is bound but never listens, so a connect
// to it is refused.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <vector>

class QTcpServer;
class QTcpSocket;

namespace testsupport {

// Where in the sequence a fault strikes (one control connection).
enum class SoakStep {
    Greeting,
    User,
    Pass,
    Type,
    Pasv1,
    Stor1,
    Final1,  // the reply after the first file's data
    Pasv2,
    Stor2,
    Final2,
    Quit,
    Count
};

const char* SoakStepName(SoakStep step);

struct SoakFault {
    enum class Kind {
        None,
        Refused,                // nothing listens: the connect is refused
        ErrorReply,             // a 4xx or 5xx reply instead of the good one
        Silence,                // no reply from that step on
        DropClean,              // the server closes (FIN) instead of replying
        DropReset,              // the server resets (RST) instead of replying
        GarbagePassive,         // a 227 reply whose address cannot be used
        DataDropMidTransfer,    // data connection reset after its first bytes, then 426
        ControlDropMidTransfer  // control connection closed after the first data bytes
    };
    Kind kind = Kind::None;
    SoakStep step = SoakStep::Greeting;
    int code = 0;           // ErrorReply
    QByteArray garbage;     // GarbagePassive: the whole reply line
    bool garbageReadable = false;  // GarbagePassive: six numbers in a row, naming the refused port
    bool splitReplies = false;
    int sequence = 0;       // for the reply texts and the uploads

    QString Describe() const;
};

const char* SoakFaultKindName(SoakFault::Kind kind);

class SoakFtpServer : public QObject
{
public:
    struct Upload {
        int sequence;
        QString name;
        QByteArray bytes;
    };

    SoakFtpServer();
    ~SoakFtpServer() override;

    bool Listening() const;
    quint16 Port() const;
    quint16 RefusedPort() const { return refusedPort_; }

    // The plan for the next control connection; taken by it.
    void SetNextFault(const SoakFault& fault);

    // The files stored since the last call (the bytes are not kept longer,
    // so that a long run does not grow by them).
    std::vector<Upload> TakeUploads();
    int Connections() const { return connections_; }
    // Connections that arrived without a plan, and commands out of order.
    const QStringList& Problems() const { return problems_; }
    // Control, data and listening sockets the server still holds.
    int OpenSockets() const;

private:
    struct Session;

    void OnNewControl();
    void OnCommandBytes(Session* s);
    void OnCommand(Session* s, const QByteArray& line);
    void OnPassiveConnection(Session* s);
    void OnDataBytes(Session* s);
    void OnDataEnd(Session* s);
    void TransferDone(Session* s);

    // True when the plan strikes here; the fault has then been acted out.
    bool Strike(Session* s, SoakStep step);
    void Send(Session* s, const QByteArray& line);
    void SendNextByte(Session* s);
    // Closes the control connection once everything queued has gone out.
    void CloseAfterSend(Session* s, bool reset);
    void CloseNow(Session* s, bool reset);
    void End(Session* s);

    std::unique_ptr<QTcpServer> listener_;
    int refusedFd_ = -1;
    quint16 refusedPort_ = 0;
    std::map<Session*, std::unique_ptr<Session>> sessions_;
    SoakFault next_;
    bool planned_ = false;
    std::vector<Upload> uploads_;
    QStringList problems_;
    int connections_ = 0;
};

}  // namespace testsupport
