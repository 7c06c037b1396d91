// Test entry point: a real application object (offscreen unless a display is
// asked for), so widgets, timers and posted messages work as in the program.
#include "platform/application.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// A dialog watcher a test left waiting must not act in the next test.
class ModalWatcherReset : public ::testing::EmptyTestEventListener
{
    void OnTestEnd(const ::testing::TestInfo&) override { testsupport::CancelModalWatchers(); }
};

}  // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    platform::Application app(argc, argv);
    app.setApplicationName(QStringLiteral("Tarvo Lite"));
    ::testing::UnitTest::GetInstance()->listeners().Append(new ModalWatcherReset);
    return RUN_ALL_TESTS();
}
