#include "ui/ConnectionTest.h"

#include "ui/HtmlHelpBridge.h"
#include "upload/Advice.h"
#include "upload/UploadRunner.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>
#include <QtMath>

namespace {
// Plain words rather than symbols: every font has them.
const QString kOk = QStringLiteral("OK      ");
const QString kFailed = QStringLiteral("FAILED  ");
const QString kIndent = QStringLiteral("        ");
// The help topic on the test (IDH_CONNECTION_TEST): F1 with the test focused.
constexpr std::int32_t kHelpContext = 18;
}  // namespace

TConnectionTest::TConnectionTest(QWidget* parent, Lines lines) : QWidget(parent), ownWindow_(lines == Lines::Window)
{
    setObjectName(QStringLiteral("ConnectionTest"));
    btnTest_ = new QPushButton(QStringLiteral("Test"), this);
    btnTest_->setObjectName(QStringLiteral("btnTest"));
    btnTest_->setAutoDefault(false);
    btnTest_->setToolTip(QStringLiteral("Log in, store a small file, rename and delete it, with the values as typed"));
    btnStop_ = new QPushButton(QStringLiteral("Stop"), this);
    btnStop_->setObjectName(QStringLiteral("btnStopTest"));
    btnStop_->setAutoDefault(false);
    btnStop_->setEnabled(false);
    if (ownWindow_) {
        // The lines with a way to close them, for a desktop without window frames too.
        linesWindow_ = new QWidget(this, Qt::Tool);
        linesWindow_->setWindowTitle(QStringLiteral("Connection test"));
        linesWindow_->resize(520, 270);
        auto* close = new QPushButton(QStringLiteral("Close"), linesWindow_);
        close->setObjectName(QStringLiteral("btnCloseTest"));
        close->setAutoDefault(false);
        connect(close, &QPushButton::clicked, linesWindow_, &QWidget::hide);
        connect(new QShortcut(QKeySequence::Cancel, linesWindow_), &QShortcut::activated, linesWindow_, &QWidget::hide);
        lines_ = new QPlainTextEdit(linesWindow_);
        auto* layout = new QVBoxLayout(linesWindow_);
        layout->addWidget(lines_);
        auto* row = new QHBoxLayout;
        row->addStretch();
        row->addWidget(close);
        layout->addLayout(row);
    } else {
        lines_ = new QPlainTextEdit(this);
    }
    lines_->setObjectName(QStringLiteral("memoTest"));
    lines_->setReadOnly(true);
    lines_->setTabChangesFocus(true);
    lines_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    lines_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // Six to eight lines, more by scrolling: the dialog that holds the panel
    // must fit a laptop's screen.
    const int frame = 2 * (lines_->frameWidth() + qCeil(lines_->document()->documentMargin()));
    lines_->setMinimumHeight(lines_->fontMetrics().lineSpacing() * 6 + frame);
    if (!ownWindow_)
        lines_->setMaximumHeight(lines_->fontMetrics().lineSpacing() * 8 + frame);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnTest_);
    buttons->addWidget(btnStop_);
    buttons->addStretch();
    if (ownWindow_) {
        buttons->setContentsMargins(0, 0, 0, 0);
        setLayout(buttons);
    } else {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addLayout(buttons);
        layout->addWidget(lines_);
    }

    apphelp::SetHelpContext(this, kHelpContext);

    connect(btnTest_, &QPushButton::clicked, this, [this] { Start(); });
    connect(btnStop_, &QPushButton::clicked, this, [this] { Cancel(); });
}

TConnectionTest::~TConnectionTest()
{
    Cancel();
}

void TConnectionTest::PlaceInTabOrder(QWidget* previous, QWidget* next)
{
    QWidget* chain[] = {previous, btnTest_, btnStop_, ownWindow_ ? nullptr : lines_, next};
    QWidget* before = chain[0];
    for (QWidget* w : chain) {
        if (!w || w == before)
            continue;
        setTabOrder(before, w);
        before = w;
    }
}

void TConnectionTest::Close()
{
    Cancel();
    if (linesWindow_)
        linesWindow_->hide();
}

QStringList TConnectionTest::StepLines(const TUploadStep& step)
{
    const QString line = UploadStepName(step.kind) + QStringLiteral(": ") + step.detail;
    if (step.ok)
        return {kOk + line};
    QStringList lines{kFailed + line};
    if (const TUploadAdvice* advice = FindUploadAdvice(step.fault)) {
        lines << kIndent + QString::fromUtf8(advice->meaning);
        lines << kIndent + QString::fromUtf8(advice->action);
    }
    return lines;
}

bool TConnectionTest::Start()
{
    if (running_)
        return false;
    lines_->clear();
    if (linesWindow_) {
        linesWindow_->show();
        linesWindow_->raise();
    }
    if (!transport_ || !OnGetAccount) {
        Add({QStringLiteral("The test cannot run here.")});
        return false;
    }
    TUploadJob job;
    job.purpose = TUploadPurpose::Test;
    job.account = OnGetAccount();
    const int run = ++run_;
    QPointer<TConnectionTest> self(this);
    // Running before the start: a numeric address resolves inside it.
    Add({QStringLiteral("Testing %1:%2 ...").arg(job.account.host, job.account.port)});
    SetRunning(true);
    const bool started = transport_->Start(
        job,
        [self, run](const TUploadResult& result) {
            if (self && self->running_ && self->run_ == run)
                self->Ended(result);
        },
        {},
        [self, run](const TUploadStep& step) {
            if (self && self->running_ && self->run_ == run)
                self->Add(StepLines(step));
        });
    if (!started) {
        SetRunning(false);
        lines_->clear();
        Add({QStringLiteral("Another connection to the server is still open: try again in a moment.")});
        return false;
    }
    return true;
}

void TConnectionTest::Cancel()
{
    if (!running_)
        return;
    SetRunning(false);
    if (transport_)
        transport_->Cancel();
    Add({QStringLiteral("Test stopped.")});
}

void TConnectionTest::Ended(const TUploadResult& result)
{
    SetRunning(false);
    if (result.ok)
        Add({QStringLiteral("Test passed: the website update can use these settings.")});
    else
        Add({QStringLiteral("Test ended: ") + result.text});
    if (OnEnded)
        OnEnded(result);
}

void TConnectionTest::SetRunning(bool running)
{
    running_ = running;
    btnTest_->setEnabled(!running);
    btnStop_->setEnabled(running);
}

void TConnectionTest::Add(const QStringList& lines)
{
    for (const QString& line : lines)
        lines_->appendPlainText(line);
}
