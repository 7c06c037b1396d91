#include "platform/inifile.h"
#include "tests/support/fake_dialogs.h"
#include "tests/support/ftp_real_server.h"
#include "tests/support/sftp_server.h"
#include "tests/support/tls_certificates.h"
#include "tests/support/wait.h"
#include "tests/support/widgets.h"
#include "ui/Gauge.h"
#include "ui/HtmlHelpBridge.h"
#include "ui/Network.h"
#include "ui/URL.h"
#include "ui/Wizard1.h"
#include "ui/Wizard2.h"
#include "ui/Wizard3.h"
#include "upload/UploadRunner.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

namespace {

using testsupport::WaitUntil;

const QString kSection = QStringLiteral("FTP Settings");

QByteArray FileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

template <typename T>
T* Child(QWidget* page, const char* name)
{
    T* child = page->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

// Records every value the gauge shows, by watching its paints.
class GaugeRecorder : public QObject
{
public:
    explicit GaugeRecorder(TGauge* gauge) : gauge_(gauge) { gauge->installEventFilter(this); }
    std::vector<int> shown;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == gauge_ && event->type() == QEvent::Paint &&
            (shown.empty() || shown.back() != gauge_->Progress()))
            shown.push_back(gauge_->Progress());
        return false;
    }

private:
    TGauge* gauge_;
};

class Wizard : public ::testing::Test
{
protected:
    Wizard()
    {
        savedCurrent_ = QDir::currentPath();
        folder_ = programDir_.path();
        settings_ = folder_ + QStringLiteral("/Tarvo Lite.sif");
        context_.Transport = &transport_;
        context_.Settings = &programSettings_;
        context_.MainWindow = &mainWindow_;
        context_.ProgramFolder = folder_;
        page1_ = std::make_unique<TfrmWizard1>(context_);
        page2_ = std::make_unique<TfrmWizard2>(context_);
        page3_ = std::make_unique<TfrmWizard3>(context_);
    }
    ~Wizard() override { QDir::setCurrent(savedCurrent_); }

    void ShipServerFolder()
    {
        ASSERT_TRUE(QDir(folder_).mkdir(QStringLiteral("Server")));
        for (const char* name : {"tarvolt.html", "stopcap.jpg", "stoptime.bmp"}) {
            const QString file = QString::fromLatin1(name);
            ASSERT_TRUE(QFile::copy(QStringLiteral(TARVO_SOURCE_DIR "/dist/Server/") + file,
                                    folder_ + QStringLiteral("/Server/") + file));
        }
    }

    QWidget* Page1() { return page1_.get(); }
    QPushButton* Button(QWidget* page, const char* name) { return Child<QPushButton>(page, name); }

    void AnswerYes(const QString& host, const QString& user, const QString& password)
    {
        page1_->cbYesFTP()->click();
        page1_->edFTPhost()->setText(host);
        page1_->edUserID()->setText(user);
        page1_->edPassword()->setText(password);
    }

    // Runs the wizard modally; `steps` drives it from inside the modal loop.
    int RunModal(std::function<void()> steps)
    {
        QTimer::singleShot(0, page1_.get(), [steps] { steps(); });
        return page1_->ShowModal();
    }

    testsupport::ScopedFakeDialogs dialogs_;
    QTemporaryDir programDir_;
    QString savedCurrent_;
    QString folder_;
    QString settings_;
    TUploadRunner transport_;
    settings::TProgramSettings programSettings_{programDir_.filePath(QStringLiteral("Tarvo Lite.sif"))};
    QWidget mainWindow_;
    TWizardContext context_;
    std::unique_ptr<TfrmWizard1> page1_;
    std::unique_ptr<TfrmWizard2> page2_;
    std::unique_ptr<TfrmWizard3> page3_;
};

TEST_F(Wizard, PagesCarryTheirTextsSizesAndStartingState)
{
    EXPECT_EQ(page1_->windowTitle(), QStringLiteral("Tarvo Lite - Setup and Configuration Wizard - Step 1"));
    EXPECT_EQ(apphelp::HelpContextOf(page1_.get()), 8);
    EXPECT_EQ(page1_->size(), QSize(531, 423));
    EXPECT_EQ(page2_->size(), QSize(531, 252));
    EXPECT_EQ(page3_->size(), QSize(536, 233));

    EXPECT_EQ(Child<QPlainTextEdit>(Page1(), "Memo1")->toPlainText().split(QLatin1Char('\n')),
              QStringList({QStringLiteral("   This Wizard only appears the very first time you run the program and "
                                          "helps you set up and configure the "),
                           QStringLiteral("Tarvo software."),
                           QStringLiteral("   Changes to these settings and more configuration options are available "
                                          "from whithin the program."),
                           QStringLiteral("   Click the \"Next\" button when you have answered all the questions "
                                          "appearing below.")}));
    EXPECT_EQ(Child<QPlainTextEdit>(Page1(), "Memo1")->palette().color(QPalette::Base),
              QColor(240, 251, 255));  // colour value 16776176
    const QStringList noGo = Child<QPlainTextEdit>(Page1(), "MemoNoGo")->toPlainText().split(QLatin1Char('\n'));
    ASSERT_EQ(noGo.size(), 14);
    EXPECT_EQ(noGo[0], QString());
    EXPECT_EQ(noGo[2], QStringLiteral("                                                     and / or"));
    EXPECT_TRUE(noGo[11].startsWith(QStringLiteral("Check it out at:  ")));
    EXPECT_TRUE(noGo[11].endsWith(QString::fromLatin1(kMakerWebAddress)));
    EXPECT_EQ(noGo[13], QStringLiteral("This Wizard will now close."));
    EXPECT_TRUE(Child<QLabel>(Page1(), "Label1")->font().underline());

    EXPECT_FALSE(Button(Page1(), "BitBtnNext")->isEnabled());
    EXPECT_FALSE(Button(Page1(), "BitBtnBack")->isEnabled());
    page1_->show();
    EXPECT_FALSE(Child<QGroupBox>(Page1(), "GroupBoxFTPaccount")->isVisible());
    EXPECT_FALSE(Child<QLabel>(Page1(), "lblNetwork")->isVisible());
    EXPECT_FALSE(Child<QPlainTextEdit>(Page1(), "MemoNoGo")->isVisible());
    page1_->edPassword()->setText(QStringLiteral("abc"));
    EXPECT_EQ(page1_->edPassword()->displayText(), QStringLiteral("+++"));

    const QStringList page3Memo = Child<QPlainTextEdit>(page3_.get(), "Memo1")->toPlainText().split(QLatin1Char('\n'));
    ASSERT_EQ(page3Memo.size(), 6);
    EXPECT_EQ(page3Memo[0], QString());
    EXPECT_EQ(page3Memo[3], QStringLiteral(" "));
    EXPECT_EQ(page3Memo[5], QStringLiteral("button to complete the software setup."));
    TGauge* gauge = page3_->Gauge();
    EXPECT_EQ(gauge->Kind(), gkHorizontalBar);
    EXPECT_EQ(gauge->size(), QSize(321, 16));
    EXPECT_EQ(gauge->ForeColor(), QColor(Qt::red));
    EXPECT_EQ(gauge->Progress(), 0);
    page3_->show();
    EXPECT_EQ(page3_->windowTitle(), QStringLiteral("Tarvo Lite - Setup and Configuration Wizard - Step 3"));
    EXPECT_FALSE(gauge->isVisible());
    EXPECT_FALSE(Child<QLabel>(page3_.get(), "lblWait")->isVisible());
    EXPECT_FALSE(page1_->isVisible()) << "showing page 3 hides page 1";

    // The pages as users see them, for a look when a folder is named.
    const QString shots = qEnvironmentVariable("TARVO_WIZARD_SHOTS");
    if (!shots.isEmpty()) {
        page1_->cbYesFTP()->click();
        page1_->grab().save(shots + QStringLiteral("/wizard1.png"));
        page1_->cbNoFTP()->click();
        page1_->grab().save(shots + QStringLiteral("/wizard1-no.png"));
        page2_->show();
        page2_->grab().save(shots + QStringLiteral("/wizard2.png"));
        page3_->show();
        Child<QLabel>(page3_.get(), "lblWait")->show();
        gauge->show();
        gauge->SetProgress(40);
        page3_->grab().save(shots + QStringLiteral("/wizard3.png"));
    }
}

// The first page as laid out: whole values, the keyboard in the order seen.
TEST_F(Wizard, TheFirstPageShowsWholeValuesAndTabFollowsTheFields)
{
    page1_->show();
    page1_->cbYesFTP()->click();
    EXPECT_TRUE(testsupport::ShowsWhole(page1_->edPort(), QStringLiteral("42022")));
    EXPECT_EQ(testsupport::TabOrder(page1_.get()), "cbYesFTP cbNoFTP edFTPhost edPort edUserID edPassword cbSecurity "
                                                   "edRemoteFolder btnTest BitBtnBack BitBtnNext btnCancelWizard");
}

TEST_F(Wizard, AnswerBoxesExcludeEachOtherAndBackResetsThePage)
{
    page1_->show();
    auto* group = Child<QGroupBox>(Page1(), "GroupBoxFTPaccount");
    auto* noGo = Child<QPlainTextEdit>(Page1(), "MemoNoGo");

    page1_->cbYesFTP()->click();
    EXPECT_TRUE(group->isVisible());
    EXPECT_TRUE(Child<QLabel>(Page1(), "lblNetwork")->isVisible());
    EXPECT_TRUE(Button(Page1(), "BitBtnNext")->isEnabled());

    page1_->cbNoFTP()->click();
    EXPECT_FALSE(page1_->cbYesFTP()->isChecked());
    EXPECT_FALSE(group->isVisible());
    EXPECT_TRUE(noGo->isVisible());

    page1_->cbYesFTP()->click();
    EXPECT_FALSE(page1_->cbNoFTP()->isChecked());
    EXPECT_FALSE(noGo->isVisible());

    // A second click clears Yes again: the group stays, Next stays enabled and does nothing.
    page1_->cbYesFTP()->click();
    EXPECT_FALSE(page1_->cbYesFTP()->isChecked());
    EXPECT_FALSE(page1_->cbNoFTP()->isChecked());
    EXPECT_TRUE(group->isVisible());
    ASSERT_TRUE(Button(Page1(), "BitBtnNext")->isEnabled());
    Button(Page1(), "BitBtnNext")->click();
    EXPECT_TRUE(page1_->isVisible());
    EXPECT_FALSE(page2_->isVisible());
    EXPECT_TRUE(dialogs_->shown.empty());

    // Back after Yes: unanswered again, typed fields kept.
    page1_->cbYesFTP()->click();
    page1_->edFTPhost()->setText(QStringLiteral("ftp.example.org"));
    Button(Page1(), "BitBtnBack")->click();
    EXPECT_FALSE(page1_->cbYesFTP()->isChecked());
    EXPECT_FALSE(group->isVisible());
    EXPECT_FALSE(Button(Page1(), "BitBtnNext")->isEnabled());
    EXPECT_FALSE(Button(Page1(), "BitBtnBack")->isEnabled());
    EXPECT_EQ(page1_->edFTPhost()->text(), QStringLiteral("ftp.example.org"));
    EXPECT_EQ(page1_->ModalResult(), platform::mrNone);
}

TEST_F(Wizard, YesWithCompleteFieldsStoresTheAccountAndShowsTheSummary)
{
    const QString password = QStringLiteral(" p@ss <word>+1");
    page1_->show();
    AnswerYes(QStringLiteral("ftp.example.org"), QStringLiteral("cam user"), password);
    page1_->edRemoteFolder()->setText(QStringLiteral(" www/cam "));
    Button(Page1(), "BitBtnNext")->click();

    EXPECT_EQ(programSettings_.account.remoteFolder, QStringLiteral("www/cam"));
    EXPECT_EQ(programSettings_.account.host, QStringLiteral("ftp.example.org"));
    EXPECT_EQ(programSettings_.account.userId, QStringLiteral("cam user"));
    EXPECT_EQ(programSettings_.account.password, password);

    const platform::IniFile file(settings_);
    EXPECT_EQ(file.ReadString(kSection, QStringLiteral("FTP_Host"), QString()), QStringLiteral("ftp.example.org"));
    EXPECT_EQ(file.ReadString(kSection, QStringLiteral("User_ID"), QString()), QStringLiteral("cam user"));
    EXPECT_EQ(file.ReadString(kSection, QStringLiteral("Password"), QString()), password);
    EXPECT_EQ(file.ReadString(kSection, QStringLiteral("FTP_Port"), QStringLiteral("none")), QStringLiteral("none"));
    EXPECT_EQ(file.ReadString(kSection, QStringLiteral("Remote_Folder"), QString()), QStringLiteral("www/cam"));
    EXPECT_EQ(QFile::permissions(settings_) & (QFile::ReadOther | QFile::ReadGroup), QFile::Permissions());

    ASSERT_TRUE(page2_->isVisible());
    EXPECT_FALSE(page1_->isVisible());
    EXPECT_EQ(page2_->windowTitle(), QStringLiteral("Tarvo Lite - Setup and Configuration Wizard - Step 2"));
    EXPECT_EQ(Child<QLabel>(page2_.get(), "lblFTPaccess2")->text(), QStringLiteral("Yes"));
    EXPECT_EQ(Child<QLabel>(page2_.get(), "lblFTPhost2")->text(), QStringLiteral("ftp.example.org"));
    EXPECT_EQ(Child<QLabel>(page2_.get(), "lblUserID2")->text(), QStringLiteral("cam user"));
    EXPECT_EQ(Child<QLabel>(page2_.get(), "lblPassword2")->text(), QString(password.size(), QChar(0x25CF)))
        << "the summary shows dots, never the password";
    EXPECT_EQ(Child<QLabel>(page2_.get(), "lblPassword2")->textFormat(), Qt::PlainText);

    // Back returns to page 1 with its answers; Next and Back walk pages 2 and 3.
    Button(page2_.get(), "BitBtnBack")->click();
    EXPECT_TRUE(page1_->isVisible());
    EXPECT_FALSE(page2_->isVisible());
    EXPECT_TRUE(page1_->cbYesFTP()->isChecked());
    Button(Page1(), "BitBtnNext")->click();
    Button(page2_.get(), "BitBtnNext")->click();
    EXPECT_TRUE(page3_->isVisible());
    EXPECT_FALSE(page2_->isVisible());
    Button(page3_.get(), "BitBtnBack")->click();
    EXPECT_TRUE(page2_->isVisible());
    EXPECT_FALSE(page3_->isVisible());
    EXPECT_TRUE(dialogs_->shown.empty());
}

TEST_F(Wizard, MissingAccountFieldBeepsShowsTheMessageAndWritesNothing)
{
    page1_->show();
    for (int missing = 0; missing < 3; ++missing) {
        AnswerYes(missing == 0 ? QString() : QStringLiteral("host"), missing == 1 ? QString() : QStringLiteral("user"),
                  missing == 2 ? QString() : QStringLiteral("pw"));
        const int beeps = dialogs_->beeps;
        Button(Page1(), "BitBtnNext")->click();
        EXPECT_EQ(dialogs_->beeps, beeps + 1);
        ASSERT_EQ(dialogs_->shown.size(), static_cast<size_t>(missing + 1));
        EXPECT_EQ(dialogs_->shown.back().text,
                  QStringLiteral("All questions must be answered and valid and complete \r"
                                 "information must be entered in the Account fields."));
        EXPECT_EQ(dialogs_->shown.back().type, platform::MsgDlgType::Error);
        EXPECT_EQ(dialogs_->shown.back().buttons, platform::mbOK);
        EXPECT_TRUE(page1_->isVisible());
        EXPECT_FALSE(page2_->isVisible());
        Button(Page1(), "BitBtnBack")->click();
    }
    EXPECT_FALSE(QFile::exists(settings_));
    EXPECT_TRUE(programSettings_.account.host.isEmpty());
}

TEST_F(Wizard, AnsweringNoEndsTheWizardAndKeepsTheFirstRunFlag)
{
    for (const char* way : {"BitBtnNext", "BitBtnBack", "btnCancelWizard"}) {
        page1_->cbNoFTP()->setChecked(false);
        const int result = RunModal([&] {
            ASSERT_TRUE(page1_->isVisible());
            page1_->cbNoFTP()->click();
            Button(Page1(), way)->click();
        });
        EXPECT_EQ(result, platform::mrOk) << way;
        EXPECT_FALSE(page1_->isVisible()) << way;
        EXPECT_TRUE(programSettings_.firstRun) << way;
    }
    EXPECT_TRUE(dialogs_->shown.empty()) << "No ends the wizard without asking";
    EXPECT_FALSE(QFile::exists(settings_));
}

TEST_F(Wizard, CancelAsksAndOnlyAConfirmationClearsTheFirstRunFlag)
{
    page1_->show();
    page1_->cbYesFTP()->click();
    dialogs_->answers = {platform::mrNo};
    Button(Page1(), "btnCancelWizard")->click();
    ASSERT_EQ(dialogs_->shown.size(), 1u);
    EXPECT_EQ(dialogs_->shown[0].text, QStringLiteral("If you cancel this Wizard it will not start\r"
                                                      "again unless you run it from the menu \"File\".\r"
                                                      "Do you really want to Cancel ?"));
    EXPECT_EQ(dialogs_->shown[0].type, platform::MsgDlgType::Warning);
    EXPECT_EQ(dialogs_->shown[0].buttons, platform::mbYes | platform::mbNo);
    EXPECT_EQ(dialogs_->beeps, 1);
    EXPECT_TRUE(page1_->isVisible());
    EXPECT_TRUE(programSettings_.firstRun);
    page1_->hide();

    // Confirmed from page 2 inside the modal showing: the wizard ends, the flag is cleared.
    dialogs_->answers = {platform::mrYes};
    const int result = RunModal([&] {
        page1_->edFTPhost()->setText(QStringLiteral("h"));
        page1_->edUserID()->setText(QStringLiteral("u"));
        page1_->edPassword()->setText(QStringLiteral("p"));
        Button(Page1(), "BitBtnNext")->click();
        ASSERT_TRUE(page2_->isVisible());
        Button(page2_.get(), "btnCancelWizard")->click();
    });
    EXPECT_EQ(result, platform::mrOk);
    EXPECT_FALSE(programSettings_.firstRun);
    EXPECT_FALSE(page2_->isVisible());
    EXPECT_FALSE(page1_->Showing());
}

TEST_F(Wizard, CloseBoxEndsTheWizardWithoutTouchingTheFlag)
{
    const int result = RunModal([&] {
        EXPECT_EQ(page1_->ShowModal(), platform::mrNone) << "no second showing inside the first";
        AnswerYes(QStringLiteral("h"), QStringLiteral("u"), QStringLiteral("p"));
        Button(Page1(), "BitBtnNext")->click();
        Button(page2_.get(), "BitBtnNext")->click();
        mainWindow_.hide();
        EXPECT_TRUE(page3_->close());
    });
    EXPECT_EQ(result, platform::mrOk);
    EXPECT_TRUE(programSettings_.firstRun);
    EXPECT_TRUE(mainWindow_.isVisible()) << "closing page 3 shows the main window";
    EXPECT_TRUE(dialogs_->shown.empty());
}

TEST_F(Wizard, FinishUploadsThePageAndStopPicturesAndStoresTheAccount)
{
    testsupport::FtpRealServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    ShipServerFolder();
    programSettings_.account.port = server.PortText();
    programSettings_.account.timeout = QStringLiteral("20");
    programSettings_.account.passiveMode = false;
    GaugeRecorder gauge(page3_->Gauge());
    mainWindow_.show();

    const int result = RunModal([&] {
        AnswerYes(QStringLiteral("127.0.0.1"), server.User(), server.Password());
        Button(Page1(), "BitBtnNext")->click();
        Button(page2_.get(), "BitBtnNext")->click();
        ASSERT_TRUE(page3_->isVisible());
        Button(page3_.get(), "BitBtnFinish")->click();
    });

    EXPECT_EQ(result, platform::mrOk);
    const QString root = server.Root() + QLatin1Char('/');
    const QString shipped = QStringLiteral(TARVO_SOURCE_DIR "/dist/Server/");
    EXPECT_EQ(FileBytes(root + QStringLiteral("tarvolt.html")), FileBytes(shipped + QStringLiteral("tarvolt.html")));
    EXPECT_EQ(FileBytes(root + QStringLiteral("Capture.jpg")), FileBytes(shipped + QStringLiteral("stopcap.jpg")));
    EXPECT_EQ(FileBytes(root + QStringLiteral("datetime.bmp")), FileBytes(shipped + QStringLiteral("stoptime.bmp")));
    EXPECT_FALSE(FileBytes(root + QStringLiteral("Capture.jpg")).isEmpty());
    EXPECT_EQ(QDir::currentPath(), savedCurrent_) << "the current folder is the process's own";
    EXPECT_FALSE(transport_.Running());

    // 0 as the gauge appears, then one step per upload, the flag and the settings.
    EXPECT_EQ(gauge.shown, std::vector<int>({0, 20, 40, 60, 80, 0}));
    EXPECT_FALSE(programSettings_.firstRun);
    const platform::IniFile file(settings_);
    EXPECT_EQ(file.ReadString(kSection, QStringLiteral("FTP_Host"), QString()), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(file.ReadString(kSection, QStringLiteral("FTP_Port"), QString()), server.PortText());
    EXPECT_EQ(file.ReadString(kSection, QStringLiteral("FTP_Timeout"), QString()), QStringLiteral("20"));
    EXPECT_EQ(file.ReadString(kSection, QStringLiteral("User_ID"), QString()), server.User());
    EXPECT_EQ(file.ReadString(kSection, QStringLiteral("Password"), QString()), server.Password());
    EXPECT_EQ(file.ReadString(kSection, QStringLiteral("Passive_Mode"), QString()), QStringLiteral("0"));

    // The page is given back in its resting state for a later run from the menu.
    EXPECT_FALSE(page3_->isVisible());
    EXPECT_FALSE(page3_->Gauge()->isVisibleTo(page3_.get()));
    EXPECT_FALSE(Child<QLabel>(page3_.get(), "lblWait")->isVisibleTo(page3_.get()));
    EXPECT_TRUE(Button(page3_.get(), "BitBtnFinish")->isEnabled());
    EXPECT_TRUE(Button(page3_.get(), "btnCancelWizard")->isEnabled());
    EXPECT_TRUE(Button(page3_.get(), "BitBtnBack")->isEnabled());
    EXPECT_TRUE(dialogs_->exceptions.isEmpty());
}

TEST_F(Wizard, ThePortTypedOnTheFirstPageIsWhereFinishUploads)
{
    testsupport::FtpRealServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    ShipServerFolder();

    const int result = RunModal([&] {
        AnswerYes(QStringLiteral("127.0.0.1"), server.User(), server.Password());
        EXPECT_EQ(page1_->edPort()->text(), QStringLiteral("21"));
        page1_->edPort()->setText(server.PortText());
        Button(Page1(), "BitBtnNext")->click();
        Button(page2_.get(), "BitBtnNext")->click();
        Button(page3_.get(), "BitBtnFinish")->click();
    });

    EXPECT_EQ(result, platform::mrOk);
    EXPECT_TRUE(QFile::exists(server.Root() + QStringLiteral("/tarvolt.html")));
    EXPECT_EQ(platform::IniFile(settings_).ReadString(kSection, QStringLiteral("FTP_Port"), QString()),
              server.PortText());
}

// The connection test on the first page: there while the account is asked
// for, run with the fields as typed, its lines in a window of their own.
TEST_F(Wizard, TheConnectionTestTakesTheAccountAsTyped)
{
    testsupport::FtpRealServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    page1_->show();
    QPushButton* test = Button(Page1(), "btnTest");
    EXPECT_FALSE(test->isVisible());
    page1_->cbNoFTP()->click();
    EXPECT_FALSE(test->isVisible());
    AnswerYes(QStringLiteral("127.0.0.1"), server.User(), server.Password());
    ASSERT_TRUE(test->isVisible());
    page1_->edPort()->setText(server.PortText());
    test->click();
    EXPECT_FALSE(test->isEnabled());
    ASSERT_TRUE(testsupport::WaitUntil([&] { return test->isEnabled(); }, 20000));
    auto* memo = Child<QPlainTextEdit>(Page1(), "memoTest");
    const QString lines = memo->toPlainText();
    EXPECT_TRUE(lines.contains(QStringLiteral("Test passed"))) << lines.toStdString();
    EXPECT_TRUE(QDir(server.Root()).isEmpty());

    // The lines' window closes by its own button or Esc, the page staying.
    QWidget* window = memo->window();
    ASSERT_NE(window, page1_.get());
    ASSERT_TRUE(window->isVisible());
    Button(window, "btnCloseTest")->click();
    EXPECT_FALSE(window->isVisible());
    window->show();
    QTest::keyClick(memo, Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(page1_->isVisible());
}

TEST_F(Wizard, FinishEndsAndSavesWhateverTheServerAnswersAndCannotBeClosedMidway)
{
    testsupport::FtpRealServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    ShipServerFolder();
    programSettings_.account.port = server.PortText();
    QStringList failures;
    transport_.OnFailure = [&](TUploadPurpose asked, const QString& message) {
        EXPECT_EQ(asked, TUploadPurpose::WizardPage);
        failures << message;
    };
    bool closedMidway = true;

    const int result = RunModal([&] {
        AnswerYes(QStringLiteral("127.0.0.1"), server.User(), QStringLiteral("wrong"));
        Button(Page1(), "BitBtnNext")->click();
        Button(page2_.get(), "BitBtnNext")->click();
        Button(page3_.get(), "BitBtnFinish")->click();
        ASSERT_TRUE(page3_->Uploading());
        closedMidway = page3_->close();
    });

    EXPECT_EQ(result, platform::mrOk);
    ASSERT_EQ(failures.size(), 1) << "the refused login is reported";
    EXPECT_TRUE(failures[0].startsWith(QStringLiteral("530"))) << failures[0].toStdString();
    EXPECT_FALSE(closedMidway) << "the close box waits for the uploads";
    EXPECT_FALSE(QFile::exists(server.Root() + QStringLiteral("/tarvolt.html")));
    EXPECT_FALSE(programSettings_.firstRun);
    EXPECT_EQ(platform::IniFile(settings_).ReadString(kSection, QStringLiteral("Password"), QString()),
              QStringLiteral("wrong"));
}

TEST_F(Wizard, FinishWithoutServerFolderReportsTheErrorAndGivesThePageBack)
{
    page1_->show();
    AnswerYes(QStringLiteral("127.0.0.1"), QStringLiteral("u"), QStringLiteral("p"));
    Button(Page1(), "BitBtnNext")->click();
    Button(page2_.get(), "BitBtnNext")->click();
    ASSERT_TRUE(page3_->isVisible());
    const QByteArray before = FileBytes(settings_);

    Button(page3_.get(), "BitBtnFinish")->click();

    ASSERT_EQ(dialogs_->exceptions.size(), 1);
    EXPECT_TRUE(dialogs_->exceptions[0].contains(folder_ + QStringLiteral("/Server")));
    EXPECT_TRUE(page3_->isVisible());
    EXPECT_FALSE(page3_->Gauge()->isVisible());
    EXPECT_FALSE(Child<QLabel>(page3_.get(), "lblWait")->isVisible());
    EXPECT_TRUE(Button(page3_.get(), "BitBtnFinish")->isEnabled());
    EXPECT_TRUE(Button(page3_.get(), "btnCancelWizard")->isEnabled());
    EXPECT_TRUE(Button(page3_.get(), "BitBtnBack")->isEnabled());
    EXPECT_FALSE(page3_->Uploading());
    EXPECT_TRUE(programSettings_.firstRun);
    EXPECT_EQ(FileBytes(settings_), before);
    EXPECT_EQ(page1_->ModalResult(), platform::mrNone);

    // Once the folder is back, Finish goes through (here against a closed
    // port), and a port field left blank is saved as the default port.
    ShipServerFolder();
    programSettings_.account.port = QStringLiteral("1");
    Button(page3_.get(), "BitBtnFinish")->click();
    programSettings_.account.port.clear();
    ASSERT_TRUE(WaitUntil([&] { return !page3_->Uploading(); }));
    EXPECT_FALSE(programSettings_.firstRun);
    EXPECT_EQ(page3_->Gauge()->Progress(), 0);
    EXPECT_EQ(platform::IniFile(settings_).ReadString(kSection, QStringLiteral("FTP_Port"), QString()),
              QStringLiteral("21"));
}

}  // namespace

namespace {

// Choosing TLS on page 1 checks the server; a certificate that is not
// trusted is shown and, on Yes, pinned with the choice for the client and
// the settings file.
TEST_F(Wizard, TlsChoiceAsksToTrustTheServerCertificateAndPinsIt)
{
    ASSERT_TRUE(testsupport::TlsCertificates::Get().Ok());
    testsupport::FtpRealServer server;
    server.SetTls(testsupport::FtpRealServer::Tls::Implicit);
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    programSettings_.account.port = server.PortText();
    const QString print = testsupport::TlsCertificates::Get().Fingerprint(QStringLiteral("selfsigned"));

    page1_->show();
    AnswerYes(QStringLiteral("127.0.0.1"), server.User(), server.Password());
    page1_->cbSecurity()->setCurrentIndex(ftpImplicitTls);
    dialogs_->answers = {platform::mrYes};
    Button(Page1(), "BitBtnNext")->click();
    EXPECT_FALSE(Button(Page1(), "BitBtnNext")->isEnabled()) << "resting while the server is checked";
    ASSERT_TRUE(WaitUntil([&] { return page2_->isVisible(); }));

    ASSERT_EQ(dialogs_->shown.size(), 1u);
    EXPECT_TRUE(dialogs_->shown[0].text.contains(print));
    EXPECT_TRUE(Button(Page1(), "BitBtnNext")->isEnabled());
    const platform::IniFile file(settings_);
    EXPECT_EQ(file.ReadString(kSection, QStringLiteral("FTP_Security"), QString()), QStringLiteral("2"));
    EXPECT_EQ(file.ReadString(kSection, QStringLiteral("TLS_Fingerprint"), QString()), print);
    EXPECT_EQ(file.ReadString(kSection, QStringLiteral("FTP_Port"), QString()), server.PortText());
}

}  // namespace

namespace {

// An SSH host key met for the first time is trusted only by the user's
// choice, offered by Test as by Next, No the default button; declined, the
// page stays and says why, since the uploads would be refused.
TEST_F(Wizard, AnUnknownHostKeyIsTrustedOnlyByChoiceFromTestOrNext)
{
    QTemporaryDir home;  // a known_hosts of the test's own: none
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", home.path().toUtf8());
    const auto restoreHome = qScopeGuard([&] { qputenv("HOME", oldHome); });
    testsupport::SftpServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    page1_->show();
    AnswerYes(QStringLiteral("127.0.0.1"), server.User(), server.Password());
    page1_->cbSecurity()->setCurrentIndex(kSftpChoice);
    page1_->edPort()->setText(server.PortText());
    auto* line = Child<QLabel>(Page1(), "lblHostKeyNeeded");
    EXPECT_FALSE(line->isVisible());

    const struct {
        const char* button;
        int answer;  // none: Return, the default button
        bool trusted;
    } steps[] = {
        {"BitBtnNext", platform::mrNone, false},
        {"btnTest", platform::mrNone, false},
        {"btnTest", platform::mrYes, true},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(steps[i].button);
        if (steps[i].answer != platform::mrNone)
            dialogs_->answers = {steps[i].answer};
        Button(Page1(), steps[i].button)->click();
        ASSERT_TRUE(WaitUntil([&] { return dialogs_->shown.size() == i + 1; }, 20000));
        const auto& prompt = dialogs_->shown.back();
        EXPECT_TRUE(prompt.text.contains(server.HostKey())) << prompt.text.toStdString();
        EXPECT_TRUE(prompt.text.contains(QStringLiteral("Trust this key")));
        EXPECT_EQ(prompt.defaultButton, platform::mbNo);
        EXPECT_TRUE(page1_->isVisible());
        EXPECT_FALSE(page2_->isVisible());
        EXPECT_EQ(line->isVisible(), !steps[i].trusted);
    }
    EXPECT_TRUE(platform::IniFile(settings_).ReadString(kSection, QStringLiteral("SSH_HostKey"), QString()).isEmpty());

    // Trusted in the test: Next asks no more and stores the key.
    Button(Page1(), "BitBtnNext")->click();
    ASSERT_TRUE(WaitUntil([&] { return page2_->isVisible(); }, 20000));
    EXPECT_EQ(dialogs_->shown.size(), std::size(steps));
    EXPECT_EQ(platform::IniFile(settings_).ReadString(kSection, QStringLiteral("SSH_HostKey"), QString()),
              server.HostKey());
}

}  // namespace
