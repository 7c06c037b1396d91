#pragma once
// What the crash writer writes in its generation k, so that the test can
// tell exactly which complete file it finds after a kill.

#include "platform/locale.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace crashtest {

// The settings key the writer rewrites; the value is long so that a write
// takes more than one system call.
inline const QString kSection = QStringLiteral("FTP Settings");
inline const QString kKey = QStringLiteral("Password");

inline QString SettingsValue(int k)
{
    return QStringLiteral("generation %1 ").arg(k) + QString(6000, QChar(u'a' + k % 26));
}

// A settings file the writer starts from: the real sections and enough
// other lines that the whole file spans several pages.
inline QByteArray InitialSettings()
{
    QByteArray s = "[FTP Settings]\r\nFTP_Host=ftp.example.com\r\nFTP_Port=21\r\nPassword=start\r\n\r\n"
                   "[Other Settings]\r\nLogErrors=1\r\nErrorBeep=0\r\nFirstRun=0\r\n\r\n[Notes]\r\n";
    for (int i = 0; i < 300; ++i)
        s += "Note" + QByteArray::number(i) + "=" + QByteArray(40, char('A' + i % 26)) + "\r\n";
    return s;
}

inline QDateTime FixedNow()
{
    return QDateTime(QDate(2026, 5, 4), QTime(13, 2, 1));
}

inline QString LogText(int k)
{
    return QStringLiteral("550 generation %1 ").arg(k) + QString(300, QChar(u'0' + k % 10));
}

inline QStringList InitialLogLines()
{
    return {QStringLiteral("01.05.2026 10:00:00 :   FTP Error = an earlier run"),
            QStringLiteral("01.05.2026 10:05:00 :   Error = another one")};
}

// "Error.log" after m entries of the writer.
inline QByteArray LogAfter(int m)
{
    QStringList lines = InitialLogLines();
    const QString stamp = platform::DateTimeToStr(FixedNow());
    for (int k = 1; k <= m; ++k)
        lines << stamp + QStringLiteral(" :   FTP Error = ") + LogText(k);
    QByteArray out;
    for (const QString& line : lines)
        out += line.toUtf8() + "\r\n";
    return out;
}

}  // namespace crashtest
