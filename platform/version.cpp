#include "platform/version.h"

#include <QFile>

#include <cstring>
#include <optional>

namespace platform {
namespace {

constexpr std::uint32_t SHT_NOTE = 7;
constexpr std::uint32_t PT_NOTE = 4;
// Notes are small; anything larger is a corrupt header, not a note to read.
constexpr std::uint64_t kMaxNoteSection = 1u << 20;

// Reads integers of either byte order and width from an open ELF file, with
// every offset checked against the file size.
class ElfReader
{
public:
    explicit ElfReader(QFile& file) : file_(file), size_(static_cast<std::uint64_t>(file.size())) {}

    bool ReadIdent()
    {
        unsigned char ident[16];
        if (!ReadAt(0, ident, sizeof ident))
            return false;
        if (std::memcmp(ident, "\x7F" "ELF", 4) != 0)
            return false;
        if (ident[4] != 1 && ident[4] != 2)  // ELFCLASS32 / ELFCLASS64
            return false;
        if (ident[5] != 1 && ident[5] != 2)  // ELFDATA2LSB / ELFDATA2MSB
            return false;
        is64_ = ident[4] == 2;
        bigEndian_ = ident[5] == 2;
        return true;
    }

    bool Is64() const { return is64_; }
    std::uint64_t Size() const { return size_; }

    bool ReadAt(std::uint64_t offset, void* out, std::uint64_t length)
    {
        if (offset > size_ || length > size_ - offset)
            return false;
        if (!file_.seek(static_cast<qint64>(offset)))
            return false;
        return file_.read(static_cast<char*>(out), static_cast<qint64>(length)) == static_cast<qint64>(length);
    }

    std::optional<std::uint64_t> U(std::uint64_t offset, int bytes)
    {
        unsigned char b[8];
        if (!ReadAt(offset, b, static_cast<std::uint64_t>(bytes)))
            return std::nullopt;
        return Decode(b, bytes);
    }

    std::uint64_t Decode(const unsigned char* b, int bytes) const
    {
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            const int idx = bigEndian_ ? i : bytes - 1 - i;
            v = (v << 8) | b[idx];
        }
        return v;
    }

    // Address-sized field (4 or 8 bytes).
    std::optional<std::uint64_t> Addr(std::uint64_t offset) { return U(offset, is64_ ? 8 : 4); }

private:
    QFile& file_;
    std::uint64_t size_;
    bool is64_ = false;
    bool bigEndian_ = false;
};

struct Region {
    std::uint64_t offset;
    std::uint64_t size;
};

// Section-header regions that may hold notes: SHT_NOTE sections.
std::vector<Region> NoteSections(ElfReader& elf)
{
    std::vector<Region> out;
    const bool w = elf.Is64();
    const auto shoff = elf.Addr(w ? 0x28 : 0x20);
    const auto shentsize = elf.U(w ? 0x3A : 0x2E, 2);
    const auto shnum = elf.U(w ? 0x3C : 0x30, 2);
    if (!shoff || !shentsize || !shnum || *shoff == 0)
        return out;
    const std::uint64_t minEntry = w ? 0x40 : 0x28;
    if (*shentsize < minEntry || *shoff > elf.Size() || *shnum * *shentsize > elf.Size() - *shoff)
        return out;
    for (std::uint64_t i = 0; i < *shnum; ++i) {
        const std::uint64_t h = *shoff + i * *shentsize;
        const auto type = elf.U(h + 4, 4);
        const auto offset = elf.Addr(h + (w ? 0x18 : 0x10));
        const auto size = elf.Addr(h + (w ? 0x20 : 0x14));
        if (!type || !offset || !size)
            break;
        if (*type == SHT_NOTE)
            out.push_back({*offset, *size});
    }
    return out;
}

// Program-header regions that hold notes (for files without section headers).
std::vector<Region> NoteSegments(ElfReader& elf)
{
    std::vector<Region> out;
    const bool w = elf.Is64();
    const auto phoff = elf.Addr(w ? 0x20 : 0x1C);
    const auto phentsize = elf.U(w ? 0x36 : 0x2A, 2);
    const auto phnum = elf.U(w ? 0x38 : 0x2C, 2);
    if (!phoff || !phentsize || !phnum || *phoff == 0)
        return out;
    const std::uint64_t minEntry = w ? 0x38 : 0x20;
    if (*phentsize < minEntry || *phoff > elf.Size() || *phnum * *phentsize > elf.Size() - *phoff)
        return out;
    for (std::uint64_t i = 0; i < *phnum; ++i) {
        const std::uint64_t h = *phoff + i * *phentsize;
        const auto type = elf.U(h, 4);
        const auto offset = elf.Addr(h + (w ? 0x08 : 0x04));
        const auto size = elf.Addr(h + (w ? 0x20 : 0x10));
        if (!type || !offset || !size)
            break;
        if (*type == PT_NOTE)
            out.push_back({*offset, *size});
    }
    return out;
}

std::uint64_t Align4(std::uint64_t v)
{
    return (v + 3) & ~std::uint64_t(3);
}

// Looks through one note region for our record; its descriptor bytes on success.
std::optional<QByteArray> FindRecord(ElfReader& elf, const Region& region)
{
    if (region.size == 0 || region.size > kMaxNoteSection)
        return std::nullopt;
    QByteArray bytes(static_cast<qsizetype>(region.size), Qt::Uninitialized);
    if (!elf.ReadAt(region.offset, bytes.data(), region.size))
        return std::nullopt;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const std::uint64_t n = region.size;
    const std::uint64_t ownerLen = sizeof kVersionNoteOwner;  // with the terminating zero
    std::uint64_t pos = 0;
    while (pos + 12 <= n) {
        const std::uint64_t namesz = elf.Decode(p + pos, 4);
        const std::uint64_t descsz = elf.Decode(p + pos + 4, 4);
        const std::uint64_t type = elf.Decode(p + pos + 8, 4);
        const std::uint64_t nameAt = pos + 12;
        if (namesz > n - nameAt)
            break;
        const std::uint64_t descAt = nameAt + Align4(namesz);
        if (descAt > n || descsz > n - descAt)
            break;
        if (type == kVersionNoteType && namesz == ownerLen
            && std::memcmp(p + nameAt, kVersionNoteOwner, ownerLen) == 0 && descsz >= sizeof(VS_FIXEDFILEINFO)) {
            // Stored in the file's byte order; hand it over in ours.
            QByteArray record(sizeof(VS_FIXEDFILEINFO), Qt::Uninitialized);
            auto* words = reinterpret_cast<std::uint32_t*>(record.data());
            for (std::size_t i = 0; i < sizeof(VS_FIXEDFILEINFO) / 4; ++i)
                words[i] = static_cast<std::uint32_t>(elf.Decode(p + descAt + 4 * i, 4));
            return record;
        }
        pos = descAt + Align4(descsz);
    }
    return std::nullopt;
}

std::optional<QByteArray> ReadRecord(const QString& fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    ElfReader elf(file);
    if (!elf.ReadIdent())
        return std::nullopt;
    for (const Region& r : NoteSections(elf))
        if (auto record = FindRecord(elf, r))
            return record;
    for (const Region& r : NoteSegments(elf))
        if (auto record = FindRecord(elf, r))
            return record;
    return std::nullopt;
}

}  // namespace

std::uint32_t GetFileVersionInfoSize(const QString& fileName)
{
    const auto record = ReadRecord(fileName);
    return record ? static_cast<std::uint32_t>(record->size()) : 0;
}

bool GetFileVersionInfo(const QString& fileName, std::uint32_t size, void* data)
{
    if (!data)
        return false;
    const auto record = ReadRecord(fileName);
    if (!record || size < static_cast<std::uint32_t>(record->size()))
        return false;
    std::memcpy(data, record->constData(), static_cast<std::size_t>(record->size()));
    return true;
}

bool VerQueryValue(const void* block, std::uint32_t blockSize, const QString& subBlock,
                   const void** buffer, std::uint32_t* length)
{
    if (!block || !buffer || subBlock != QLatin1String("\\") || blockSize < sizeof(VS_FIXEDFILEINFO))
        return false;
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, block, sizeof info);
    if (info.dwSignature != VS_FFI_SIGNATURE)
        return false;
    *buffer = block;
    if (length)
        *length = sizeof(VS_FIXEDFILEINFO);
    return true;
}

bool ReadFixedFileInfo(const QString& fileName, VS_FIXEDFILEINFO& info)
{
    const std::uint32_t size = GetFileVersionInfoSize(fileName);
    if (size == 0)
        return false;
    std::vector<unsigned char> data(size);
    if (!GetFileVersionInfo(fileName, size, data.data()))
        return false;
    const void* record = nullptr;
    std::uint32_t length = 0;
    if (!VerQueryValue(data.data(), size, QStringLiteral("\\"), &record, &length))
        return false;
    std::memcpy(&info, record, sizeof info);
    return true;
}

}  // namespace platform
