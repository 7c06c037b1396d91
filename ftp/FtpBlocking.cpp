// TFtpClient: the blocking wrappers.
#include "ftp/FtpCliPrivate.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>
#include <QTimer>

using namespace ftp::detail;

TFtpClient::TFtpClient(QObject* owner) : TCustomFtpCli(owner)
{
    timeout_ = 15;
}

bool TFtpClient::Progress()
{
    const bool go = TCustomFtpCli::Progress();
    if (timeout_ > 0)
        deadline_ = TickCount() + qint64(timeout_) * 1000;
    return go;
}

bool TFtpClient::RunBlocking(void (TCustomFtpCli::*start)())
{
    const QPointer<TFtpClient> alive(this);
    // The request may finish inside its own start call: the sink is set first.
    int result = -1;
    int* const outer = resultSink_;
    resultSink_ = &result;
    bool ok = false;
    try {
        (this->*start)();
        ok = Wait(&result);
    } catch (...) {
        ok = false;  // never started: no request-done follows
    }
    if (alive && resultSink_ == &result)
        resultSink_ = outer;
    return ok;
}

bool TFtpClient::WaitForReady() { return Wait(nullptr); }

bool TFtpClient::Wait(const int* result)
{
    const QPointer<TFtpClient> alive(this);
    deadline_ = TickCount() + qint64(timeout_) * 1000;
    // Bounds each blocking pump so that the deadline and the terminating
    // flag are seen without spinning.
    QTimer wake;
    wake.start(50);
    for (;;) {
        if (result ? *result >= 0 : (state_ == ClientState::Ready || state_ == ClientState::StepReady)) {
            const bool ok = result ? *result == 0 : requestResult_ == 0;
            // The request-done message is posted: let it run before returning.
            for (int i = 0; alive && postedDone_ > 0 && i < 100; ++i)
                platform::ProcessMessages();
            return ok;
        }
        if (platform::ApplicationTerminated() || (timeout_ > 0 && TickCount() > deadline_)) {
            ForceClose();  // finishes the pending request with 426
            if (!alive)
                return false;
            errorMessage_ = QStringLiteral("426 Timeout");
            statusCode_ = 426;
            return false;
        }
        if (multiThreaded_) {
            if (auto* d = QThread::currentThread()->eventDispatcher())
                d->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        } else {
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        }
        if (!alive)
            return false;  // a handler deleted the client
        // No extra yield: the pump sleeps in the event loop while nothing is
        // pending, and giving the processor away between upload blocks only
        // slows transfers down on a busy machine.
    }
}

bool TFtpClient::Open() { return RunBlocking(&TCustomFtpCli::StartOpen); }
bool TFtpClient::User() { return RunBlocking(&TCustomFtpCli::StartUser); }
bool TFtpClient::Pass() { return RunBlocking(&TCustomFtpCli::StartPass); }
bool TFtpClient::Login() { return RunBlocking(&TCustomFtpCli::StartLogin); }
bool TFtpClient::Cwd() { return RunBlocking(&TCustomFtpCli::StartCwd); }
bool TFtpClient::Pwd() { return RunBlocking(&TCustomFtpCli::StartPwd); }
bool TFtpClient::Syst() { return RunBlocking(&TCustomFtpCli::StartSyst); }
bool TFtpClient::Size() { return RunBlocking(&TCustomFtpCli::StartSize); }
bool TFtpClient::Mkd() { return RunBlocking(&TCustomFtpCli::StartMkd); }
bool TFtpClient::Rmd() { return RunBlocking(&TCustomFtpCli::StartRmd); }
bool TFtpClient::Dele() { return RunBlocking(&TCustomFtpCli::StartDele); }
bool TFtpClient::Quote() { return RunBlocking(&TCustomFtpCli::StartQuote); }
bool TFtpClient::SetBinaryType() { return RunBlocking(&TCustomFtpCli::StartTypeBinary); }
bool TFtpClient::SetAsciiType() { return RunBlocking(&TCustomFtpCli::StartTypeAscii); }
bool TFtpClient::Store() { return RunBlocking(&TCustomFtpCli::StartStore); }
bool TFtpClient::Retrieve() { return RunBlocking(&TCustomFtpCli::StartRetrieve); }
bool TFtpClient::ListLong() { return RunBlocking(&TCustomFtpCli::StartListLong); }
bool TFtpClient::ListNames() { return RunBlocking(&TCustomFtpCli::StartListNames); }
bool TFtpClient::Quit() { return RunBlocking(&TCustomFtpCli::StartQuit); }
bool TFtpClient::Upload() { return RunBlocking(&TCustomFtpCli::StartUpload); }
bool TFtpClient::Download() { return RunBlocking(&TCustomFtpCli::StartDownload); }
bool TFtpClient::DirectoryLong() { return RunBlocking(&TCustomFtpCli::StartDirectoryLong); }
bool TFtpClient::DirectoryNames() { return RunBlocking(&TCustomFtpCli::StartDirectoryNames); }
