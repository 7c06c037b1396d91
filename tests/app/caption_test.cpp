// The caption on the picture in the whole program: its menu item's dialog
// stores the section and hands it to the update pictures, and the next start
// reads it back.
#include "app/UpdatePictures.h"
#include "tests/app/main_window_fixture.h"

#include <QCheckBox>
#include <QLineEdit>

using namespace apptest;

namespace {

using CaptionProgram = MainWindowTest;

TEST_F(CaptionProgram, TheMenuItemsDialogStoresTheCaptionForTheUpdateAndTheNextStart)
{
    StoreSettings("[Other Settings]\nFirstRun=0\n");
    LaunchWithCamera();
    EXPECT_FALSE(Main().UpdatePictures().PictureCaption().enabled) << "off without the section";

    bool shown = false;
    WhenModal(QStringLiteral("frmCaption"), [&](QDialog* d) {
        shown = true;
        d->findChild<QCheckBox*>(QStringLiteral("CheckCaption"))->setChecked(true);
        d->findChild<QLineEdit*>(QStringLiteral("EditText"))->setText(QStringLiteral("Garden - "));
        d->findChild<QPushButton*>(QStringLiteral("OKBtn"))->click();
    });
    Action("menuCaption")->trigger();
    ASSERT_TRUE(shown);
    const settings::CaptionSettings stored = Main().ProgramSettings().ReadCaption();
    EXPECT_TRUE(stored.enabled);
    EXPECT_EQ(stored.text, QStringLiteral("Garden - "));
    EXPECT_EQ(Main().UpdatePictures().PictureCaption(), stored);

    Relaunch();
    EXPECT_EQ(Main().UpdatePictures().PictureCaption(), stored);
}

}  // namespace
