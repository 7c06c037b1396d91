#pragma once
// The compiled HTML help viewer: HtmlHelpA(owner, file, command, data) opens a
// viewer window (contents tree, index list, topic pane) on a .chm file read
// with chmlib. The service is replaceable so that tests can record requests.

#include <QString>
#include <QWidget>

#include <cstdint>
#include <memory>

class QLabel;
class QLineEdit;
class QListWidget;
class QTabWidget;
class QTextBrowser;
class QTreeWidget;
class QTreeWidgetItem;
class QListWidgetItem;

namespace platform {

// Commands of the help viewer.
constexpr unsigned HH_DISPLAY_TOPIC = 0x0000;  // file may name a topic: "file.chm::/page.htm"
constexpr unsigned HH_DISPLAY_TOC = 0x0001;
constexpr unsigned HH_DISPLAY_INDEX = 0x0002;
constexpr unsigned HH_HELP_CONTEXT = 0x000F;   // data: the context number
constexpr unsigned HH_CLOSE_ALL = 0x0012;

class HelpService
{
public:
    virtual ~HelpService() = default;
    // The viewer window that shows the request, or null (HH_CLOSE_ALL).
    virtual QWidget* HtmlHelp(QWidget* owner, const QString& file, unsigned command, std::uintptr_t data) = 0;
};

HelpService& Help();
// Installs a service and returns the previous one; null restores the viewer.
std::unique_ptr<HelpService> SetHelp(std::unique_ptr<HelpService> service);

// The platform call; the answer may be ignored.
QWidget* HtmlHelpA(QWidget* owner, const QString& file, unsigned command, std::uintptr_t data);

class ChmArchive;

// One viewer window per help file. Failures (a missing file, a context or a
// page without a topic) are shown in the window's own topic pane.
class HelpViewer : public QWidget
{
    Q_OBJECT

public:
    explicit HelpViewer(const QString& fileName, QWidget* parent = nullptr);
    ~HelpViewer() override;

    const QString& FileName() const { return fileName_; }
    bool IsOpen() const;

    void ShowContents();
    void ShowIndex();
    // False (and the failure shown) when the context has no topic.
    bool ShowContext(std::uint32_t context);
    // A page of the file ("/page.htm"); empty: the default topic.
    bool ShowTopic(const QString& path);

    // The page shown ("/page.htm"), empty while a failure is shown.
    const QString& CurrentTopic() const { return currentTopic_; }
    // The failure text shown in the topic pane, empty when a page is shown.
    const QString& Message() const { return message_; }

    QTabWidget* Tabs() const { return tabs_; }
    QTreeWidget* Contents() const { return contents_; }
    QListWidget* Index() const { return index_; }
    QTextBrowser* Browser() const { return browser_; }

    // Resolves a context number to a page through the file's context map.
    QString TopicForContext(std::uint32_t context) const;

private:
    void LoadNavigation();
    void ShowFailure(const QString& text);
    void OpenLink(const QUrl& url);
    void ContentsActivated(QTreeWidgetItem* item);
    void IndexActivated(QListWidgetItem* item);
    void IndexSearch(const QString& text);

    QString fileName_;
    std::unique_ptr<ChmArchive> chm_;
    QString currentTopic_;
    QString message_;
    QTabWidget* tabs_ = nullptr;
    QTreeWidget* contents_ = nullptr;
    QLineEdit* indexSearch_ = nullptr;
    QListWidget* index_ = nullptr;
    QTextBrowser* browser_ = nullptr;
};

// The viewer open on a file, if any (for the real service and tests).
HelpViewer* FindHelpViewer(const QString& file);

}  // namespace platform
