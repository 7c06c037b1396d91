#pragma once
// TrsFileVersion: the version numbers of a program file's fixed version record.

#include <QString>

#include <cstdint>

class TrsFileVersion
{
public:
    TrsFileVersion() { Clear(); }

    QString VersionText;  // "major.minor.release", e.g. "1.4.0"
    std::uint16_t Major;
    std::uint16_t Minor;
    std::uint16_t Release;
    std::uint16_t Build;

    // Reads the four numbers; on failure everything is cleared.
    bool GetVersionInfo(const QString& fileName);
    void Clear();

    // The version as the program names it everywhere (the About box,
    // --version): "1.4.0 (Build 7)"; "0.0.0 (Build 0)" without a record.
    QString VersionAndBuild() const;

    // Reads the fixed version record of a file; every output is optional.
    static bool ReadFileVersion(const QString& fileName, std::uint16_t* major = nullptr,
                                std::uint16_t* minor = nullptr, std::uint16_t* release = nullptr,
                                std::uint16_t* build = nullptr);
};
