#include "fuzz/fuzz_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

std::uint8_t Input::Byte()
{
    return pos_ < size_ ? data_[pos_++] : 0;
}

int Input::Range(int low, int high)
{
    if (high <= low)
        return low;
    const unsigned span = unsigned(high - low) + 1;
    unsigned v = Byte();
    if (span > 256)
        v = (v << 8) | Byte();
    return low + int(v % span);
}

QByteArray Input::Bytes(std::size_t count)
{
    const std::size_t n = count < Left() ? count : Left();
    QByteArray out(reinterpret_cast<const char*>(data_ + pos_), qsizetype(n));
    pos_ += n;
    return out;
}

QByteArray Input::Field()
{
    std::size_t end = pos_;
    while (end < size_ && data_[end] != 0)
        ++end;
    QByteArray out(reinterpret_cast<const char*>(data_ + pos_), qsizetype(end - pos_));
    pos_ = end < size_ ? end + 1 : end;
    return out;
}

void EnsureApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "tarvo-fuzz";
    static char* argv[] = {name, nullptr};
    static auto* app = new QCoreApplication(argc, argv);  // lives for the run
    (void)app;
}

const QString& ScratchFolder()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/tarvo-fuzz-XXXXXX"));
    static const QString folder = dir.path() + QLatin1Char('/');
    return folder;
}

void Fail(const char* what, const char* file, int line)
{
    std::fprintf(stderr, "invariant broken at %s:%d: %s\n", file, line, what);
    std::abort();
}

}  // namespace fuzz
