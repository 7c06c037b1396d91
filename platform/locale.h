#pragma once
// Regional date and time text.

#include <QDateTime>
#include <QString>

namespace platform {

// Short date, one space, long time without time zone; at 00:00:00 the time
// is left out.
QString DateTimeToStr(const QDateTime& when);

}  // namespace platform
