#pragma once
// A folder in which no file can be created, also when the tests run as root
// (where a read-only mode does not stop writes).

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

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

// A read-only folder that still holds writable files, while the object lives.
// Root is held to the modes by dropping its power to override them, for the
// calling thread only.
class ReadOnlyFolder
{
public:
    // Creates the folder in base with these files (empty) and makes it read-only.
    ReadOnlyFolder(const QTemporaryDir& base, const QStringList& files)
        : path_(base.path() + QStringLiteral("/readonly"))
    {
        QDir().mkpath(path_);
        for (const QString& name : files) {
            QFile f(path_ + QLatin1Char('/') + name);
            if (f.open(QIODevice::WriteOnly))
                f.close();
        }
        QFile::setPermissions(path_, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        dropped_ = syscall(SYS_capget, &header_, saved_) == 0;
        if (dropped_) {
            __user_cap_data_struct held[2] = {saved_[0], saved_[1]};
            held[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
            dropped_ = syscall(SYS_capset, &header_, held) == 0;
        }
    }
    ~ReadOnlyFolder()
    {
        if (dropped_)
            syscall(SYS_capset, &header_, saved_);
        QFile::setPermissions(path_, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

    const QString& Path() const { return path_; }
    // Whether a new file is refused here now.
    bool RefusesNewFiles() const
    {
        QFile probe(path_ + QStringLiteral("/probe"));
        if (!probe.open(QIODevice::WriteOnly))
            return true;
        probe.remove();
        return false;
    }

private:
    QString path_;
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2] = {};
    bool dropped_ = false;
};

}  // namespace testsupport
