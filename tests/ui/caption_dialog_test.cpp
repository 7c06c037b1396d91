#include "ui/Caption.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>

namespace {

TEST(CaptionDialog, ShowsAndGivesBackEveryChoiceAndLocksThemWhileOff)
{
    using Position = settings::CaptionSettings::Position;
    settings::CaptionSettings chosen;
    chosen.enabled = true;
    chosen.position = Position::TopBand;
    chosen.fontSize = 33;
    chosen.textColour = QColor(1, 2, 3);
    chosen.box = false;
    chosen.text = QStringLiteral("Garden - ");
    const settings::CaptionSettings automatic;  // letters scaled with the picture
    for (const settings::CaptionSettings& c : {chosen, automatic}) {
        TfrmCaption dialog;
        dialog.SetSettings(c);
        EXPECT_EQ(dialog.Settings(), c);
        EXPECT_EQ(dialog.findChild<QLineEdit*>(QStringLiteral("EditText"))->isEnabled(), c.enabled);
        EXPECT_EQ(dialog.findChild<QComboBox*>(QStringLiteral("ComboPosition"))->isEnabled(), c.enabled);
    }
    TfrmCaption dialog;
    dialog.SetSettings(automatic);
    EXPECT_EQ(dialog.findChild<QSpinBox*>(QStringLiteral("SpinFontSize"))->text(), QStringLiteral("Scaled with the picture"));
    dialog.findChild<QCheckBox*>(QStringLiteral("CheckCaption"))->setChecked(true);
    EXPECT_TRUE(dialog.findChild<QSpinBox*>(QStringLiteral("SpinFontSize"))->isEnabled());
    dialog.findChild<QSpinBox*>(QStringLiteral("SpinFontSize"))->setValue(settings::kCaptionFontMin);
    EXPECT_EQ(dialog.Settings().fontSize, settings::kCaptionFontMin);
}

}  // namespace
