// The chosen camera is followed by its identity: at start when indexes have
// moved, and when a lost camera comes back. A scripted V4L2 camera comes and
// goes in front of the test pattern.
#include "platform/inifile.h"
#include "tests/app/main_window_fixture.h"
#include "tests/support/fake_v4l2.h"

#include <QComboBox>
#include <QPushButton>

using namespace apptest;

namespace {

const QString kCamera = QStringLiteral("Fake Cam (usb-0000:00:14.0-1)");

class CameraChoice : public MainWindowTest
{
protected:
    CameraChoice() : camera_(std::make_shared<testsupport::FakeV4l2>())
    {
        platform::capture::SetV4l2IoFactory([c = camera_] { return c; });
    }
    ~CameraChoice() override
    {
        if (forms_ && !Main().Closed())
            Main().close();
        forms_.reset();
        platform::capture::SetV4l2IoFactory(nullptr);
    }

    void StoreChoice(int index, const QString& name)
    {
        WriteFile(Path(QStringLiteral("vcap.sif")),
                  "[Driver]\nindex=" + QByteArray::number(index) + "\nname=" + name.toUtf8() + "\n");
    }
    bool Warned()
    {
        return std::any_of(dialogs_->shown.begin(), dialogs_->shown.end(), [](const auto& d) {
            return d.text == QStringLiteral("Could not activate video input device. Select a capture driver first.");
        });
    }

    std::shared_ptr<testsupport::FakeV4l2> camera_;
};

TEST_F(CameraChoice, AStoredIndexThatNowNamesAnotherDeviceWarnsUnlessTheDeviceMoved)
{
    // The camera is away: index 0 is now the test pattern.
    camera_->Unplug();
    StoreChoice(0, kCamera);
    WhenModal(QStringLiteral("DlgCapDriver"), [](QDialog* d) {
        EXPECT_EQ(d->findChild<QComboBox*>(QStringLiteral("ComboBox1"))->currentIndex(), -1);
        d->findChild<QPushButton*>(QStringLiteral("CancelBtn"))->click();
    });
    Launch();
    EXPECT_TRUE(Warned()) << "no colour bars in place of the camera";
    Close();
    forms_.reset();

    // The camera is back at index 0 while the stored index says 1.
    camera_->Replug();
    testsupport::DrainEvents();
    StoreChoice(1, kCamera);
    dialogs_->shown.clear();
    Launch();
    EXPECT_FALSE(Warned());
    EXPECT_EQ(Main().VideoCap1()->DriverIndex(), 0);
    EXPECT_TRUE(Main().VideoCap1()->DriverOpen());
    EXPECT_EQ(Main().VideoCap1()->PreviewRate(), 15) << "the form's preview rate";
    Close();
    forms_.reset();
    const platform::IniFile file(Path(QStringLiteral("vcap.sif")));
    EXPECT_EQ(file.ReadInteger(QStringLiteral("Driver"), QStringLiteral("index"), -9), 0);
    EXPECT_EQ(file.ReadString(QStringLiteral("Driver"), QStringLiteral("name"), {}), kCamera);

    // Files from before the name was kept still work by index.
    StoreDriver(0);
    dialogs_->shown.clear();
    Launch();
    EXPECT_FALSE(Warned());
    EXPECT_EQ(Main().VideoCap1()->DriverName(), QStringLiteral("Fake Cam"));
}

TEST_F(CameraChoice, ALostCameraIsReopenedWhenItComesBackAndTheReturnLoggedOnce)
{
    StoreChoice(0, kCamera);
    StoreSettings("[Other Settings]\nFirstRun=0\n");
    Launch();
    ASSERT_TRUE(Main().VideoCap1()->DriverOpen());
    ASSERT_TRUE(Main().VideoCap1()->VideoPreview()) << "the camera has no overlay";

    camera_->Unplug();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !Main().VideoCap1()->DriverOpen(); }));
    camera_->Replug();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Main().VideoCap1()->DriverOpen(); }, 20000));
    EXPECT_EQ(Main().VideoCap1()->DriverIndex(), 0);
    EXPECT_TRUE(Main().VideoCap1()->VideoPreview()) << "the picture as before";
    const QString log = QString::fromUtf8(ReadFile(Path(QStringLiteral("Error.log"))));
    EXPECT_EQ(log.count(QStringLiteral("Capture device is back: Fake Cam")), 1) << log.toStdString();
    EXPECT_EQ(log.count(QStringLiteral("Capture device was not detected.")), 1) << log.toStdString();
}

}  // namespace
