// Control-connection bytes arriving in pieces of any size: the reply buffer
// cuts them into lines, the tracker finds the lines that end replies, and
// each line goes through the code reading the client does on it (digit test,
// continuation test, code, SIZE number, quoted directory). A multi-line reply
// never ends on a different code than it started with.

#include "fuzz/fuzz_support.h"
#include "ftp/FtpReply.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input in(data, size);
    const bool acceptLF = in.Bool();
    ftp::ReplyLineBuffer buffer;
    ftp::ReplyTracker tracker;
    QString openedBy;  // the code of the "NNN-" line that opened a reply
    QByteArray raw;
    while (!in.Empty()) {
        const int room = buffer.FreeSpace();
        FUZZ_CHECK(room >= 0 && room <= ftp::ReplyLineBuffer::kSize - 1);
        if (room == 0)
            break;  // the client closes the connection here
        const QByteArray piece = in.Bytes(std::size_t(in.Range(1, 64)));
        const int count = std::min<int>(room, int(piece.size()));
        std::memcpy(buffer.WritePtr(), piece.constData(), size_t(count));
        buffer.Commit(count);
        FUZZ_CHECK(buffer.Fill() <= ftp::ReplyLineBuffer::kSize - 1);
        while (buffer.Fill() > 0 && buffer.TakeLine(acceptLF, raw)) {
            FUZZ_CHECK(!raw.endsWith('\r') && !raw.endsWith('\n'));
            if (!acceptLF)
                FUZZ_CHECK(!raw.contains("\r\n"));
            else
                FUZZ_CHECK(!raw.contains('\n'));
            const QString line = ftp::DecodeReply(raw);
            FUZZ_CHECK(line.size() == raw.size() || QString::fromUtf8(raw) == line);
            const bool digit = ftp::BeginsWithDigit(line);
            const bool more = ftp::IsContinuation(line);
            FUZZ_CHECK(!more || digit);

            const bool wasOpen = !tracker.OpenCode().isEmpty();
            const bool final = tracker.IsFinal(line);
            if (final) {
                FUZZ_CHECK(digit && !more);
                if (wasOpen) {
                    FUZZ_CHECK(line.startsWith(openedBy));
                    FUZZ_CHECK(line.size() == openedBy.size() || line[openedBy.size()] == u' ');
                }
                FUZZ_CHECK(tracker.OpenCode().isEmpty());
                openedBy.clear();
            } else if (!wasOpen && !tracker.OpenCode().isEmpty()) {
                FUZZ_CHECK(more);
                openedBy = tracker.OpenCode();
                FUZZ_CHECK(line.startsWith(openedBy + u'-'));
            } else {
                FUZZ_CHECK(tracker.OpenCode() == openedBy);
                FUZZ_CHECK(wasOpen || !digit || more);
            }
            int next = 0;
            const qint64 code = ftp::GetInteger(line, 0, next);
            FUZZ_CHECK(next >= 0 && next <= line.size());
            FUZZ_CHECK(!digit || code >= 0);
            const qint64 sizeValue = ftp::GetInteger(line, next, next);
            (void)sizeValue;
            FUZZ_CHECK(next <= line.size());
            const QString dir = ftp::GetQuotedString(line, next);
            FUZZ_CHECK(dir.size() <= line.size());
        }
    }
    return 0;
}
