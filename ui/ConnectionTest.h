#pragma once
// The connection test as a small panel: a "Test" button that runs a test job
// with the account as the window's fields hold it (not yet saved), one line
// per step as it ends and, under a failed step, what it means and what to
// try. The network dialog and the wizard's first page share it; the job runs
// on the transport the program hands them.

#include "settings/Settings.h"
#include "upload/UploadJob.h"

#include <QStringList>
#include <QWidget>

#include <functional>

class QPlainTextEdit;
class QPushButton;
class TUploadRunner;

class TConnectionTest : public QWidget
{
    Q_OBJECT

public:
    // Panel: the buttons above the lines. Window: the buttons only, in a
    // row; the lines open in a small window of their own when a test starts
    // (pages without room for them), closed by its "Close" button or Esc.
    enum class Lines { Panel, Window };
    explicit TConnectionTest(QWidget* parent = nullptr, Lines lines = Lines::Panel);
    ~TConnectionTest() override;

    void SetTransport(TUploadRunner* transport) { transport_ = transport; }
    // Puts the panel's controls between two of the window's in the Tab
    // order: previous, Test, Stop, the lines (when in the panel), next.
    void PlaceInTabOrder(QWidget* previous, QWidget* next);
    // The account as typed; asked when a test starts.
    std::function<settings::FtpAccount()> OnGetAccount;
    // A test has ended (not one stopped), after its last line.
    std::function<void(const TUploadResult&)> OnEnded;

    QPushButton* btnTest() const { return btnTest_; }
    QPushButton* btnStopTest() const { return btnStop_; }
    // The lines of the test, read-only.
    QPlainTextEdit* memoTest() const { return lines_; }
    bool Running() const { return running_; }

    // "Test": starts a test unless one runs; false when none could start.
    bool Start();
    // "Stop", or the window closing: gives a running test up.
    void Cancel();
    // The window closes: the test is given up and the lines' own window goes.
    void Close();

    // The lines one step shows: its result, and under a failure the advice.
    static QStringList StepLines(const TUploadStep& step);

private:
    void Add(const QStringList& lines);
    void Ended(const TUploadResult& result);
    void SetRunning(bool running);

    TUploadRunner* transport_ = nullptr;
    QPushButton* btnTest_ = nullptr;
    QPushButton* btnStop_ = nullptr;
    QPlainTextEdit* lines_ = nullptr;
    QWidget* linesWindow_ = nullptr;  // Window: the window the lines open in
    bool ownWindow_ = false;
    bool running_ = false;
    // Which run a late answer belongs to: a cancelled run's is dropped.
    int run_ = 0;
};
