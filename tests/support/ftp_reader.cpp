#include "tests/support/ftp_reader.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpSocket>

#include <algorithm>

namespace testsupport {
namespace {

constexpr int kWaitMs = 10000;

// The code of the next whole reply (its last line), or 0 when none came.
int ReadReply(QTcpSocket& s, QByteArray* text = nullptr)
{
    for (;;) {
        while (!s.canReadLine()) {
            if (!s.waitForReadyRead(kWaitMs))
                return 0;
        }
        const QByteArray line = s.readLine().trimmed();
        if (line.size() >= 4 && line[3] == ' ' && std::all_of(line.begin(), line.begin() + 3, ::isdigit)) {
            if (text)
                *text = line;
            return line.left(3).toInt();
        }
    }
}

int Command(QTcpSocket& s, const QByteArray& command, QByteArray* text = nullptr)
{
    s.write(command + "\r\n");
    return ReadReply(s, text);
}

// The data port of a "227 ... (h1,h2,h3,h4,p1,p2)" reply; 0 if unreadable.
quint16 PassivePort(const QByteArray& reply)
{
    static const QRegularExpression numbers(QStringLiteral("\\((\\d+),(\\d+),(\\d+),(\\d+),(\\d+),(\\d+)\\)"));
    const QRegularExpressionMatch m = numbers.match(QString::fromLatin1(reply));
    return m.hasMatch() ? static_cast<quint16>(m.captured(5).toInt() * 256 + m.captured(6).toInt()) : 0;
}

}  // namespace

FtpReader::FtpReader(quint16 port, QString user, QString password, QString fileName, std::vector<QByteArray> versions)
    : port_(port), user_(std::move(user)), password_(std::move(password)), fileName_(std::move(fileName)),
      versions_(std::move(versions))
{
}

FtpReader::~FtpReader() { Stop(); }

void FtpReader::Start()
{
    Stop();
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void FtpReader::Stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

QString FtpReader::Error() const
{
    std::lock_guard<std::mutex> lock(errorMutex_);
    return error_;
}

void FtpReader::Fail(const QString& error)
{
    std::lock_guard<std::mutex> lock(errorMutex_);
    error_ = error;
}

void FtpReader::Run()
{
    QTcpSocket control;
    control.connectToHost(QHostAddress::LocalHost, port_);
    if (!control.waitForConnected(kWaitMs) || ReadReply(control) != 220) {
        Fail(QStringLiteral("no greeting"));
        return;
    }
    if (Command(control, "USER " + user_.toUtf8()) != 331 || Command(control, "PASS " + password_.toUtf8()) != 230 ||
        Command(control, "TYPE I") != 200) {
        Fail(QStringLiteral("login refused"));
        return;
    }
    while (!stop_) {
        QByteArray reply;
        const quint16 dataPort = Command(control, "PASV", &reply) == 227 ? PassivePort(reply) : 0;
        if (dataPort == 0) {
            Fail(QStringLiteral("PASV: ") + QString::fromLatin1(reply));
            return;
        }
        QTcpSocket data;
        data.connectToHost(QHostAddress::LocalHost, dataPort);
        if (!data.waitForConnected(kWaitMs)) {
            Fail(QStringLiteral("no data connection"));
            return;
        }
        const int code = Command(control, "RETR " + fileName_.toUtf8(), &reply);
        if (code == 550)
            continue;  // not uploaded yet
        if (code != 150 && code != 125) {
            Fail(QStringLiteral("RETR: ") + QString::fromLatin1(reply));
            return;
        }
        QByteArray bytes;
        while (data.waitForReadyRead(kWaitMs))
            bytes += data.readAll();
        bytes += data.readAll();
        if (data.state() == QAbstractSocket::ConnectedState) {
            Fail(QStringLiteral("the download stalled"));
            return;
        }
        if (ReadReply(control, &reply) != 226) {
            Fail(QStringLiteral("RETR end: ") + QString::fromLatin1(reply));
            return;
        }
        if (std::find(versions_.begin(), versions_.end(), bytes) != versions_.end())
            ++whole_;
        else
            ++torn_;
    }
    Command(control, "QUIT");
}

}  // namespace testsupport
