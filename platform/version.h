#pragma once
// File version records. The build stamps a fixed version record into an ELF
// note of the executable (owner "Tarvo", section ".note.tarvo.version"); these
// functions find it again in any ELF file, in the shape of the platform's
// version-information calls.

#include <QString>

#include <cstdint>
#include <vector>

namespace platform {

constexpr std::uint32_t VS_FFI_SIGNATURE = 0xFEEF04BDu;
constexpr std::uint32_t VS_FFI_STRUCVERSION = 0x00010000u;
constexpr std::uint32_t VS_FFI_FILEFLAGSMASK = 0x0000003Fu;
constexpr std::uint32_t VFT_APP = 0x00000001u;

// Owner name and type of the ELF note that carries the record.
constexpr char kVersionNoteOwner[] = "Tarvo";
constexpr std::uint32_t kVersionNoteType = 1;

struct VS_FIXEDFILEINFO {
    std::uint32_t dwSignature;
    std::uint32_t dwStrucVersion;
    std::uint32_t dwFileVersionMS;
    std::uint32_t dwFileVersionLS;
    std::uint32_t dwProductVersionMS;
    std::uint32_t dwProductVersionLS;
    std::uint32_t dwFileFlagsMask;
    std::uint32_t dwFileFlags;
    std::uint32_t dwFileOS;
    std::uint32_t dwFileType;
    std::uint32_t dwFileSubtype;
    std::uint32_t dwFileDateMS;
    std::uint32_t dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52, "the record is 13 double words");

// Size of the version information of a file; 0 when it has none, cannot be
// read, or is not an ELF file.
std::uint32_t GetFileVersionInfoSize(const QString& fileName);

// Reads the version information into data (at most size bytes). False on any failure.
bool GetFileVersionInfo(const QString& fileName, std::uint32_t size, void* data);

// Queries a block of the version information; only the root block "\\" (the
// fixed record) exists. False when the block is absent or the record invalid.
bool VerQueryValue(const void* block, std::uint32_t blockSize, const QString& subBlock,
                   const void** buffer, std::uint32_t* length);

// All three steps in one: the fixed record of a file, or false.
bool ReadFixedFileInfo(const QString& fileName, VS_FIXEDFILEINFO& info);

}  // namespace platform
