// Private-profile files with arbitrary content: a read of any section and
// key, then a write and the read that must give the written value back
// while another key keeps the value it had; the same writes made as one edit
// give the same bytes as made one by one.

#include "fuzz/fuzz_support.h"
#include "platform/profile.h"

#include <QFile>

namespace {

bool SameName(const QString& a, const QString& b)
{
    return a.trimmed().compare(b.trimmed(), Qt::CaseInsensitive) == 0;
}

bool HasBreak(const QString& s)
{
    return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n')) || s.contains(QChar(0));
}

void WriteFile(const QString& name, const QByteArray& bytes)
{
    QFile f(name);
    FUZZ_CHECK(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray ReadFile(const QString& name)
{
    QFile f(name);
    FUZZ_CHECK(f.open(QIODevice::ReadOnly));
    return f.readAll();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::EnsureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input in(data, size);
    const QString section = QString::fromUtf8(in.Field());
    const QString key = QString::fromUtf8(in.Field());
    const QString value = QString::fromUtf8(in.Field());
    const QString otherSection = QString::fromUtf8(in.Field());
    const QString otherKey = QString::fromUtf8(in.Field());
    const QByteArray content = in.Rest();

    const QString file = fuzz::ScratchFolder() + QStringLiteral("profile.ini");
    WriteFile(file, content);
    const QString none = QStringLiteral("\x01none");
    const QString before = platform::GetPrivateProfileString(section, key, none, file);
    FUZZ_CHECK(before.size() <= platform::kProfileBufferSize - 1);
    const QString otherBefore = platform::GetPrivateProfileString(otherSection, otherKey, none, file);

    const bool written = platform::WritePrivateProfileString(section, key, value, file);
    if (!written) {
        // Refused names or values leave the file as it was.
        FUZZ_CHECK(ReadFile(file) == content);
        return 0;
    }
    FUZZ_CHECK(!HasBreak(value) && !section.trimmed().isEmpty() && !key.trimmed().isEmpty());
    const QString after = platform::GetPrivateProfileString(section, key, none, file);
    FUZZ_CHECK(after == value.left(platform::kProfileBufferSize - 1) || value.size() >= platform::kProfileBufferSize - 1);
    if (!(SameName(section, otherSection) && SameName(key, otherKey)))
        FUZZ_CHECK(platform::GetPrivateProfileString(otherSection, otherKey, none, file) == otherBefore);

    const QString copy = fuzz::ScratchFolder() + QStringLiteral("profile-edit.ini");
    WriteFile(copy, content);
    platform::ProfileEdit edit(copy);
    FUZZ_CHECK(edit.Set(section, key, value));
    const bool second = platform::WritePrivateProfileString(otherSection, otherKey, value, file);
    FUZZ_CHECK(edit.Set(otherSection, otherKey, value) == second);
    FUZZ_CHECK(edit.Commit());
    FUZZ_CHECK(ReadFile(copy) == ReadFile(file));
    return 0;
}
