#include "upload/UploadJob.h"

QString TemporaryName(const QString& remoteName)
{
    const int dot = remoteName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return remoteName + QStringLiteral(".tmp");
    return remoteName.left(dot) + QStringLiteral(".tmp") + remoteName.mid(dot);
}

const QString kConnectionTestName = QStringLiteral("tarvo-lite-test.txt");
const QByteArray kConnectionTestContent =
    QByteArrayLiteral("Tarvo Lite connection test. This file may be deleted.\r\n");
