#include "ui/CameraIndex.h"

#include <QUrl>

const QString kCameraIndexName = QStringLiteral("tarvolt-index.html");

namespace {

const QString kMarker = QStringLiteral("<!--cameras-->");

// A picture's address relative to the login folder: each folder name
// percent-encoded, so that spaces, "#", "?" and "&" stay part of the path.
// A leading "/" names the login folder too: that is where the account's
// relative folders start.
QString PictureAddress(const QString& remoteFolder, const QString& file)
{
    QStringList parts;
    for (const QString& part : remoteFolder.split(QLatin1Char('/'), Qt::SkipEmptyParts))
        parts << QString::fromLatin1(QUrl::toPercentEncoding(part));
    parts << file;
    return parts.join(QLatin1Char('/'));
}

QString Figure(const TIndexCamera& camera)
{
    // toHtmlEscaped covers &, <, > and "; the apostrophe too, for attributes
    // in either quote.
    const QString name = camera.name.toHtmlEscaped().replace(QLatin1Char('\''), QStringLiteral("&#39;"));
    const QString picture = PictureAddress(camera.remoteFolder, QStringLiteral("Capture.jpg")).toHtmlEscaped();
    const QString caption = PictureAddress(camera.remoteFolder, QStringLiteral("datetime.bmp")).toHtmlEscaped();
    const QString page = PictureAddress(camera.remoteFolder, QStringLiteral("tarvolt.html")).toHtmlEscaped();
    return QStringLiteral(
               "  <figure>\n"
               "    <figcaption><a href=\"%3\">%1</a></figcaption>\n"
               "    <img class=\"picture\" src=\"%2\" data-src=\"%2\" alt=\"Latest picture from %1\" width=\"640\" height=\"480\">\n"
               "    <img class=\"caption\" src=\"%4\" data-src=\"%4\" alt=\"Date and time of the picture from %1\" width=\"178\" height=\"18\">\n"
               "  </figure>\n")
        .arg(name, picture, page, caption);
}

}  // namespace

QString CameraIndexPage(const QString& templateText, const std::vector<TIndexCamera>& cameras)
{
    QString figures;
    for (const TIndexCamera& camera : cameras)
        figures += Figure(camera);
    QString page = templateText;
    const qsizetype at = page.indexOf(kMarker);
    if (at < 0)
        return page;
    // The whole marker line, its line end included.
    qsizetype end = at + kMarker.size();
    if (end < page.size() && page.at(end) == QLatin1Char('\n'))
        ++end;
    return page.replace(at, end - at, figures);
}
