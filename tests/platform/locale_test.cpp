#include "platform/locale.h"

#include <gtest/gtest.h>

#include <QLocale>

using platform::DateTimeToStr;

TEST(Locale, DateThenOneSpaceThenTimeWithoutZone)
{
    QLocale::setDefault(QLocale::c());
    const QDateTime when(QDate(2026, 3, 9), QTime(14, 5, 7));
    const QString text = DateTimeToStr(when);
    const QString date = QLocale::system().toString(when.date(), QLocale::ShortFormat);
    ASSERT_TRUE(text.startsWith(date + QLatin1Char(' '))) << text.toStdString();
    const QString time = text.mid(date.size() + 1);
    EXPECT_TRUE(time.contains(QStringLiteral("05")) && time.contains(QStringLiteral("07"))) << time.toStdString();
    EXPECT_FALSE(time.contains(QStringLiteral("UTC"))) << time.toStdString();
    EXPECT_FALSE(time.endsWith(QLatin1Char(' ')));
}

TEST(Locale, MidnightLeavesTheTimeOut)
{
    const QDateTime midnight(QDate(2026, 12, 31), QTime(0, 0, 0));
    EXPECT_EQ(DateTimeToStr(midnight), QLocale::system().toString(midnight.date(), QLocale::ShortFormat));
    const QDateTime oneSecond(QDate(2026, 12, 31), QTime(0, 0, 1));
    EXPECT_GT(DateTimeToStr(oneSecond).size(), DateTimeToStr(midnight).size());
}
