#pragma once
// The error log viewer. Its read-only text box is also the program's
// in-memory copy of "Error.log": new entries are appended here and the whole
// log is then written back over the file.

#include <QDialog>
#include <QStringList>

#include <memory>

class QPlainTextEdit;

namespace Ui {
class LogForm;
}

class TLogForm : public QDialog
{
    Q_OBJECT

public:
    // Above this many characters (each line ended by CR LF) closing the
    // viewer offers to archive the log and start a new one.
    static constexpr int kMaxLogChars = 61440;

    explicit TLogForm(QWidget* parent = nullptr);
    ~TLogForm() override;

    // The folder holding "Error.log": the executable's folder unless set.
    const QString& ProgramFolder() const { return programFolder_; }
    void SetProgramFolder(const QString& folder);
    QString LogFileName() const;

    QPlainTextEdit* LogMemo() const;
    const QStringList& Lines() const { return lines_; }
    void SetLines(const QStringList& lines);
    void AppendLine(const QString& line);
    // Characters of the log text, every line ended by CR LF as in the file.
    qsizetype TextLength() const;

    // Replaces the lines with those of "Error.log" when the file exists and
    // can be read, keeping after them the appended lines that the file could
    // not take yet; answers whether it did.
    bool ReloadFromFile();
    // Replaces "Error.log" with the lines, atomically (in place when its
    // folder is read-only); false when the file could not be written (it is
    // then unchanged and the lines wait for the next write).
    bool WriteLogFile();

    // Window handlers.
    void FormShow();
    bool btnSaveClick();  // answers whether a copy was written
    void btnClearLogClick();
    void btnCloseClick();
    void FormCloseQuery();

protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;

private:
    std::unique_ptr<Ui::LogForm> ui;
    QString programFolder_;
    QStringList lines_;
    QStringList unwritten_;  // appended, not yet in the file
    bool closing_ = false;
    bool centred_ = false;
};
