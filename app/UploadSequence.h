#pragma once
// One upload sequence of the website update, chained by the FTP client's
// request-done events: log in unless the control connection is open, TYPE I,
// store the picture as "Capture.jpg" and the caption as "datetime.bmp", QUIT;
// each step only while the client's Tag success flag is 1. Nothing waits
// inside a handler, so a modal box open anywhere delays no step.

#include "ftp/FtpCli.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class TUploadSequence : public QObject
{
    Q_OBJECT

public:
    // folder: what the client's local file names are relative to.
    TUploadSequence(TFtpClient& client, QString folder, QObject* parent = nullptr);
    ~TUploadSequence() override;

    bool Running() const { return step_ != Step::Idle; }

    // Starts the whole upload of two local files; false while a sequence runs.
    bool StartUpload(const QString& picture, const QString& caption);
    // Starts a sequence that only ends an open session with QUIT; false while
    // a sequence runs or when there is no session to end.
    bool StartQuit();
    // Gives the running request up now, as its time-out would.
    void Abandon();

    // The owner's request-done handler calls this first. False: the event
    // ends a request this sequence gave up and already reported; ignore it.
    // True: apply the success-flag rule; the next step follows from the
    // event loop, reading the flag as the rule left it.
    bool RequestDone();

    // A failure that no request-done reports (a request refused at its start,
    // a request given up after the time-out): the owner reports it and sets
    // the flag to 0.
    std::function<void(const QString& message)> OnFailure;
    // Once per started sequence, from the event loop, when it has ended.
    std::function<void()> OnFinished;

    // A request is given up when the client's Timeout passes without
    // progress; 0 or less would wait forever, so it counts as 15 seconds.
    static int TimeoutMs(int seconds);

private:
    enum class Step {
        Idle,
        Login,         // connect, greeting, USER, PASS
        Type,          // TYPE I
        StorePicture,  // STOR Capture.jpg
        StoreCaption,  // STOR datetime.bmp
        Quit,          // QUIT
        Abandoning,    // given up; swallowing the request's own end
    };

    bool Begin();
    void Issue(Step step);
    void Advance();
    void TimedOut();
    void FinishLater();
    void Finish();

    TFtpClient& client_;
    QString folder_;
    QString picture_;
    QString caption_;
    bool quitOnly_ = false;
    Step step_ = Step::Idle;
    QTimer watchdog_;
};
