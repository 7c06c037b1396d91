#pragma once
// The whole program in a temporary program folder: the windows created at
// launch, the test-pattern camera, scripted dialogs.

#include "app/Forms.h"
#include "app/Main.h"
#include "capture/videocap.h"
#include "tests/support/fake_dialogs.h"
#include "tests/support/wait.h"
#include "ui/LogForm.h"
#include "ui/Network.h"
#include "ui/Wizard1.h"
#include "upload/UploadJob.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <memory>

namespace apptest {

// Index of the test-pattern camera: the last installed driver.
inline int TestPatternIndex()
{
    return static_cast<int>(GetDriverList()->size()) - 1;
}

inline QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline void WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// A settings file for an account on a loopback server, past the first run;
// extra goes into section "FTP Settings".
inline QByteArray Account(const QString& port, const QString& user, const QString& password, const QByteArray& extra = {})
{
    return "[FTP Settings]\nFTP_Host=127.0.0.1\nFTP_Port=" + port.toUtf8() + "\nUser_ID=" + user.toUtf8() +
           "\nPassword=" + password.toUtf8() + "\n" + extra + "[Other Settings]\nFirstRun=0\n";
}

// The lines of a log file, empty ones left out.
inline QStringList LogLines(const QString& path)
{
    QStringList lines = QString::fromUtf8(ReadFile(path)).split(QStringLiteral("\r\n"));
    lines.removeAll(QString());
    return lines;
}

// A folder where a server's file should go, so that every store of it fails;
// removing the folder mends the server. A folder that is not empty stands at
// its aside name too: else the folder would be renamed aside like an old file.
inline void BlockRemoteFile(const QString& root, const QString& name)
{
    QDir folder(root);
    folder.remove(name);
    ASSERT_TRUE(folder.mkdir(name));
    ASSERT_TRUE(folder.mkpath(AsideName(name) + QStringLiteral("/full")));
}
inline void UnblockRemoteFile(const QString& root, const QString& name)
{
    // The upload may have swapped the two.
    for (const QString& folder : {name, AsideName(name)})
        ASSERT_TRUE(QDir(root + QLatin1Char('/') + folder).removeRecursively());
}

using testsupport::WhenModal;

class MainWindowTest : public ::testing::Test
{
protected:
    MainWindowTest()
    {
        // The shipped stop pictures live beside the executable.
        QFile::copy(QStringLiteral(TARVO_SOURCE_DIR "/dist/stopcap.jpg"), Path(QStringLiteral("stopcap.jpg")));
        QFile::copy(QStringLiteral(TARVO_SOURCE_DIR "/dist/stoptime.bmp"), Path(QStringLiteral("stoptime.bmp")));
    }

    ~MainWindowTest() override
    {
        if (forms_ && !Main().Closed())
            Main().close();
        forms_.reset();
    }

    QString Path(const QString& name) const { return dir_.path() + QLatin1Char('/') + name; }
    QStringList LogLines() const { return apptest::LogLines(Path(QStringLiteral("Error.log"))); }
    // The whole error log as text; empty without one.
    QString LogText() const { return QString::fromUtf8(ReadFile(Path(QStringLiteral("Error.log")))); }

    void StoreDriver(int index)
    {
        WriteFile(Path(QStringLiteral("vcap.sif")), "[Driver]\nindex=" + QByteArray::number(index) + "\n");
    }
    void StoreSettings(const QByteArray& text) { WriteFile(Path(QStringLiteral("Tarvo Lite.sif")), text); }

    void Launch() { forms_ = std::make_unique<TForms>(dir_.path()); }
    // Launch with the test-pattern camera stored as the driver.
    void LaunchWithCamera()
    {
        StoreDriver(TestPatternIndex());
        Launch();
    }
    void Relaunch()
    {
        Close();
        forms_.reset();
        Launch();
    }
    void Close()
    {
        Main().close();
        ASSERT_TRUE(testsupport::WaitUntil([this] { return Main().Closed(); }, 30000));
    }

    // Waits until no upload sequence runs.
    void WaitIdle() const { ASSERT_TRUE(testsupport::WaitUntil([this] { return !Main().SequenceRunning(); }, 30000)); }
    // The start/stop button and one tick, each with the upload it starts.
    void Press() const
    {
        Main().findChild<QPushButton*>(QStringLiteral("BitBtnFrameCap"))->click();
        WaitIdle();
    }
    void Tick() const
    {
        Main().Timer1Timer();
        WaitIdle();
    }

    TMain& Main() const { return *forms_->Main(); }
    TLogForm& Log() const { return *forms_->LogForm(); }
    TfrmNetwork& Network() const { return *forms_->frmNetwork(); }
    // The account the next upload job takes, as the settings hold it.
    const settings::FtpAccount& JobAccount() const { return Main().ProgramSettings().account; }
    template <class T>
    T* Find(const char* name) const
    {
        T* w = Main().findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QAction* Action(const char* name) const { return Find<QAction>(name); }
    QString Panel(int index) const { return Main().StatusPanelText(index); }

    testsupport::ScopedFakeDialogs dialogs_;
    QTemporaryDir dir_;
    std::unique_ptr<TForms> forms_;
};

}  // namespace apptest
