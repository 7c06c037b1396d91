#include "platform/help.h"

#include <chm_lib.h>

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QRegularExpression>
#include <QSplitter>
#include <QTabWidget>
#include <QTextBrowser>
#include <QToolButton>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include <map>
#include <optional>

namespace platform {

// Read access to a compiled help file.
class ChmArchive
{
public:
    explicit ChmArchive(const QString& fileName)
    {
        const QByteArray native = QFile::encodeName(fileName);
        if (QFileInfo(fileName).isFile())
            handle_ = chm_open(native.constData());
        if (handle_)
            ReadSystem();
    }
    ~ChmArchive()
    {
        if (handle_)
            chm_close(handle_);
    }
    ChmArchive(const ChmArchive&) = delete;
    ChmArchive& operator=(const ChmArchive&) = delete;

    bool IsOpen() const { return handle_ != nullptr; }
    const QString& Title() const { return title_; }
    const QString& DefaultTopic() const { return defaultTopic_; }
    const QString& ContentsFile() const { return contentsFile_; }
    const QString& IndexFile() const { return indexFile_; }

    std::optional<QByteArray> Read(const QString& path) const
    {
        if (!handle_)
            return std::nullopt;
        const QByteArray p = Normalize(path).toUtf8();
        chmUnitInfo ui;
        if (chm_resolve_object(handle_, p.constData(), &ui) != CHM_RESOLVE_SUCCESS)
            return std::nullopt;
        // Help pages are small; a huge length means a damaged file.
        if (ui.length > (64u << 20))
            return std::nullopt;
        QByteArray data(static_cast<qsizetype>(ui.length), Qt::Uninitialized);
        if (ui.length == 0)
            return data;
        const LONGINT64 got = chm_retrieve_object(handle_, &ui, reinterpret_cast<unsigned char*>(data.data()), 0,
                                                  static_cast<LONGINT64>(ui.length));
        if (got != static_cast<LONGINT64>(ui.length))
            return std::nullopt;
        return data;
    }

    // Every normal file stored in the archive ("/page.htm", ...).
    QStringList Files() const
    {
        QStringList out;
        if (handle_)
            chm_enumerate(handle_, CHM_ENUMERATE_NORMAL | CHM_ENUMERATE_FILES, &ChmArchive::Collect, &out);
        return out;
    }

    // The context map: #IVB holds (context, offset into #STRINGS) pairs; the
    // string is the topic's path as it was when the file was compiled, so the
    // topic is found again by its file name.
    QString TopicForContext(std::uint32_t context) const
    {
        const auto ivb = Read(QStringLiteral("/#IVB"));
        const auto strings = Read(QStringLiteral("/#STRINGS"));
        if (!ivb || !strings || ivb->size() < 4)
            return {};
        const auto* p = reinterpret_cast<const unsigned char*>(ivb->constData());
        const qsizetype declared = static_cast<qsizetype>(U32(p));
        const qsizetype end = std::min<qsizetype>(ivb->size(), 4 + declared);
        for (qsizetype pos = 4; pos + 8 <= end; pos += 8) {
            if (U32(p + pos) != context)
                continue;
            const std::uint32_t offset = U32(p + pos + 4);
            if (offset >= static_cast<std::uint32_t>(strings->size()))
                return {};
            const char* s = strings->constData() + offset;
            const qsizetype len = qstrnlen(s, static_cast<size_t>(strings->size() - offset));
            const QString stored = QString::fromUtf8(s, len);
            return FindByFileName(stored);
        }
        return {};
    }

    // The stored path whose file name equals that of path (case-insensitive).
    QString FindByFileName(const QString& path) const
    {
        QString name = path;
        name.replace(QLatin1Char('\\'), QLatin1Char('/'));
        name = name.section(QLatin1Char('/'), -1);
        if (name.isEmpty())
            return {};
        const QString direct = Normalize(name);
        if (Read(direct))
            return direct;
        for (const QString& f : Files())
            if (f.section(QLatin1Char('/'), -1).compare(name, Qt::CaseInsensitive) == 0)
                return f;
        return {};
    }

    static QString Normalize(QString path)
    {
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (!path.startsWith(QLatin1Char('/')))
            path.prepend(QLatin1Char('/'));
        return path;
    }

private:
    static std::uint32_t U32(const unsigned char* p)
    {
        return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16)
               | (std::uint32_t(p[3]) << 24);
    }

    static int Collect(chmFile*, chmUnitInfo* ui, void* context)
    {
        const QString path = QString::fromUtf8(ui->path);
        if (!path.startsWith(QLatin1String("/#")) && !path.startsWith(QLatin1String("/$")) && !path.endsWith(QLatin1Char('/')))
            static_cast<QStringList*>(context)->append(path);
        return CHM_ENUMERATOR_CONTINUE;
    }

    // #SYSTEM: a version word, then records (code, length, data).
    void ReadSystem()
    {
        if (const auto sys = Read(QStringLiteral("/#SYSTEM"))) {
            const auto* p = reinterpret_cast<const unsigned char*>(sys->constData());
            const qsizetype n = sys->size();
            qsizetype pos = 4;
            while (pos + 4 <= n) {
                const unsigned code = p[pos] | (p[pos + 1] << 8);
                const qsizetype len = p[pos + 2] | (p[pos + 3] << 8);
                pos += 4;
                if (len > n - pos)
                    break;
                const QString text = QString::fromUtf8(sys->constData() + pos, qstrnlen(sys->constData() + pos, static_cast<size_t>(len)));
                switch (code) {
                case 0: contentsFile_ = text; break;
                case 1: indexFile_ = text; break;
                case 2: defaultTopic_ = text; break;
                case 3: title_ = text; break;
                default: break;
                }
                pos += len;
            }
        }
        // Files compiled without these records still carry their sitemaps.
        if (contentsFile_.isEmpty() || indexFile_.isEmpty()) {
            for (const QString& f : Files()) {
                if (contentsFile_.isEmpty() && f.endsWith(QLatin1String(".hhc"), Qt::CaseInsensitive))
                    contentsFile_ = f;
                if (indexFile_.isEmpty() && f.endsWith(QLatin1String(".hhk"), Qt::CaseInsensitive))
                    indexFile_ = f;
            }
        }
    }

    chmFile* handle_ = nullptr;
    QString title_;
    QString defaultTopic_;
    QString contentsFile_;
    QString indexFile_;
};

namespace {

constexpr int kTopicRole = Qt::UserRole + 1;

// One entry of a sitemap (.hhc contents or .hhk index).
struct SitemapEntry {
    QString name;
    QString local;
    int depth = 0;
};

QString DecodeEntities(QString s)
{
    static const QRegularExpression numeric(QStringLiteral("&#(x?)([0-9A-Fa-f]+);"));
    QString out;
    qsizetype last = 0;
    auto it = numeric.globalMatch(s);
    while (it.hasNext()) {
        const auto m = it.next();
        out += QStringView(s).mid(last, m.capturedStart() - last);
        bool ok = false;
        const uint code = m.captured(2).toUInt(&ok, m.captured(1).isEmpty() ? 10 : 16);
        if (ok && code > 0 && code <= 0x10FFFF)
            out += QString::fromUcs4(reinterpret_cast<const char32_t*>(&code), 1);
        last = m.capturedEnd();
    }
    out += QStringView(s).mid(last);
    out.replace(QLatin1String("&lt;"), QLatin1String("<"));
    out.replace(QLatin1String("&gt;"), QLatin1String(">"));
    out.replace(QLatin1String("&quot;"), QLatin1String("\""));
    out.replace(QLatin1String("&nbsp;"), QLatin1String(" "));
    out.replace(QLatin1String("&amp;"), QLatin1String("&"));
    return out;
}

// Reads the <UL>/<LI>/<OBJECT type="text/sitemap"> structure of a sitemap.
std::vector<SitemapEntry> ParseSitemap(const QString& html)
{
    static const QRegularExpression tag(QStringLiteral("<(/?)(ul|object|param)\\b([^>]*)>"),
                                        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression attr(QStringLiteral("([A-Za-z_:-]+)\\s*=\\s*(\"([^\"]*)\"|'([^']*)'|([^\\s>]+))"));
    std::vector<SitemapEntry> out;
    int depth = 0;
    bool inObject = false;
    SitemapEntry current;
    auto it = tag.globalMatch(html);
    while (it.hasNext()) {
        const auto m = it.next();
        const bool closing = !m.captured(1).isEmpty();
        const QString name = m.captured(2).toLower();
        std::map<QString, QString> attrs;
        auto ai = attr.globalMatch(m.captured(3));
        while (ai.hasNext()) {
            const auto a = ai.next();
            QString v = a.captured(3);
            if (v.isEmpty())
                v = a.captured(4);
            if (v.isEmpty())
                v = a.captured(5);
            attrs[a.captured(1).toLower()] = DecodeEntities(v);
        }
        if (name == QLatin1String("ul")) {
            depth += closing ? -1 : 1;
            depth = std::max(depth, 0);
        } else if (name == QLatin1String("object")) {
            if (!closing && attrs[QStringLiteral("type")].compare(QLatin1String("text/sitemap"), Qt::CaseInsensitive) == 0) {
                inObject = true;
                current = SitemapEntry{};
                current.depth = std::max(depth - 1, 0);
            } else if (closing && inObject) {
                inObject = false;
                if (!current.name.isEmpty())
                    out.push_back(current);
            }
        } else if (name == QLatin1String("param") && inObject) {
            const QString key = attrs[QStringLiteral("name")].toLower();
            // An entry may list several names and pages; the first of each counts.
            if (key == QLatin1String("name") && current.name.isEmpty())
                current.name = attrs[QStringLiteral("value")];
            else if (key == QLatin1String("local") && current.local.isEmpty())
                current.local = attrs[QStringLiteral("value")];
        }
    }
    return out;
}

// A topic pane that takes its pages and pictures from the help file.
class ChmBrowser : public QTextBrowser
{
public:
    ChmBrowser(ChmArchive* chm, QWidget* parent) : QTextBrowser(parent), chm_(chm) {}

    QVariant loadResource(int type, const QUrl& url) override
    {
        if (url.scheme() == QLatin1String("chm") && chm_)
            if (const auto data = chm_->Read(url.path()))
                return *data;
        return QTextBrowser::loadResource(type, url);
    }

private:
    ChmArchive* chm_;
};

QUrl TopicUrl(const QString& path, const QString& fragment = {})
{
    QUrl url;
    url.setScheme(QStringLiteral("chm"));
    url.setPath(ChmArchive::Normalize(path));
    if (!fragment.isEmpty())
        url.setFragment(fragment);
    return url;
}

std::map<QString, QPointer<HelpViewer>>& Viewers()
{
    static std::map<QString, QPointer<HelpViewer>> viewers;
    return viewers;
}

QString Canonical(const QString& file)
{
    const QFileInfo info(file);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

// A viewer opened while a modal dialog runs must belong to that dialog, or
// the dialog's modality would block it. When the dialog closes, the viewer
// goes to its owner: dialogs made for one showing are destroyed at once and
// would take the help with them.
class ModalHandOver final : public QObject
{
public:
    ModalHandOver(HelpViewer* viewer, QWidget* modal, QWidget* owner)
        : QObject(viewer), viewer_(viewer), modal_(modal), owner_(owner)
    {
        modal->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == modal_ && event->type() == QEvent::Hide) {
            modal_->removeEventFilter(this);
            if (viewer_ && viewer_->parentWidget() == modal_) {
                viewer_->setParent(owner_, Qt::Window);
                viewer_->show();
            }
            deleteLater();
        }
        return false;
    }

private:
    QPointer<HelpViewer> viewer_;
    QPointer<QWidget> modal_;
    QPointer<QWidget> owner_;
};

HelpViewer* ViewerFor(const QString& file, QWidget* owner)
{
    const QString key = Canonical(file);
    QPointer<HelpViewer>& slot = Viewers()[key];
    QWidget* modal = QApplication::activeModalWidget();
    QWidget* parent = modal ? modal : owner;
    if (slot && slot->parentWidget() != parent) {
        slot->setParent(parent, Qt::Window);
    }
    if (!slot) {
        slot = new HelpViewer(key, parent);
        slot->setAttribute(Qt::WA_DeleteOnClose);
        // The program ends with its main window, whatever help is still open.
        slot->setAttribute(Qt::WA_QuitOnClose, false);
    }
    if (modal && modal != owner)
        new ModalHandOver(slot, modal, owner);
    return slot;
}

class ViewerService final : public HelpService
{
public:
    QWidget* HtmlHelp(QWidget* owner, const QString& file, unsigned command, std::uintptr_t data) override
    {
        if (command == HH_CLOSE_ALL) {
            for (auto& [key, viewer] : Viewers())
                if (viewer)
                    viewer->close();
            Viewers().clear();
            return nullptr;
        }
        // "file.chm::/page.htm" names a page of the file.
        QString chmFile = file;
        QString page;
        const qsizetype sep = file.indexOf(QLatin1String("::"));
        if (sep >= 0) {
            chmFile = file.left(sep);
            page = file.mid(sep + 2);
        }
        HelpViewer* viewer = ViewerFor(chmFile, owner);
        switch (command) {
        case HH_DISPLAY_TOC:
            viewer->ShowContents();
            break;
        case HH_DISPLAY_INDEX:
            viewer->ShowIndex();
            break;
        case HH_HELP_CONTEXT:
            viewer->Tabs()->setCurrentIndex(0);
            viewer->ShowContext(static_cast<std::uint32_t>(data));
            break;
        case HH_DISPLAY_TOPIC:
        default:
            // The data word is not taken as a page name: it may be any number.
            viewer->Tabs()->setCurrentIndex(0);
            viewer->ShowTopic(page);
            break;
        }
        viewer->show();
        viewer->raise();
        viewer->activateWindow();
        return viewer;
    }
};

std::unique_ptr<HelpService>& Installed()
{
    static std::unique_ptr<HelpService> service = std::make_unique<ViewerService>();
    return service;
}

}  // namespace

HelpService& Help()
{
    return *Installed();
}

std::unique_ptr<HelpService> SetHelp(std::unique_ptr<HelpService> service)
{
    if (!service)
        service = std::make_unique<ViewerService>();
    std::swap(service, Installed());
    return service;
}

QWidget* HtmlHelpA(QWidget* owner, const QString& file, unsigned command, std::uintptr_t data)
{
    return Help().HtmlHelp(owner, file, command, data);
}

HelpViewer* FindHelpViewer(const QString& file)
{
    const auto it = Viewers().find(Canonical(file));
    return it == Viewers().end() ? nullptr : it->second.data();
}

HelpViewer::HelpViewer(const QString& fileName, QWidget* parent)
    : QWidget(parent, Qt::Window), fileName_(fileName), chm_(std::make_unique<ChmArchive>(fileName))
{
    setObjectName(QStringLiteral("HelpViewer"));
    resize(820, 560);

    auto* back = new QToolButton(this);
    back->setText(tr("Back"));
    auto* forward = new QToolButton(this);
    forward->setText(tr("Forward"));
    auto* home = new QToolButton(this);
    home->setText(tr("Home"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(back);
    buttons->addWidget(forward);
    buttons->addWidget(home);
    buttons->addStretch();

    tabs_ = new QTabWidget;
    contents_ = new QTreeWidget;
    contents_->setObjectName(QStringLiteral("Contents"));
    contents_->setHeaderHidden(true);
    tabs_->addTab(contents_, tr("Contents"));

    auto* indexPage = new QWidget;
    auto* indexLayout = new QVBoxLayout(indexPage);
    indexLayout->addWidget(new QLabel(tr("Type in the keyword to find:")));
    indexSearch_ = new QLineEdit;
    indexLayout->addWidget(indexSearch_);
    index_ = new QListWidget;
    index_->setObjectName(QStringLiteral("Index"));
    indexLayout->addWidget(index_);
    tabs_->addTab(indexPage, tr("Index"));

    browser_ = new ChmBrowser(chm_.get(), this);
    browser_->setObjectName(QStringLiteral("Topic"));
    browser_->setOpenLinks(false);

    auto* splitter = new QSplitter;
    splitter->addWidget(tabs_);
    splitter->addWidget(browser_);
    splitter->setStretchFactor(1, 3);
    splitter->setSizes({240, 580});

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(splitter);

    connect(back, &QToolButton::clicked, browser_, &QTextBrowser::backward);
    connect(forward, &QToolButton::clicked, browser_, &QTextBrowser::forward);
    connect(home, &QToolButton::clicked, this, [this] { ShowTopic({}); });
    connect(browser_, &QTextBrowser::anchorClicked, this, &HelpViewer::OpenLink);
    connect(contents_, &QTreeWidget::itemActivated, this, &HelpViewer::ContentsActivated);
    connect(contents_, &QTreeWidget::itemClicked, this, &HelpViewer::ContentsActivated);
    connect(index_, &QListWidget::itemActivated, this, &HelpViewer::IndexActivated);
    connect(index_, &QListWidget::itemDoubleClicked, this, &HelpViewer::IndexActivated);
    connect(indexSearch_, &QLineEdit::textChanged, this, &HelpViewer::IndexSearch);
    connect(indexSearch_, &QLineEdit::returnPressed, this, [this] {
        if (index_->currentItem())
            IndexActivated(index_->currentItem());
    });

    if (!chm_->IsOpen()) {
        setWindowTitle(tr("Help"));
        ShowFailure(tr("The help file \"%1\" could not be opened. It may have been moved, deleted or damaged.")
                        .arg(QDir::toNativeSeparators(fileName_)));
        return;
    }
    setWindowTitle(chm_->Title().isEmpty() ? QFileInfo(fileName_).completeBaseName() : chm_->Title());
    LoadNavigation();
}

HelpViewer::~HelpViewer() = default;

bool HelpViewer::IsOpen() const
{
    return chm_->IsOpen();
}

void HelpViewer::LoadNavigation()
{
    if (const auto hhc = chm_->Read(chm_->ContentsFile()); hhc && !chm_->ContentsFile().isEmpty()) {
        std::vector<QTreeWidgetItem*> parents;
        for (const SitemapEntry& e : ParseSitemap(QString::fromUtf8(*hhc))) {
            const int depth = std::min<int>(e.depth, static_cast<int>(parents.size()));
            parents.resize(static_cast<size_t>(depth));
            auto* item = parents.empty() ? new QTreeWidgetItem(contents_) : new QTreeWidgetItem(parents.back());
            item->setText(0, e.name);
            item->setData(0, kTopicRole, e.local);
            parents.push_back(item);
        }
        contents_->expandAll();
    }
    if (const auto hhk = chm_->Read(chm_->IndexFile()); hhk && !chm_->IndexFile().isEmpty()) {
        for (const SitemapEntry& e : ParseSitemap(QString::fromUtf8(*hhk))) {
            auto* item = new QListWidgetItem(QString(e.depth * 4, QLatin1Char(' ')) + e.name, index_);
            item->setData(kTopicRole, e.local);
        }
    }
}

void HelpViewer::ShowContents()
{
    tabs_->setCurrentIndex(0);
    if (currentTopic_.isEmpty())
        ShowTopic({});
}

void HelpViewer::ShowIndex()
{
    tabs_->setCurrentIndex(1);
    indexSearch_->setFocus();
    if (currentTopic_.isEmpty())
        ShowTopic({});
}

bool HelpViewer::ShowContext(std::uint32_t context)
{
    if (!chm_->IsOpen())
        return false;
    const QString topic = TopicForContext(context);
    if (topic.isEmpty()) {
        ShowFailure(tr("No help topic is associated with context number %1 in \"%2\".")
                        .arg(context)
                        .arg(QFileInfo(fileName_).fileName()));
        return false;
    }
    return ShowTopic(topic);
}

QString HelpViewer::TopicForContext(std::uint32_t context) const
{
    return chm_->TopicForContext(context);
}

bool HelpViewer::ShowTopic(const QString& requested)
{
    if (!chm_->IsOpen())
        return false;
    QString path = requested;
    QString fragment;
    const qsizetype hash = path.indexOf(QLatin1Char('#'));
    if (hash >= 0) {
        fragment = path.mid(hash + 1);
        path.truncate(hash);
    }
    if (path.isEmpty())
        path = chm_->DefaultTopic();
    if (path.isEmpty()) {
        ShowFailure(tr("The help file \"%1\" has no default topic.").arg(QFileInfo(fileName_).fileName()));
        return false;
    }
    path = ChmArchive::Normalize(path);
    if (!chm_->Read(path)) {
        ShowFailure(tr("The page \"%1\" cannot be found in the help file.").arg(path));
        return false;
    }
    message_.clear();
    currentTopic_ = path;
    browser_->setSource(TopicUrl(path, fragment), QTextDocument::HtmlResource);
    // Follow the page in the contents tree.
    for (QTreeWidgetItemIterator it(contents_); *it; ++it) {
        if (ChmArchive::Normalize((*it)->data(0, kTopicRole).toString().section(QLatin1Char('#'), 0, 0))
                .compare(path, Qt::CaseInsensitive) == 0) {
            contents_->setCurrentItem(*it);
            break;
        }
    }
    return true;
}

void HelpViewer::ShowFailure(const QString& text)
{
    message_ = text;
    currentTopic_.clear();
    browser_->setHtml(QStringLiteral("<h3>%1</h3><p>%2</p>").arg(tr("Help").toHtmlEscaped(), text.toHtmlEscaped()));
}

void HelpViewer::OpenLink(const QUrl& url)
{
    if (url.scheme() == QLatin1String("chm") || url.isRelative()) {
        const QUrl resolved = url.isRelative() ? browser_->source().resolved(url) : url;
        if (resolved.path() == currentTopic_ && resolved.hasFragment()) {
            browser_->scrollToAnchor(resolved.fragment());
            return;
        }
        ShowTopic(resolved.path() + (resolved.hasFragment() ? QLatin1Char('#') + resolved.fragment() : QString()));
        return;
    }
    // Web and mail links leave the help file.
    QDesktopServices::openUrl(url);
}

void HelpViewer::ContentsActivated(QTreeWidgetItem* item)
{
    if (!item)
        return;
    const QString local = item->data(0, kTopicRole).toString();
    if (!local.isEmpty())
        ShowTopic(local);
}

void HelpViewer::IndexActivated(QListWidgetItem* item)
{
    if (!item)
        return;
    const QString local = item->data(kTopicRole).toString();
    if (!local.isEmpty())
        ShowTopic(local);
}

void HelpViewer::IndexSearch(const QString& text)
{
    const QString wanted = text.trimmed();
    if (wanted.isEmpty())
        return;
    for (int i = 0; i < index_->count(); ++i) {
        if (index_->item(i)->text().trimmed().startsWith(wanted, Qt::CaseInsensitive)) {
            index_->setCurrentRow(i);
            index_->scrollToItem(index_->item(i), QAbstractItemView::PositionAtTop);
            return;
        }
    }
}

}  // namespace platform
