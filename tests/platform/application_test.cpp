#include "platform/application.h"
#include "platform/exception.h"
#include "tests/support/fake_dialogs.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QTimer>

namespace {
TARVO_DECLARE_EXCEPTION(ETestException, Exception);
}

TEST(Application, AnExceptionEscapingAHandlerIsShownInTheErrorBox)
{
    testsupport::ScopedFakeDialogs dialogs;
    bool after = false;
    QTimer::singleShot(0, [] { throw ETestException(QStringLiteral("Boom in handler")); });
    QTimer::singleShot(0, [&] { after = true; });
    ASSERT_TRUE(testsupport::WaitUntil([&] { return after; }));
    ASSERT_EQ(dialogs->exceptions.size(), 1);
    EXPECT_EQ(dialogs->exceptions[0], QStringLiteral("Boom in handler"));
}

TEST(Application, ExceptionClassNamesAreTheirOwn)
{
    ETestException e(QStringLiteral("x"));
    const Exception& base = e;
    EXPECT_STREQ(base.ClassName(), "ETestException");
    EXPECT_STREQ(base.what(), "x");
}
