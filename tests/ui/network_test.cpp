#include "ftp/FtpCli.h"
#include "tests/support/fake_dialogs.h"
#include "tests/support/ftp_real_server.h"
#include "tests/support/tls_certificates.h"
#include "tests/support/unwritable_folder.h"
#include "tests/support/wait.h"
#include "tests/support/widgets.h"
#include "ui/ConnectionTest.h"
#include "ui/HtmlHelpBridge.h"
#include "ui/Network.h"
#include "ui/ServerCheck.h"
#include "upload/Advice.h"
#include "upload/UploadRunner.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QComboBox>
#include <QFile>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>

#include <vector>

namespace {

class Network : public ::testing::Test
{
protected:
    Network()
    {
        form_.SetSettingsFileName(dir_.filePath(QStringLiteral("Tarvo Lite.sif")));
        form_.OnGetUpdateInterval = [this] { return interval_; };
        form_.OnSetUpdateInterval = [this](const QString& v) { interval_ = v; };
        form_.SetTransport(&transport_);
    }

    void WriteSettings(const QByteArray& bytes)
    {
        QFile f(form_.SettingsFileName());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray ReadSettings() const
    {
        QFile f(form_.SettingsFileName());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    testsupport::ScopedFakeDialogs dialogs_;
    QTemporaryDir dir_;
    TUploadRunner transport_;
    TfrmNetwork form_;
    QString interval_ = QStringLiteral("3");

    // The account as the next upload job takes it.
    settings::FtpAccount Saved() const
    {
        settings::TProgramSettings s(form_.SettingsFileName());
        s.LoadAccount();
        return s.account;
    }
};

TEST_F(Network, DesignContentStandsWhileThereIsNoSettingsFile)
{
    EXPECT_EQ(form_.windowTitle(), QStringLiteral("Network Settings"));
    EXPECT_EQ(apphelp::HelpContextOf(&form_), 15);
    form_.show();
    EXPECT_EQ(form_.edFTPhost()->text(), QString());
    EXPECT_EQ(form_.edPort()->text(), QStringLiteral("21"));
    EXPECT_EQ(form_.edTimeout()->text(), QStringLiteral("15"));
    EXPECT_EQ(form_.edRemoteFolder()->text(), QString());
    EXPECT_TRUE(form_.CheckBoxPassive()->isChecked());
    EXPECT_FALSE(form_.CheckAutoStart()->isChecked());
    EXPECT_TRUE(form_.CheckSafeUpload()->isChecked());
    EXPECT_EQ(interval_, QStringLiteral("3"));
    EXPECT_EQ(form_.CheckBoxPassive()->text(), QStringLiteral("Use Passive Mode for FTP"));
    EXPECT_EQ(form_.CheckAutoStart()->text(), QStringLiteral("Auto Start Website Update"));
    EXPECT_TRUE(form_.findChild<QPushButton*>(QStringLiteral("OKBtn"))->isDefault());
    EXPECT_FALSE(QFile::exists(form_.SettingsFileName()));
}

TEST_F(Network, ShowingLoadsTheFileIntoFieldsAndMaskedPassword)
{
    WriteSettings("[FTP Settings]\r\nFTP_Host=ftp.example.org\r\nFTP_Timeout=0x1E\r\nUser_ID=cam\r\n"
                  "Password=\"  s3cret pass!\"\r\nUpdate_Interval=7\r\nAutoStart=1\r\nPassive_Mode=0\r\n");
    form_.show();
    EXPECT_EQ(form_.edFTPhost()->text(), QStringLiteral("ftp.example.org"));
    EXPECT_EQ(form_.edPort()->text(), QStringLiteral("21"));
    EXPECT_EQ(form_.edTimeout()->text(), QStringLiteral("0x1E"));  // as text
    EXPECT_EQ(form_.edUserID()->text(), QStringLiteral("cam"));
    EXPECT_EQ(form_.WorkingPassword(), QStringLiteral("  s3cret pass!"));
    EXPECT_EQ(form_.edPassword()->text(), QStringLiteral("  s3cret pass!"));
    EXPECT_EQ(form_.edPassword()->displayText(), QString(14, QLatin1Char('+')));
    EXPECT_TRUE(form_.CheckAutoStart()->isChecked());
    EXPECT_FALSE(form_.CheckBoxPassive()->isChecked());
}

TEST_F(Network, OkSavesReadsBackAndApplies)
{
    form_.show();
    form_.edFTPhost()->setText(QStringLiteral("host.example"));
    form_.edPort()->setText(QStringLiteral("2121"));
    form_.edTimeout()->setText(QStringLiteral("30"));
    form_.edUserID()->setText(QStringLiteral("user name"));
    form_.edPassword()->setText(QStringLiteral(" p@ss \"w0rd\"; x=y "));
    form_.CheckBoxPassive()->setChecked(false);
    form_.CheckAutoStart()->setChecked(true);
    form_.CheckSafeUpload()->setChecked(false);
    form_.edRemoteFolder()->setText(QStringLiteral("/www/cam"));
    form_.cbSecurity()->setCurrentIndex(kSftpChoice);
    form_.edHostKey()->setText(QStringLiteral(" SHA256:abc "));
    form_.edKeyFile()->setText(QStringLiteral("/home/u/.ssh/id_ed25519"));
    interval_ = QStringLiteral("12");
    QTest::mouseClick(form_.findChild<QPushButton*>(QStringLiteral("OKBtn")), Qt::LeftButton);

    EXPECT_FALSE(form_.isVisible());
    EXPECT_EQ(form_.result(), QDialog::Accepted);
    const settings::FtpAccount saved = Saved();
    EXPECT_EQ(saved.host, QStringLiteral("host.example"));
    EXPECT_EQ(saved.port, QStringLiteral("2121"));
    EXPECT_EQ(saved.TimeoutSeconds(), 30);
    EXPECT_EQ(saved.userId, QStringLiteral("user name"));
    EXPECT_EQ(saved.password, QStringLiteral(" p@ss \"w0rd\"; x=y "));
    EXPECT_FALSE(saved.passiveMode);
    EXPECT_FALSE(saved.safeUpload);
    EXPECT_EQ(saved.remoteFolder, QStringLiteral("/www/cam"));
    EXPECT_EQ(saved.ssh, (settings::SshSettings{settings::Protocol::Sftp, QStringLiteral("SHA256:abc"),
                                                QStringLiteral("/home/u/.ssh/id_ed25519")}));
    EXPECT_EQ(saved.tls.mode, 0);
    EXPECT_EQ(form_.WorkingPassword(), saved.password);
    EXPECT_EQ(interval_, QStringLiteral("12"));
    EXPECT_EQ(QFile::permissions(form_.SettingsFileName()) & QFileDevice::Permissions(0x7077),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    // A fresh dialog (the next start) reads the same password back.
    TfrmNetwork next;
    next.SetSettingsFileName(form_.SettingsFileName());
    next.FormShow();
    EXPECT_EQ(next.edPassword()->text(), QStringLiteral(" p@ss \"w0rd\"; x=y "));
    EXPECT_TRUE(next.CheckAutoStart()->isChecked());
    EXPECT_FALSE(next.CheckBoxPassive()->isChecked());
    EXPECT_FALSE(next.CheckSafeUpload()->isChecked());
    EXPECT_EQ(next.edRemoteFolder()->text(), QStringLiteral("/www/cam"));
    EXPECT_EQ(next.cbSecurity()->currentIndex(), kSftpChoice);
    EXPECT_TRUE(next.CheckBoxPassive()->isHidden());  // FTP's only
}

TEST_F(Network, OkStoresTheAccountAsTheNextUploadAppliesIt)
{
    TFtpClient client;
    client.SetPassiveMode(true);
    WriteSettings("[FTP Settings]\r\nFTP_Timeout=$14\r\nPassive_Mode=0\r\n");
    form_.show();
    form_.edFTPhost()->setText(QStringLiteral("h"));
    form_.edUserID()->setText(QStringLiteral("u"));
    form_.edPassword()->setText(QStringLiteral("p w"));
    form_.OKBtnClick();
    ApplyFtpAccount(client, Saved());
    EXPECT_EQ(client.HostName(), QStringLiteral("h"));
    EXPECT_EQ(client.Port(), QStringLiteral("21"));
    EXPECT_EQ(client.Timeout(), 20);  // "$14" went through the field as text and reads as hexadecimal
    EXPECT_EQ(client.UserName(), QStringLiteral("u"));
    EXPECT_EQ(client.PassWord(), QStringLiteral("p w"));
    EXPECT_FALSE(client.PassiveMode());
}

TEST_F(Network, OkKeepsOtherSectionsOfTheFile)
{
    WriteSettings("[Other Settings]\r\nLogErrors=0\r\n[Capture Parameters]\r\nFrameRate=20\r\n");
    form_.show();
    form_.OKBtnClick();
    const QByteArray text = ReadSettings();
    EXPECT_TRUE(text.startsWith("[Other Settings]\r\nLogErrors=0\r\n[Capture Parameters]\r\nFrameRate=20\r\n"));
    EXPECT_TRUE(text.contains("[FTP Settings]\r\nFTP_Host=\r\nFTP_Port=21\r\nFTP_Timeout=15\r\nUser_ID=\r\n"
                              "Password=\r\nUpdate_Interval=3\r\nAutoStart=0\r\nPassive_Mode=1\r\nSafe_Upload=1\r\n"));
}

TEST_F(Network, CancelWritesNothingAndTheNextShowingReloads)
{
    WriteSettings("[FTP Settings]\r\nFTP_Host=stored\r\n");
    const QByteArray before = ReadSettings();
    form_.show();
    form_.edFTPhost()->setText(QStringLiteral("edited"));
    QTest::mouseClick(form_.findChild<QPushButton*>(QStringLiteral("btnCancel")), Qt::LeftButton);
    EXPECT_EQ(form_.result(), QDialog::Rejected);
    EXPECT_EQ(ReadSettings(), before);
    EXPECT_EQ(form_.edFTPhost()->text(), QStringLiteral("edited"));
    form_.show();
    EXPECT_EQ(form_.edFTPhost()->text(), QStringLiteral("stored"));
}

// The interval typed in the main window is the user's: showing the dialog
// (the stored interval differs, or is missing) or cancelling it keeps it;
// OK saves it.
TEST_F(Network, OpeningOrCancellingKeepsTheIntervalTheUserSet)
{
    for (const QByteArray& stored : {QByteArray("Update_Interval=5\r\n"), QByteArray()}) {
        WriteSettings("[FTP Settings]\r\nFTP_Host=stored\r\n" + stored);
        interval_ = QStringLiteral("2");
        form_.show();
        EXPECT_EQ(interval_, QStringLiteral("2")) << stored.constData();
        form_.reject();
        EXPECT_EQ(interval_, QStringLiteral("2")) << stored.constData();
    }
    form_.show();
    form_.OKBtnClick();
    EXPECT_EQ(interval_, QStringLiteral("2"));
    EXPECT_TRUE(ReadSettings().contains("Update_Interval=2\r\n"));
}

TEST_F(Network, PortAndTimeoutRefillWhenEmptied)
{
    form_.show();
    form_.edPort()->setFocus();
    form_.edPort()->selectAll();
    QTest::keyClick(form_.edPort(), Qt::Key_Backspace);
    EXPECT_EQ(form_.edPort()->text(), QStringLiteral("21"));
    form_.edTimeout()->clear();
    EXPECT_EQ(form_.edTimeout()->text(), QStringLiteral("15"));
}

TEST_F(Network, PortAndTimeoutTakeDigitsOnly)
{
    form_.show();
    form_.edPort()->setText(QStringLiteral("21"));
    form_.edPort()->setCursorPosition(2);
    QTest::keyClick(form_.edPort(), Qt::Key_Minus);
    EXPECT_EQ(form_.edPort()->text(), QStringLiteral("21"));
    ASSERT_EQ(dialogs_->shown.size(), 1u);
    EXPECT_EQ(dialogs_->shown[0].text, QStringLiteral("Invalid entry: -"));
    EXPECT_EQ(dialogs_->shown[0].type, platform::MsgDlgType::Error);
    EXPECT_EQ(dialogs_->beeps, 1);

    QTest::keyClicks(form_.edPort(), QStringLiteral("0"));
    QTest::keyClick(form_.edPort(), Qt::Key_Backspace);
    QTest::keyClicks(form_.edTimeout(), QStringLiteral("a"));
    EXPECT_EQ(form_.edPort()->text(), QStringLiteral("21"));
    EXPECT_EQ(dialogs_->shown.size(), 2u);
    EXPECT_EQ(dialogs_->shown[1].text, QStringLiteral("Invalid entry: a"));
    // Host and user take anything.
    QTest::keyClicks(form_.edFTPhost(), QStringLiteral("a-b.c"));
    EXPECT_EQ(form_.edFTPhost()->text(), QStringLiteral("a-b.c"));
    EXPECT_EQ(dialogs_->shown.size(), 2u);
}

// What the dialog shows, as laid out for each protocol: the fields of that
// protocol only, whole values, room on a 1366 x 768 screen with a panel, and
// the Tab key following the fields.
TEST_F(Network, TheLayoutShowsEachProtocolsFieldsWholeOnALaptopScreen)
{
    form_.OnGetSessionStart = [] { return false; };  // the program's check box too
    form_.OnSetSessionStart = [](bool) { return QString(); };
    const struct {
        int choice;
        QStringList shown;
        QStringList hidden;
        const char* tabOrder;  // the fields as laid out, the buttons last
    } rows[] = {
        {ftpPlain, {"CheckBoxPassive"}, {"edFingerprint", "lblFingerprint", "edHostKey", "lblHostKey", "edKeyFile", "btnKeyFile"},
         "edFTPhost edPort edTimeout edUserID edPassword edRemoteFolder CheckBoxPassive CheckAutoStart chkSessionStart "
         "CheckSafeUpload cbSecurity btnCheckServer btnTest memoTest OKBtn btnCancel"},
        {ftpExplicitTls, {"CheckBoxPassive", "edFingerprint", "lblFingerprint"}, {"edHostKey", "edKeyFile", "lblKeyFile"}, nullptr},
        {ftpImplicitTls, {"CheckBoxPassive", "edFingerprint"}, {"edHostKey", "lblHostKey", "edKeyFile"}, nullptr},
        {kSftpChoice, {"edHostKey", "lblHostKey", "edKeyFile", "lblKeyFile", "btnKeyFile"}, {"CheckBoxPassive", "edFingerprint", "lblFingerprint"},
         "edFTPhost edPort edTimeout edUserID edPassword edRemoteFolder CheckAutoStart chkSessionStart CheckSafeUpload "
         "cbSecurity edHostKey edKeyFile btnKeyFile btnCheckServer btnTest memoTest OKBtn btnCancel"},
    };
    form_.show();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.choice);
        form_.cbSecurity()->setCurrentIndex(r.choice);
        form_.adjustSize();
        EXPECT_LE(form_.frameGeometry().height(), 680);
        for (const QString& name : r.shown)
            EXPECT_TRUE(form_.findChild<QWidget*>(name)->isVisible()) << name.toStdString();
        for (const QString& name : r.hidden)
            EXPECT_FALSE(form_.findChild<QWidget*>(name)->isVisible()) << name.toStdString();
        EXPECT_TRUE(testsupport::ShowsWhole(form_.edPort(), QStringLiteral("42022")));
        EXPECT_TRUE(testsupport::ShowsWhole(form_.edTimeout(), QStringLiteral("3600")));
        if (r.tabOrder)
            EXPECT_EQ(testsupport::TabOrder(&form_), r.tabOrder);
    }
}

// Editing shortcuts in the digit fields edit and pop no box; a paste is
// taken when it is all digits and refused with the entry box otherwise.
TEST_F(Network, DigitFieldsTakeEditingShortcutsAndOnlyDigitPastes)
{
    using Keys = std::vector<QKeyCombination>;
    const Qt::KeyboardModifier ctrl = Qt::ControlModifier;
    const struct {
        const char* what;
        const char* clipboard;
        Keys keys;
        const char* text;
        const char* clipboardAfter;
        const char* box;
    } rows[] = {
        {"copy", "", {ctrl | Qt::Key_A, ctrl | Qt::Key_C}, "2121", "2121", nullptr},
        {"cut, refilled", "", {ctrl | Qt::Key_A, ctrl | Qt::Key_X}, "21", "2121", nullptr},
        {"digit paste", "42022", {ctrl | Qt::Key_A, ctrl | Qt::Key_V}, "42022", "42022", nullptr},
        {"paste at the end", "0", {Qt::Key_End, Qt::ShiftModifier | Qt::Key_Insert}, "21210", "0", nullptr},
        {"other paste", "80 80", {ctrl | Qt::Key_A, ctrl | Qt::Key_V}, "2121", "80 80", "Invalid entry:  "},
        {"typed, undone", "", {Qt::Key_End, Qt::Key_5, ctrl | Qt::Key_Z}, "2121", "", nullptr},
        {"typed letter", "", {Qt::Key_End, Qt::Key_X}, "2121", "", "Invalid entry: x"},
    };
    form_.show();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        form_.edPort()->setText(QStringLiteral("2121"));
        QGuiApplication::clipboard()->setText(QString::fromLatin1(r.clipboard));
        dialogs_->shown.clear();
        for (const QKeyCombination key : r.keys)
            QTest::keyClick(form_.edPort(), key.key(), key.keyboardModifiers());
        EXPECT_EQ(form_.edPort()->text(), QString::fromLatin1(r.text));
        EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromLatin1(r.clipboardAfter));
        ASSERT_EQ(dialogs_->shown.size(), r.box ? 1u : 0u);
        if (r.box)
            EXPECT_EQ(dialogs_->shown[0].text, QString::fromLatin1(r.box));
    }

    // The field's own menu pastes by the same rule.
    dialogs_->shown.clear();
    QGuiApplication::clipboard()->setText(QStringLiteral("8a"));
    QTimer::singleShot(0, [] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        for (QAction* item : menu->actions())
            if (item->text().endsWith(QKeySequence(QKeySequence::Paste).toString(QKeySequence::NativeText)))
                item->trigger();
        menu->close();
    });
    QContextMenuEvent menuEvent(QContextMenuEvent::Keyboard, QPoint(2, 2), form_.edPort()->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(form_.edPort(), &menuEvent);
    EXPECT_EQ(form_.edPort()->text(), QStringLiteral("2121"));
    ASSERT_EQ(dialogs_->shown.size(), 1u);
    EXPECT_EQ(dialogs_->shown[0].text, QStringLiteral("Invalid entry: a"));
}

// The field shows the limit the program uses and confirms only a limit from
// one second to an hour: "0" no longer means "wait forever".
TEST_F(Network, TheTimeLimitFieldConfirmsOnlyOneSecondToAnHour)
{
    const struct {
        const char* stored;
        const char* shown;
    } loads[] = {{"0x1E", "0x1E"}, {"0", "15"}, {"3000000", "3600"}, {"-5", "15"}};
    for (const auto& l : loads) {
        WriteSettings("[FTP Settings]\r\nFTP_Timeout=" + QByteArray(l.stored) + "\r\n");
        form_.show();
        EXPECT_EQ(form_.edTimeout()->text(), QString::fromLatin1(l.shown)) << l.stored;
        form_.hide();
    }

    const struct {
        const char* typed;
        bool confirmed;
    } oks[] = {{"0", false}, {"3601", false}, {"2147484", false}, {"1", true}, {"3600", true}};
    for (const auto& o : oks) {
        WriteSettings("[FTP Settings]\r\nFTP_Timeout=20\r\n");
        dialogs_->exceptions.clear();
        form_.show();
        form_.edTimeout()->selectAll();
        QTest::keyClicks(form_.edTimeout(), QString::fromLatin1(o.typed));
        QTest::mouseClick(form_.findChild<QPushButton*>(QStringLiteral("OKBtn")), Qt::LeftButton);
        EXPECT_EQ(form_.isVisible(), !o.confirmed) << o.typed;
        EXPECT_EQ(Saved().timeout, QString::fromLatin1(o.confirmed ? o.typed : "20")) << o.typed;
        EXPECT_EQ(ReadSettings().contains("FTP_Timeout=20\r\n"), !o.confirmed) << o.typed;
        if (!o.confirmed) {
            ASSERT_EQ(dialogs_->exceptions.size(), 1) << o.typed;
            EXPECT_EQ(dialogs_->exceptions[0], QStringLiteral("The FTP time-out must be 1 to 3600 seconds."));
        }
        form_.hide();
    }
}

TEST_F(Network, AFailedSaveShowsTheMessageAppliesNothingAndStaysOpen)
{
    QTemporaryDir base;
    form_.SetSettingsFileName(testsupport::UnwritableFolder(base) + QStringLiteral("/Tarvo Lite.sif"));
    form_.show();
    QTest::mouseClick(form_.findChild<QPushButton*>(QStringLiteral("OKBtn")), Qt::LeftButton);
    ASSERT_EQ(dialogs_->exceptions.size(), 1);
    EXPECT_EQ(dialogs_->exceptions[0], QStringLiteral("Unable to write to ") + form_.SettingsFileName());
    EXPECT_TRUE(form_.isVisible());
}

}  // namespace

namespace {

// The TLS choice suggests the port that goes with it; "Check server" asks
// about a certificate that is not trusted and pins it only on Yes, after
// which the same check calls it trusted; OK stores and applies the choice.
TEST_F(Network, TlsChoiceSuggestsThePortAndCheckServerPinsOnlyWhenAsked)
{
    const testsupport::TlsCertificates& certificates = testsupport::TlsCertificates::Get();
    ASSERT_TRUE(certificates.Ok()) << certificates.Error().toStdString();
    testsupport::FtpRealServer server;
    server.SetTls(testsupport::FtpRealServer::Tls::Explicit);
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    form_.show();
    const struct {
        int choice;
        const char* port;
    } suggestions[] = {{ftpImplicitTls, "990"}, {ftpExplicitTls, "21"}, {ftpPlain, "21"},
                       {ftpImplicitTls, "990"}, {kSftpChoice, "22"},   {ftpPlain, "21"},
                       {kSftpChoice, "22"},     {ftpImplicitTls, "990"}};
    for (const auto& r : suggestions) {
        form_.cbSecurity()->setCurrentIndex(r.choice);
        form_.cbSecurityChange();
        EXPECT_EQ(form_.edPort()->text(), QString::fromLatin1(r.port)) << r.choice;
    }

    form_.edFTPhost()->setText(QStringLiteral("127.0.0.1"));
    form_.edPort()->setText(server.PortText());
    form_.cbSecurity()->setCurrentIndex(ftpExplicitTls);
    const QString print = certificates.Fingerprint(QStringLiteral("selfsigned"));
    dialogs_->answers = {platform::mrNo, platform::mrYes};
    // The buttons rest while the check runs: an OK then would close the
    // dialog before the answer could pin the fingerprint.
    const char* const buttons[] = {"OKBtn", "btnCancel", "btnCheckServer"};
    const auto enabled = [&] {
        QStringList names;
        for (const char* name : buttons)
            if (form_.findChild<QPushButton*>(QLatin1String(name))->isEnabled())
                names << QLatin1String(name);
        return names;
    };
    const auto check = [&](std::size_t reports) {
        form_.btnCheckServer()->click();
        EXPECT_TRUE(enabled().isEmpty()) << enabled().join(QStringLiteral(", ")).toStdString();
        EXPECT_TRUE(testsupport::WaitUntil([&] { return dialogs_->shown.size() == reports; }));
        EXPECT_EQ(enabled().size(), 3);
    };
    check(1);
    EXPECT_TRUE(form_.edFingerprint()->text().isEmpty());
    check(2);
    EXPECT_EQ(form_.edFingerprint()->text(), print);
    check(3);
    ASSERT_EQ(dialogs_->shown.size(), 3u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(dialogs_->shown[i].type, platform::MsgDlgType::Confirmation);
        EXPECT_TRUE(dialogs_->shown[i].text.contains(QStringLiteral("SHA-256 fingerprint: ") + print));
        EXPECT_TRUE(dialogs_->shown[i].text.contains(QLatin1String("Subject: CN=localhost,O=Tarvo Tests")));
        EXPECT_TRUE(dialogs_->shown[i].text.contains(QLatin1String("self-signed")));
    }
    EXPECT_EQ(dialogs_->shown[2].type, platform::MsgDlgType::Information);
    EXPECT_TRUE(dialogs_->shown[2].text.startsWith(QLatin1String("The server's certificate is trusted.")));

    form_.OKBtnClick();
    EXPECT_TRUE(ReadSettings().contains("FTP_Security=1\r\nTLS_Fingerprint=" + print.toLatin1() + "\r\n"));
    EXPECT_EQ(Saved().tls.mode, ftpExplicitTls);
    EXPECT_EQ(Saved().tls.fingerprint, print);
}

}  // namespace

// The connection test runs with the values as typed, nothing saved: one line
// per step, the advice under a failure, the button resting meanwhile, F1 on
// its own topic, and closing the dialog stops a running test.
TEST_F(Network, TheConnectionTestShowsEachStepAndStopsWithTheDialog)
{
    testsupport::FtpRealServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    form_.show();
    auto* button = form_.findChild<QPushButton*>(QStringLiteral("btnTest"));
    auto* lines = form_.findChild<QPlainTextEdit*>(QStringLiteral("memoTest"));
    ASSERT_TRUE(button && lines);
    EXPECT_EQ(apphelp::HelpContextFor(button), 18);
    form_.edFTPhost()->setText(QStringLiteral("127.0.0.1"));
    form_.edPort()->setText(server.PortText());
    form_.edUserID()->setText(server.User());
    const auto run = [&](const QString& password) {
        form_.edPassword()->setText(password);
        button->click();
        EXPECT_FALSE(button->isEnabled());
        EXPECT_TRUE(testsupport::WaitUntil([&] { return button->isEnabled(); }, 20000));
        return lines->toPlainText();
    };
    const QString passed = run(server.Password());
    EXPECT_TRUE(passed.contains(QStringLiteral("OK      Host name: 127.0.0.1"))) << passed.toStdString();
    EXPECT_TRUE(passed.contains(QStringLiteral("OK      Connection: Connected to 127.0.0.1:") + server.PortText()))
        << passed.toStdString();
    EXPECT_TRUE(passed.contains(QStringLiteral("OK      Delete: "))) << passed.toStdString();
    EXPECT_TRUE(passed.contains(QStringLiteral("Test passed"))) << passed.toStdString();

    const QString refused = run(QStringLiteral("wrong"));
    EXPECT_TRUE(refused.contains(QStringLiteral("FAILED  Log-in: 530"))) << refused.toStdString();
    EXPECT_TRUE(refused.contains(QString::fromUtf8(FindUploadAdvice(TUploadFault::LoginRefused)->meaning)));
    EXPECT_TRUE(ReadSettings().isEmpty()) << "a test saves nothing";

    // A server that accepts and never greets: the test runs until the close.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    form_.edPort()->setText(QString::number(silent.serverPort()));
    button->click();
    ASSERT_TRUE(form_.ConnectionTest()->Running());
    form_.reject();
    EXPECT_FALSE(form_.ConnectionTest()->Running());
    EXPECT_TRUE(button->isEnabled());
    EXPECT_TRUE(lines->toPlainText().endsWith(QStringLiteral("Test stopped.")));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return !transport_.Running(); }));
}

// What "Check server" says of each SSH host key: only a key not known yet is
// offered for trust; a changed one names both keys, a revoked one is refused.
TEST(ServerCheckReport, OnlyAnUnknownHostKeyIsOfferedForTrust)
{
    using State = TUploadResult::HostKey;
    const QString key = QStringLiteral("SHA256:server");
    const struct {
        const char* row;
        State state;
        const char* pinned;
        const char* known;
        platform::MsgDlgType type;
        QString pinnedOnYes;
        QStringList says;
    } cases[] = {
        {"unknown", State::Unknown, "", "", platform::MsgDlgType::Confirmation, key, {key}},
        {"changed against the pin", State::Changed, "SHA256:pin", "", platform::MsgDlgType::Error, {},
         {key, QStringLiteral("SHA256:pin")}},
        {"another key in known_hosts", State::Changed, "", "SHA256:old (ecdsa-sha2-nistp256)",
         platform::MsgDlgType::Error, {}, {key, QStringLiteral("SHA256:old (ecdsa-sha2-nistp256) (from known_hosts)")}},
        {"revoked", State::Revoked, "", "", platform::MsgDlgType::Error, {}, {key, QStringLiteral("revoked")}},
    };
    for (const auto& c : cases) {
        testsupport::ScopedFakeDialogs dialogs;
        dialogs->answers = {platform::mrYes};
        TServerCheck check;
        check.hostKeyState = c.state;
        check.hostKey = key;
        check.pinnedHostKey = QLatin1String(c.pinned);
        check.knownHostKey = QLatin1String(c.known);
        EXPECT_EQ(ReportServerCheck(check), c.pinnedOnYes) << c.row;
        ASSERT_EQ(dialogs->shown.size(), 1u) << c.row;
        EXPECT_EQ(dialogs->shown[0].type, c.type) << c.row;
        for (const QString& words : c.says)
            EXPECT_TRUE(dialogs->shown[0].text.contains(words)) << c.row << ": " << dialogs->shown[0].text.toStdString();
    }
}
