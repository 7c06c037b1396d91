#include "settings/Settings.h"
#include "tests/settings/settings_file.h"

#include <gtest/gtest.h>


using settings::CaptionSettings;
using settings::TProgramSettings;
using Position = CaptionSettings::Position;

namespace {

CaptionSettings Changed(void (*change)(CaptionSettings&))
{
    CaptionSettings c;
    change(c);
    return c;
}

TEST(CaptionSettings, OffWithoutTheSectionAndEachUnreadableValueKeepsItsDefault)
{
    const struct {
        const char* file;  // null: no file
        CaptionSettings expected;
    } cases[] = {
        {nullptr, {}},
        {"[Other Settings]\nFirstRun=0\n", {}},
        {"[caption]\nenabled=1\nposition=topband\nfontsize=30\ntextcolour=#ffff00\nbox=0\ntext=\"Garden - \"\n",
         Changed([](CaptionSettings& c) {
             c.enabled = true;
             c.position = Position::TopBand;
             c.fontSize = 30;
             c.textColour = QColor(255, 255, 0);
             c.box = false;
             c.text = QStringLiteral("Garden - ");
         })},
        {"[Caption]\nEnabled=x\nPosition=middle\nFontSize=big\nTextColour=#12\nBox=y\n", {}},
        {"[Caption]\nFontSize=2\n", Changed([](CaptionSettings& c) { c.fontSize = settings::kCaptionFontMin; })},
        {"[Caption]\nFontSize=9000\n", Changed([](CaptionSettings& c) { c.fontSize = settings::kCaptionFontMax; })},
        {"[Caption]\nFontSize=-3\n", {}},
    };
    for (const auto& c : cases) {
        QTemporaryDir dir;
        EXPECT_EQ(TProgramSettings(settingstest::WriteSettings(dir, c.file)).ReadCaption(), c.expected)
            << (c.file ? c.file : "no file");
    }
}

TEST(CaptionSettings, SavedAndReadBackUnchanged)
{
    QTemporaryDir dir;
    const QString name = settingstest::WriteSettings(dir, nullptr);
    const CaptionSettings c = Changed([](CaptionSettings& c) {
        c.enabled = true;
        c.position = Position::BottomLeft;
        c.fontSize = 0;
        c.textColour = QColor(10, 20, 30);
        c.text = QStringLiteral("  Haus \u2014 ");
    });
    TProgramSettings(name).SaveCaption(c);
    EXPECT_EQ(TProgramSettings(name).ReadCaption(), c);
}

}  // namespace
