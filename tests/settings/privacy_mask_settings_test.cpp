#include "settings/Settings.h"
#include "tests/settings/settings_file.h"

#include <gtest/gtest.h>


using settings::PrivacyMaskSettings;
using settings::TProgramSettings;
using Fill = PrivacyMaskSettings::Fill;
using settingstest::WriteSettings;

namespace {

// A bad entry costs that entry alone, with one line naming it; the rest of
// the masks apply, and a fill that cannot be read is black.
TEST(PrivacyMaskSettings, EachUnreadableEntryIsLeftOutWithOneLineAndTheOthersStay)
{
    const QRectF a(0.1, 0.2, 0.3, 0.25);
    const QRectF b(0.5, 0.5, 0.5, 0.5);
    const struct {
        const char* file;  // null: no file
        PrivacyMaskSettings expected;
        QStringList namedInLines;  // one line each
    } cases[] = {
        {nullptr, {}, {}},
        {"[Motion]\nEnabled=1\n", {}, {}},
        {"[privacy masks]\nfill=blurred\nmask1=0.1,0.2,0.3,0.25\n", {Fill::Blurred, {a}}, {}},
        // Numbers skipped, out of order, and with another key between.
        {"[Privacy Masks]\nMask7=0.5,0.5,0.5,0.5\nNote=x\nMask2=0.1, 0.2, 0.3, 0.25\n", {Fill::Black, {a, b}}, {}},
        {"[Privacy Masks]\nFill=grey\nMask1=0.1,0.2,0.3,0.25\n", {Fill::Black, {a}}, {"Fill=grey"}},
        {"[Privacy Masks]\nMask1=0.1,x,0.3,0.25\nMask2=0.5,0.5,0.5,0.5\nMask3=0.1,0.2,0.3\nMask4=\n"
         "Mask5=nan,0,1,1\nMask6=0.1,0.2,0.3,0.25\n",
         {Fill::Black, {b, a}},
         {"Mask1=0.1,x,0.3,0.25", "Mask3=0.1,0.2,0.3", "Mask4=", "Mask5=nan,0,1,1"}},
        // Outside the picture: left out; partly outside: cut to it.
        {"[Privacy Masks]\nMask1=1.5,0,0.2,0.2\nMask2=0,0,0,0.5\nMask3=0.2,0.2,-0.1,0.5\nMask4=0.5,-0.5,1,1\n",
         {Fill::Black, {b.translated(0, -0.5)}},
         {"Mask1=1.5,0,0.2,0.2", "Mask2=0,0,0,0.5", "Mask3=0.2,0.2,-0.1,0.5"}},
    };
    for (const auto& c : cases) {
        QTemporaryDir dir;
        QStringList lines;
        const PrivacyMaskSettings read = TProgramSettings(WriteSettings(dir, c.file)).ReadPrivacyMasks(&lines);
        const char* what = c.file ? c.file : "no file";
        EXPECT_EQ(read.fill, c.expected.fill) << what;
        ASSERT_EQ(read.areas.size(), c.expected.areas.size()) << what;
        for (int i = 0; i < read.areas.size(); ++i) {
            const QRectF& r = read.areas[i];
            const QRectF& e = c.expected.areas[i];
            EXPECT_TRUE(qFuzzyCompare(r.left() + 1, e.left() + 1) && qFuzzyCompare(r.top() + 1, e.top() + 1)
                        && qFuzzyCompare(r.width(), e.width()) && qFuzzyCompare(r.height(), e.height()))
                << what << " area " << i;
        }
        ASSERT_EQ(lines.size(), c.namedInLines.size()) << what << "\n" << lines.join('\n').toStdString();
        for (int i = 0; i < lines.size(); ++i)
            EXPECT_TRUE(lines[i].contains(c.namedInLines[i])) << lines[i].toStdString();
    }
}

// A save replaces the section: no mask of an earlier save stays, the other
// sections are kept, and an area never comes back smaller than it was.
TEST(PrivacyMaskSettings, SavedAfreshAndReadBackNoSmaller)
{
    QTemporaryDir dir;
    const QString name = WriteSettings(dir, "[Other Settings]\nFirstRun=0\n[Privacy Masks]\nMask9=0,0,1,1\n");
    TProgramSettings s(name);
    const QRectF third(1.0 / 3, 1.0 / 3, 1.0 / 3, 1.0 / 3);
    s.SavePrivacyMasks({Fill::Blurred, {third, QRectF(0, 0.875, 1, 0.125)}});

    QStringList lines;
    const PrivacyMaskSettings read = TProgramSettings(name).ReadPrivacyMasks(&lines);
    EXPECT_TRUE(lines.isEmpty());
    EXPECT_EQ(read.fill, Fill::Blurred);
    ASSERT_EQ(read.areas.size(), 2);
    EXPECT_TRUE(read.areas[0].contains(third));
    EXPECT_LT(read.areas[0].width() - third.width(), 2e-4);
    EXPECT_EQ(read.areas[1], QRectF(0, 0.875, 1, 0.125));
    TProgramSettings next(name);
    ASSERT_TRUE(next.Load());
    EXPECT_FALSE(next.firstRun);
}

}  // namespace
