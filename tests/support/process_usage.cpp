#include "tests/support/process_usage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace testsupport {

namespace {

int Entries(const QString& folder)
{
    // The listing's own descriptor is left out by counting after it closed.
    return static_cast<int>(QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    // /proc files report no size: read until the end.
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

int OpenDescriptorCount()
{
    return Entries(QStringLiteral("/proc/self/fd")) - 1;  // the listing's own descriptor
}

long ResidentKb()
{
    for (const QByteArray& line : ReadAll(QStringLiteral("/proc/self/status")).split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

int ThreadCount()
{
    return Entries(QStringLiteral("/proc/self/task"));
}

int ConnectionsToPort(quint16 port)
{
    // Our sockets by inode: the links of /proc/self/fd read "socket:[inode]".
    QSet<QByteArray> inodes;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& fd : fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)) {
        const QString target = QFileInfo(fds.filePath(fd)).symLinkTarget();
        const qsizetype open = target.indexOf(QLatin1String("socket:["));
        if (open >= 0)
            inodes.insert(target.mid(open + 8).chopped(1).toLatin1());
    }
    // Rows of /proc/net/tcp: "sl local rem st ... uid timeout inode", the
    // remote address as hex "0100007F:1F90".
    int count = 0;
    const QByteArray portHex = QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        const QList<QByteArray> rows = ReadAll(QString::fromLatin1(table)).split('\n');
        for (qsizetype i = 1; i < rows.size(); ++i) {
            const QList<QByteArray> cols = rows[i].simplified().split(' ');
            if (cols.size() < 10 || cols[3] == "0A")  // 0A: listening
                continue;
            if (cols[2].endsWith(':' + portHex) && inodes.contains(cols[9]))
                ++count;
        }
    }
    return count;
}

}  // namespace testsupport
