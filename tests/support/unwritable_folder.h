#pragma once
// A folder in which no file can be created, also when the tests run as root
// (where a read-only mode does not stop writes).

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

namespace testsupport {

// Makes base read-only and answers it when that stops writes; otherwise
// answers a folder of the kernel's process file system, where nothing can
// be created.
inline QString UnwritableFolder(const QTemporaryDir& base)
{
    const QString folder = base.path() + QStringLiteral("/readonly");
    QDir().mkpath(folder);
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    QFile probe(folder + QStringLiteral("/probe"));
    if (!probe.open(QIODevice::WriteOnly))
        return folder;
    probe.close();
    probe.remove();
    return QStringLiteral("/proc/self");
}

}  // namespace testsupport
