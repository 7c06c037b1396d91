#pragma once
// The About box: program name, file version, the maker's link. It is created
// for each showing and destroyed afterwards.

#include "ui/FileVersion.h"

#include <QDialog>

#include <memory>

namespace Ui {
class TAboutDlg;
}
class TLegacy;
class QLabel;
class QPushButton;

class TAboutDlg : public QDialog
{
    Q_OBJECT

public:
    // programFile: the executable whose version is shown (empty: this program).
    explicit TAboutDlg(QWidget* parent = nullptr, const QString& programFile = {});
    ~TAboutDlg() override;

    // Creates the box, shows it modally and destroys it again; dataFolder,
    // when given, is shown as the folder of the settings and working files;
    // programTitle, when given, replaces the program's name (a profile's title).
    static int Execute(QWidget* parent, const QString& dataFolder = {}, const QString& programTitle = {});
    void SetProgramTitle(const QString& title);

    // Adds the line naming the folder of the settings and working files.
    void SetDataFolder(const QString& folder);
    QLabel* lblDataFolder() const { return lblDataFolder_; }

    QLabel* lblProgramName() const;
    QLabel* lblVersion() const;
    QLabel* lblTrademark() const;
    QLabel* Image1() const;
    TLegacy* Legacy1() const;
    QPushButton* btnClose() const;

    // The About text for a version: "Version 1.4.0 (Build 7)", the same
    // version as --version prints.
    static QString VersionCaption(const TrsFileVersion& version);
    // The program's logo, drawn at the given size.
    static QPixmap Logo(int size);

private:
    std::unique_ptr<Ui::TAboutDlg> ui_;
    TrsFileVersion fileVersion_;
    QLabel* lblDataFolder_ = nullptr;
};
