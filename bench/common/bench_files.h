#pragma once
// What the upload benchmarks share: local files of random bytes, the median
// of the rounds, and the check that every file arrived whole.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <vector>

namespace bench {

// A file of SIZE pseudo-random bytes (incompressible, like a picture).
inline bool MakeFile(const QString& path, qint64 size)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(64 * 1024, Qt::Uninitialized);
    quint32 x = 88172645u;
    for (qint64 left = size; left > 0;) {
        for (char& c : block) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = static_cast<char>(x);
        }
        const qint64 n = std::min<qint64>(left, block.size());
        if (f.write(block.constData(), n) != n)
            return false;
        left -= n;
    }
    return true;
}

inline double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Each local file is in the server's root under its own name, at its size.
inline bool SameSizes(const QString& serverRoot, const QStringList& files)
{
    for (const QString& f : files) {
        const QFileInfo there(QDir(serverRoot).filePath(QFileInfo(f).fileName()));
        if (!there.exists() || there.size() != QFileInfo(f).size())
            return false;
    }
    return true;
}

}  // namespace bench
