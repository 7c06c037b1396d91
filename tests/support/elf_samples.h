#pragma once
// ELF files for the version-record reader: a copy of a built program with
// another version stamped in, and small hand-made ELF files of either width
// and byte order.

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace testsupport {

struct FileVersion {
    std::uint16_t major, minor, release, build;
};

// Copies an ELF file that carries the version note, with the file version
// replaced. False when the source has no note.
bool CopyWithVersion(const QString& source, const QString& target, FileVersion version);

struct ElfOptions {
    bool is64 = true;
    bool bigEndian = false;
    bool withNote = true;           // carry the version note (else a foreign note)
    bool sectionHeaders = true;     // describe the note by a section, else by a segment
};

// A minimal ELF file whose only content is one note.
QByteArray MinimalElf(const ElfOptions& options, FileVersion version);

// The version of the project as CMake declares it, from the top CMakeLists.txt.
bool ProjectVersion(FileVersion& version);

}  // namespace testsupport
