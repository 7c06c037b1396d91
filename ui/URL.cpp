#include "ui/URL.h"

#include "platform/shell.h"

#include <QApplication>
#include <QWidget>

std::intptr_t ShellOpen(const QString& target, const QString& parameters, const QString& folder,
                        int showMode)
{
    return platform::ShellExecute(QApplication::activeWindow(), target, parameters, folder, showMode);
}

TURL::TURL(QObject* owner) : QObject(owner)
{
}

QString TURL::Prefix(TURLType type)
{
    switch (type) {
    case utFile: return QStringLiteral("file://");
    case utFtp: return QStringLiteral("ftp://");
    case utGopher: return QStringLiteral("gopher://");
    case utHttp: return QStringLiteral("http://");
    case utHttps: return QStringLiteral("https://");
    case utMailto: return QStringLiteral("mailto:");
    case utNews: return QStringLiteral("news:");
    case utTelnet: return QStringLiteral("telnet:");
    case utWais: return QStringLiteral("wais:");
    }
    return {};
}

bool TURL::Execute()
{
    if (url_.isEmpty())
        return false;
    const QString target = Prefix(urlType_) + url_;
    return ShellOpen(target, {}, {}, platform::SW_SHOWNOACTIVATE) > 32;
}
