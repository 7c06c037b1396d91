#include "ui/FileVersion.h"

#include "platform/version.h"

#include <cstring>
#include <vector>

bool TrsFileVersion::ReadFileVersion(const QString& fileName, std::uint16_t* major, std::uint16_t* minor,
                                     std::uint16_t* release, std::uint16_t* build)
{
    const std::uint32_t size = platform::GetFileVersionInfoSize(fileName);
    if (size == 0)
        return false;
    std::vector<unsigned char> data(size);  // freed on every path
    if (!platform::GetFileVersionInfo(fileName, size, data.data()))
        return false;
    const void* block = nullptr;
    std::uint32_t length = 0;
    if (!platform::VerQueryValue(data.data(), size, QStringLiteral("\\"), &block, &length))
        return false;
    platform::VS_FIXEDFILEINFO info;
    std::memcpy(&info, block, sizeof info);
    if (major)
        *major = static_cast<std::uint16_t>(info.dwFileVersionMS >> 16);
    if (minor)
        *minor = static_cast<std::uint16_t>(info.dwFileVersionMS & 0xFFFF);
    if (release)
        *release = static_cast<std::uint16_t>(info.dwFileVersionLS >> 16);
    if (build)
        *build = static_cast<std::uint16_t>(info.dwFileVersionLS & 0xFFFF);
    return true;
}

bool TrsFileVersion::GetVersionInfo(const QString& fileName)
{
    if (!ReadFileVersion(fileName, &Major, &Minor, &Release, &Build)) {
        Clear();
        return false;
    }
    VersionText = QStringLiteral("%1.%2.%3").arg(Major).arg(Minor).arg(Release);
    return true;
}

void TrsFileVersion::Clear()
{
    VersionText.clear();
    Major = 0;
    Minor = 0;
    Release = 0;
    Build = 0;
}

QString TrsFileVersion::VersionAndBuild() const
{
    return QStringLiteral("%1.%2.%3 (Build %4)").arg(Major).arg(Minor).arg(Release).arg(Build);
}
