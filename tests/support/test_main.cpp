// Test entry point: a real application object (offscreen unless a display is
// asked for), so widgets, timers and posted messages work as in the program.
#include "platform/application.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    platform::Application app(argc, argv);
    app.setApplicationName(QStringLiteral("Tarvo Lite"));
    return RUN_ALL_TESTS();
}
