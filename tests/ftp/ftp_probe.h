#pragma once
// A TFtpClient wired for observation: every request-done, trace line,
// session event and command is recorded.

#include "ftp/FtpCli.h"
#include "tests/support/ftp_fake_server.h"

#include <QFile>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <utility>

namespace ftptest {

struct Done {
    TFtpRequest rq;
    int error;
    QString errorMessage;  // as the handler saw it
};

class ClientProbe
{
public:
    explicit ClientProbe(quint16 port, const QString& user = QStringLiteral("tarvo"),
                         const QString& password = QStringLiteral("secret"))
    {
        client.SetHostName(QStringLiteral("127.0.0.1"));
        client.SetPort(QString::number(port));
        client.SetUserName(user);
        client.SetPassWord(password);
        client.SetTimeout(20);
        client.OnRequestDone = [this](TCustomFtpCli* c, TFtpRequest rq, std::uint16_t e) {
            done << Done{rq, e, c->ErrorMessage()};
        };
        client.OnDisplay = [this](TCustomFtpCli*, QString& m) { display << m; };
        client.OnSessionConnected = [this](TCustomFtpCli*, std::uint16_t) {
            ++sessionConnected;
            displayAtConnect = display.size();
        };
        client.OnSessionClosed = [this](TCustomFtpCli*, std::uint16_t) { ++sessionClosed; };
    }

    // Trace lines with a given prefix ("> ", "< ", "! ").
    QStringList Trace(const QString& prefix) const
    {
        QStringList out;
        for (const QString& l : display)
            if (l.startsWith(prefix))
                out << l.mid(prefix.size());
        return out;
    }

    TFtpClient client;
    QList<Done> done;
    QStringList display;
    int sessionConnected = 0;
    int sessionClosed = 0;
    qsizetype displayAtConnect = -1;
};

inline bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

inline QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Bytes that differ from one position to the next, so that a lost or
// repeated block shows.
inline QByteArray Pattern(qsizetype size)
{
    QByteArray b(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (qsizetype i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[i] = static_cast<char>(x & 0xFF);
    }
    return b;
}

// A scripted server and a folder for local files; every test ends with the
// server's script fully matched.
class FakeServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_NE(srv.Port(), 0);
    }
    void TearDown() override { EXPECT_TRUE(srv.Mismatches().isEmpty()) << srv.Mismatches().join('\n').toStdString(); }

    QString Local(const QString& name, const QByteArray& content)
    {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(WriteFile(path, content));
        return path;
    }

    QTemporaryDir dir;
    testsupport::FtpFakeServer srv;
};

}  // namespace ftptest
