// Quoted arguments of 257 replies (PWD, MKD, CWD): the text after the code is
// read like the client reads it; unquoting can only shorten it, and quoting
// the result again reads back the same.

#include "fuzz/fuzz_support.h"
#include "ftp/FtpReply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input in(data, size);
    const int startHint = in.Byte();
    const QString line = QString::fromUtf8(in.Rest());
    int next = 0;
    ftp::GetInteger(line, 0, next);
    FUZZ_CHECK(next >= 0 && next <= line.size());
    const int start = startHint < 128 ? next : std::min<int>(startHint - 128, int(line.size()) + 1);
    const QString dir = ftp::GetQuotedString(line, start);
    FUZZ_CHECK(dir.size() <= line.size());

    QString quoted = QStringLiteral("257 \"");
    for (QChar c : dir) {
        quoted += c;
        if (c == u'"')
            quoted += c;
    }
    quoted += QStringLiteral("\" created");
    ftp::GetInteger(quoted, 0, next);
    FUZZ_CHECK(ftp::GetQuotedString(quoted, next) == dir);
    return 0;
}
