#include "ui/LogForm.h"

#include "platform/application.h"
#include "platform/dialogs.h"
#include "ui_LogForm.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QScreen>
#include <QShowEvent>
#include <QStringDecoder>

namespace {

QStringList ReadLines(const QByteArray& data)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(data);
    if (utf8.hasError())
        text = QString::fromLatin1(data);  // a log written in another code page
    if (text.isEmpty())
        return {};
    QStringList lines = text.split(QLatin1Char('\n'));
    if (text.endsWith(QLatin1Char('\n')))
        lines.removeLast();
    for (QString& line : lines)
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    return lines;
}

// Writes the lines, each ended by CR LF, through a temporary file that
// replaces the target only once complete.
bool WriteLines(const QString& fileName, const QStringList& lines)
{
    QSaveFile file(fileName);
    // A read-only folder that holds a writable log: written in place.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray data;
    for (const QString& line : lines) {
        data += line.toUtf8();
        data += "\r\n";
    }
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

QString UnableToWrite(const QString& fileName)
{
    return QStringLiteral("Unable to write to %1").arg(QDir::toNativeSeparators(fileName));
}

}  // namespace

TLogForm::TLogForm(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::LogForm>())
{
    ui->setupUi(this);
    // A long unattended run must not hold every appended line twice.
    ui->LogMemo->setUndoRedoEnabled(false);
    SetProgramFolder(platform::Application::ProgramFolder());
    connect(ui->btnSave, &QPushButton::clicked, this, [this] { btnSaveClick(); });
    connect(ui->btnClearLog, &QPushButton::clicked, this, [this] { btnClearLogClick(); });
    connect(ui->btnClose, &QPushButton::clicked, this, [this] { btnCloseClick(); });
}

TLogForm::~TLogForm() = default;

void TLogForm::SetProgramFolder(const QString& folder)
{
    programFolder_ = QDir::fromNativeSeparators(folder);
    if (!programFolder_.endsWith(QLatin1Char('/')))
        programFolder_ += QLatin1Char('/');
}

QString TLogForm::LogFileName() const
{
    return programFolder_ + QStringLiteral("Error.log");
}

QPlainTextEdit* TLogForm::LogMemo() const
{
    return ui->LogMemo;
}

void TLogForm::SetLines(const QStringList& lines)
{
    lines_ = lines;
    ui->LogMemo->setPlainText(lines_.join(QLatin1Char('\n')));
}

void TLogForm::AppendLine(const QString& line)
{
    unwritten_.append(line);
    if (lines_.isEmpty()) {
        SetLines({line});
        return;
    }
    lines_.append(line);
    ui->LogMemo->appendPlainText(line);
}

qsizetype TLogForm::TextLength() const
{
    qsizetype length = 0;
    for (const QString& line : lines_)
        length += line.size() + 2;
    return length;
}

bool TLogForm::ReloadFromFile()
{
    QFile file(LogFileName());
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return false;
    // Lines the file could not take yet stay, after the file's own.
    SetLines(ReadLines(data) + unwritten_);
    return true;
}

bool TLogForm::WriteLogFile()
{
    if (!WriteLines(LogFileName(), lines_))
        return false;
    unwritten_.clear();
    return true;
}

void TLogForm::FormShow()
{
    ReloadFromFile();
}

bool TLogForm::btnSaveClick()
{
    platform::SaveFileRequest request;
    request.owner = this;
    request.title = QStringLiteral("Save Error Log as...");
    request.filter = QStringLiteral("Text files (*.txt)");
    request.defaultExt = QStringLiteral("txt");
    request.initialDir = programFolder_;
    if (!platform::Dialogs().SaveFile(request))
        return false;
    if (!WriteLines(request.fileName, lines_)) {
        platform::Dialogs().ShowException(UnableToWrite(request.fileName));
        return false;
    }
    return true;
}

void TLogForm::btnClearLogClick()
{
    platform::Dialogs().MessageBeep();
    const int answer = platform::Dialogs().MessageDlg(QStringLiteral("This action can not be undone. \rAre you sure ?"),
                                                      platform::MsgDlgType::Confirmation,
                                                      platform::mbYes | platform::mbNo);
    if (answer != platform::mrYes)
        return;
    // The file is emptied first, so a failed write leaves log and file alike.
    if (!WriteLines(LogFileName(), {})) {
        platform::Dialogs().ShowException(UnableToWrite(LogFileName()));
        return;
    }
    unwritten_.clear();
    SetLines({});
}

void TLogForm::btnCloseClick()
{
    close();
}

void TLogForm::FormCloseQuery()
{
    if (TextLength() <= kMaxLogChars)
        return;
    platform::Dialogs().MessageBeep();
    const int answer = platform::Dialogs().MessageDlg(
        QStringLiteral("The Error Log grows too large. Do you want to\rcopy it to a text file and start a new one ?"),
        platform::MsgDlgType::Warning, platform::mbYes | platform::mbNo);
    if (answer != platform::mrYes)
        return;
    const QStringList kept = btnSaveClick() ? QStringList() : lines_;
    if (!WriteLines(LogFileName(), kept)) {
        platform::Dialogs().ShowException(UnableToWrite(LogFileName()));
        return;
    }
    unwritten_.clear();
    SetLines(kept);
}

void TLogForm::showEvent(QShowEvent* event)
{
    if (!centred_ && screen()) {
        // Centred on the screen at the first showing; later the user's place stands.
        centred_ = true;
        move(screen()->availableGeometry().center() - rect().center());
    }
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

// Every way of closing (the Close button, Esc, the close box) ends here.
void TLogForm::done(int result)
{
    if (!closing_) {
        closing_ = true;
        FormCloseQuery();
        closing_ = false;
    }
    QDialog::done(result);
}
