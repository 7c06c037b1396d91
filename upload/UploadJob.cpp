#include "upload/UploadJob.h"

namespace {
// The tag goes before the extension, which stays last.
QString Tagged(const QString& remoteName, const QString& tag)
{
    const int dot = remoteName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return remoteName + tag;
    return remoteName.left(dot) + tag + remoteName.mid(dot);
}
}  // namespace

QString TemporaryName(const QString& remoteName)
{
    return Tagged(remoteName, QStringLiteral(".tmp"));
}

QString AsideName(const QString& remoteName)
{
    return Tagged(remoteName, QStringLiteral(".old"));
}

const QString kConnectionTestName = QStringLiteral("tarvo-lite-test.txt");
const QByteArray kConnectionTestContent =
    QByteArrayLiteral("Tarvo Lite connection test. This file may be deleted.\r\n");
