#include "platform/shell.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace platform;

// Targets that cannot open answer with a failure value (32 or below) instead
// of handing them to the desktop.
TEST(ShellOpen, UnopenableTargetsAnswerFailure)
{
    QTemporaryDir dir;
    EXPECT_LE(ShellExecute(nullptr, QString()), 32);
    EXPECT_LE(ShellExecute(nullptr, QStringLiteral("   ")), 32);
    EXPECT_EQ(ShellExecute(nullptr, dir.filePath(QStringLiteral("missing.txt"))), SE_ERR_FNF);
    EXPECT_EQ(ShellExecute(nullptr, QStringLiteral("missing.txt"), {}, dir.path()), SE_ERR_FNF)
        << "relative names are taken in the given folder";
}
