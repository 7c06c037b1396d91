#include "platform/messages.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QThread>

#include <memory>
#include <vector>

using namespace platform;
using testsupport::WaitUntil;

namespace {

struct Recorder {
    std::vector<Message> got;
    NotifyWindow window{[this](Message& m) { got.push_back(m); }};
};

}  // namespace

TEST(NotifyWindow, DeliversPostedRecordsInOrderFromTheLoop)
{
    Recorder r;
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(PostMessage(r.window.Handle(), WM_USER + 1, i, -i));
    EXPECT_TRUE(r.got.empty()) << "posting must not deliver synchronously";
    ASSERT_TRUE(WaitUntil([&] { return r.got.size() == 100; }));
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(r.got[i].wParam, WPARAM(i));
        EXPECT_EQ(r.got[i].lParam, LPARAM(-i));
    }
}

TEST(NotifyWindow, PostsToADestroyedWindowAreDropped)
{
    auto r = std::make_unique<Recorder>();
    const WindowHandle h = r->window.Handle();
    ASSERT_TRUE(PostMessage(h, WM_USER, 1, 0));
    r.reset();  // a record is still queued for it
    EXPECT_FALSE(IsWindow(h));
    EXPECT_FALSE(PostMessage(h, WM_USER, 2, 0));
    testsupport::DrainEvents();  // must not touch the freed window

    Recorder next;  // handles are not reused
    EXPECT_NE(next.window.Handle(), h);
}

TEST(NotifyWindow, RecordsPostedFromAWorkerThreadArriveOnTheOwnerThread)
{
    Recorder r;
    Qt::HANDLE owner = QThread::currentThreadId();
    Qt::HANDLE seenOn = nullptr;
    r.window.SetHandler([&](Message& m) {
        seenOn = QThread::currentThreadId();
        r.got.push_back(m);
    });
    const WindowHandle h = r.window.Handle();
    std::unique_ptr<QThread> worker(QThread::create([h] {
        for (int i = 0; i < 50; ++i)
            PostMessage(h, WM_USER + 2, i, 0);
    }));
    worker->start();
    ASSERT_TRUE(WaitUntil([&] { return r.got.size() == 50; }));
    worker->wait();
    EXPECT_EQ(seenOn, owner);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(r.got[i].wParam, WPARAM(i));
}

TEST(NotifyWindow, SendReturnsTheHandlersResult)
{
    NotifyWindow w([](Message& m) { m.result = LPARAM(m.wParam) * 2; });
    EXPECT_EQ(w.Send(WM_USER, 21, 0), 42);
}

TEST(NotifyWindow, LParamWordsRoundTrip)
{
    const LPARAM l = MakeLParam(2, 10054);
    EXPECT_EQ(LoWord(l), 2);
    EXPECT_EQ(HiWord(l), 10054);
}

TEST(ProcessMessages, DispatchesPendingRecordsAndTheTerminatingFlag)
{
    Recorder r;
    PostMessage(r.window.Handle(), WM_USER, 7, 0);
    ProcessMessages();
    ASSERT_EQ(r.got.size(), 1u);
    PostMessage(r.window.Handle(), WM_USER, 8, 0);
    EXPECT_TRUE(ProcessThreadMessages());
    EXPECT_EQ(r.got.size(), 2u);

    SetApplicationTerminated(true);
    EXPECT_TRUE(ApplicationTerminated());
    EXPECT_FALSE(ProcessThreadMessages());
    SetApplicationTerminated(false);
}
