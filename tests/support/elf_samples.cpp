#include "tests/support/elf_samples.h"

#include <QFile>
#include <QRegularExpression>

namespace testsupport {
namespace {

class Writer
{
public:
    explicit Writer(bool bigEndian) : big_(bigEndian) {}
    QByteArray bytes;

    void U(std::uint64_t v, int n)
    {
        for (int i = 0; i < n; ++i) {
            const int shift = big_ ? (n - 1 - i) * 8 : i * 8;
            bytes.append(static_cast<char>((v >> shift) & 0xFF));
        }
    }
    void Raw(const char* p, int n) { bytes.append(p, n); }
    void PadTo(qsizetype size) { bytes.append(size - bytes.size(), '\0'); }

private:
    bool big_;
};

void Note(Writer& w, bool ours, FileVersion v)
{
    w.U(6, 4);
    w.U(52, 4);
    w.U(1, 4);
    w.Raw(ours ? "Tarvo\0\0\0" : "Other\0\0\0", 8);
    const std::uint32_t ms = (std::uint32_t(v.major) << 16) | v.minor;
    const std::uint32_t ls = (std::uint32_t(v.release) << 16) | v.build;
    const std::uint32_t record[13] = {0xFEEF04BDu, 0x00010000u, ms, ls, ms, ls, 0x3F, 0, 0, 1, 0, 0, 0};
    for (std::uint32_t word : record)
        w.U(word, 4);
}

}  // namespace

bool CopyWithVersion(const QString& source, const QString& target, FileVersion version)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    QByteArray data = in.readAll();
    // namesz 6, descsz 52, type 1, "Tarvo", then the signature (little endian).
    static const QByteArray head = QByteArray::fromHex("06000000" "34000000" "01000000" "54617276" "6f000000" "bd04effe");
    const qsizetype at = data.indexOf(head);
    if (at < 0)
        return false;
    Writer w(false);
    const std::uint32_t ms = (std::uint32_t(version.major) << 16) | version.minor;
    const std::uint32_t ls = (std::uint32_t(version.release) << 16) | version.build;
    w.U(ms, 4);
    w.U(ls, 4);
    data.replace(at + head.size() + 4, 8, w.bytes);  // after the structure version
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return out.write(data) == data.size();
}

QByteArray MinimalElf(const ElfOptions& o, FileVersion version)
{
    Writer w(o.bigEndian);
    const int ehsize = o.is64 ? 64 : 52;
    const int noteAt = ehsize;
    const int noteSize = 12 + 8 + 52;
    const int tableAt = noteAt + noteSize;
    const int entSize = o.sectionHeaders ? (o.is64 ? 64 : 40) : (o.is64 ? 56 : 32);
    const int entries = o.sectionHeaders ? 2 : 1;
    const int addr = o.is64 ? 8 : 4;

    w.Raw("\x7F" "ELF", 4);
    w.U(o.is64 ? 2 : 1, 1);
    w.U(o.bigEndian ? 2 : 1, 1);
    w.U(1, 1);
    w.PadTo(16);
    w.U(2, 2);                 // executable
    w.U(0, 2);                 // machine
    w.U(1, 4);                 // version
    w.U(0, addr);              // entry
    w.U(o.sectionHeaders ? 0 : tableAt, addr);  // phoff
    w.U(o.sectionHeaders ? tableAt : 0, addr);  // shoff
    w.U(0, 4);                 // flags
    w.U(ehsize, 2);
    w.U(o.sectionHeaders ? 0 : entSize, 2);
    w.U(o.sectionHeaders ? 0 : entries, 2);
    w.U(o.sectionHeaders ? entSize : 0, 2);
    w.U(o.sectionHeaders ? entries : 0, 2);
    w.U(0, 2);                 // shstrndx
    w.PadTo(noteAt);
    Note(w, o.withNote, version);

    if (o.sectionHeaders) {
        w.PadTo(tableAt + entSize);  // the null section
        w.U(0, 4);                   // name
        w.U(7, 4);                   // SHT_NOTE
        w.U(2, addr);                // flags: allocated
        w.U(0, addr);                // address
        w.U(noteAt, addr);
        w.U(noteSize, addr);
        w.PadTo(tableAt + 2 * entSize);
    } else {
        w.U(4, 4);  // PT_NOTE
        if (o.is64) {
            w.U(4, 4);  // flags
            w.U(noteAt, 8);
            w.U(0, 8);
            w.U(0, 8);
            w.U(noteSize, 8);
            w.U(noteSize, 8);
            w.U(4, 8);
        } else {
            w.U(noteAt, 4);
            w.U(0, 4);
            w.U(0, 4);
            w.U(noteSize, 4);
            w.U(noteSize, 4);
            w.U(4, 4);
            w.U(4, 4);
        }
    }
    return w.bytes;
}

bool ProjectVersion(FileVersion& version)
{
    QFile f(QStringLiteral(TARVO_SOURCE_DIR "/CMakeLists.txt"));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    static const QRegularExpression re(QStringLiteral("project\\s*\\(\\s*\\w+\\s+VERSION\\s+(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?(?:\\.(\\d+))?"),
                                       QRegularExpression::CaseInsensitiveOption);
    const auto m = re.match(QString::fromUtf8(f.readAll()));
    if (!m.hasMatch())
        return false;
    version = FileVersion{static_cast<std::uint16_t>(m.captured(1).toUInt()), static_cast<std::uint16_t>(m.captured(2).toUInt()),
                          static_cast<std::uint16_t>(m.captured(3).toUInt()), static_cast<std::uint16_t>(m.captured(4).toUInt())};
    return true;
}

}  // namespace testsupport
