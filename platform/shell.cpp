#include "platform/shell.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

namespace platform {
namespace {

// Turns a shell target into a URL: addresses with a scheme stay as they are,
// plain paths become file URLs (relative ones against the given folder).
QUrl TargetUrl(const QString& target, const QString& folder)
{
    const QString t = target.trimmed();
    if (t.isEmpty())
        return {};
    // A drive-less absolute or relative path has no scheme; "x:" with one
    // letter would be a drive on other systems, so a scheme needs two letters.
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+:"));
    if (scheme.match(t).hasMatch()) {
        QUrl url(t, QUrl::TolerantMode);
        return url.isValid() ? url : QUrl();
    }
    // A bare web host opens in the browser, as desktop shells do.
    if (t.startsWith(QLatin1String("www."), Qt::CaseInsensitive))
        return QUrl(QStringLiteral("http://") + t, QUrl::TolerantMode);
    QString path = t;
    if (QFileInfo(path).isRelative() && !folder.isEmpty())
        path = QDir(folder).filePath(path);
    return QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
}

class DesktopShell final : public ShellService
{
public:
    std::intptr_t ShellExecute(QWidget*, const QString& target, const QString&, const QString& folder,
                               int) override
    {
        const QUrl url = TargetUrl(target, folder);
        if (!url.isValid() || url.isEmpty())
            return SE_ERR_FNF;
        if (url.isLocalFile() && !QFileInfo::exists(url.toLocalFile()))
            return SE_ERR_FNF;
        return QDesktopServices::openUrl(url) ? kShellSuccess : SE_ERR_NOASSOC;
    }
};

std::unique_ptr<ShellService>& installed()
{
    static std::unique_ptr<ShellService> service = std::make_unique<DesktopShell>();
    return service;
}

}  // namespace

ShellService& Shell()
{
    return *installed();
}

std::unique_ptr<ShellService> SetShell(std::unique_ptr<ShellService> service)
{
    if (!service)
        service = std::make_unique<DesktopShell>();
    std::swap(service, installed());
    return service;
}

}  // namespace platform
