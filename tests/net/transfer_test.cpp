// A large transfer both ways between two socket objects over loopback.
#include "net/WSocket.h"
#include "tests/net/loopback.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QElapsedTimer>

#include <cstdio>
#include <memory>

using namespace nettest;

namespace {

constexpr qint64 kTotal = 100LL * 1024 * 1024;
constexpr int kChunk = 1024 * 1024;

// One direction's producer and consumer state, hashed as it goes.
struct Stream {
    unsigned seed = 0;
    qint64 sent = 0;
    qint64 received = 0;
    int chunkIndex = 0;
    QCryptographicHash sentHash{QCryptographicHash::Sha1};
    QCryptographicHash receivedHash{QCryptographicHash::Sha1};
};

void Produce(TCustomWSocket* s, Stream& out)
{
    if (out.sent >= kTotal)
        return;
    const QByteArray chunk = Pattern(kChunk, out.seed * 1000 + unsigned(out.chunkIndex++));
    out.sentHash.addData(chunk);
    out.sent += chunk.size();
    s->Send(chunk);
}

void Consume(TCustomWSocket* s, Stream& in, QByteArray& buffer)
{
    const int n = s->Receive(buffer.data(), int(buffer.size()));
    if (n > 0) {
        in.receivedHash.addData(QByteArrayView(buffer.constData(), n));
        in.received += n;
    }
}

}  // namespace

TEST(WSocketTransfer, HundredMegabytesEachWayArriveIntact)
{
    TWSocket listener;
    TWSocket a;  // connects
    TWSocket b;  // adopts the accepted connection
    Stream aToB;
    Stream bToA;
    aToB.seed = 1;
    bToA.seed = 2;
    QByteArray bufferA(256 * 1024, Qt::Uninitialized);
    QByteArray bufferB(256 * 1024, Qt::Uninitialized);

    listener.SetAddr(QStringLiteral("127.0.0.1"));
    listener.SetPort(QStringLiteral("0"));
    listener.OnSessionAvailable = [&](TCustomWSocket* sender, std::uint16_t) { b.Dup(sender->Accept()); };
    listener.Listen();

    a.OnDataSent = [&](TCustomWSocket* s, std::uint16_t) { Produce(s, aToB); };
    b.OnDataSent = [&](TCustomWSocket* s, std::uint16_t) { Produce(s, bToA); };
    a.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) { Consume(s, bToA, bufferA); };
    b.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) { Consume(s, aToB, bufferB); };

    QElapsedTimer clock;
    clock.start();
    a.SetAddr(QStringLiteral("127.0.0.1"));
    a.SetPort(listener.GetBoundPort());
    a.Connect();
    ASSERT_TRUE(WaitUntil([&] { return aToB.received == kTotal && bToA.received == kTotal; }, 90000))
        << aToB.received << " " << bToA.received;
    const double seconds = double(clock.elapsed()) / 1000.0;
    std::printf("2 x 100 MB over loopback in %.2f s (%.0f MB/s each way)\n", seconds, 100.0 / seconds);

    EXPECT_EQ(aToB.sentHash.result(), aToB.receivedHash.result());
    EXPECT_EQ(bToA.sentHash.result(), bToA.receivedHash.result());
    EXPECT_EQ(a.ReadCount(), kTotal);
    EXPECT_EQ(b.ReadCount(), kTotal);
    EXPECT_TRUE(WaitUntil([&] { return a.AllSent() && b.AllSent(); }));
}
