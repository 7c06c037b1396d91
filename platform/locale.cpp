#include "platform/locale.h"

#include <QLocale>
#include <QRegularExpression>

namespace platform {

QString DateTimeToStr(const QDateTime& when)
{
    const QLocale locale = QLocale::system();
    QString text = locale.toString(when.date(), QLocale::ShortFormat);
    if (when.time() == QTime(0, 0, 0))
        return text;
    // The long time format may carry a time zone ("t", "tt", "ttt"); drop it
    // together with the blanks around it.
    QString timeFormat = locale.timeFormat(QLocale::LongFormat);
    static const QRegularExpression zone(QStringLiteral("\\s*t+\\s*"));
    timeFormat.remove(zone);
    return text + QLatin1Char(' ') + locale.toString(when.time(), timeFormat.trimmed());
}

}  // namespace platform
