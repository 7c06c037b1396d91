// The data address of a passive reply: whatever the server wrote, an accepted
// reply yields a dotted IPv4 address of four numbers up to 255 and a port
// below 65536.

#include "fuzz/fuzz_support.h"
#include "ftp/FtpReply.h"

#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString line = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    QString addr;
    int port = -1;
    if (!ftp::ParsePassiveReply(line, addr, port))
        return 0;
    FUZZ_CHECK(port >= 0 && port <= 65535);
    const QStringList parts = addr.split(QLatin1Char('.'));
    FUZZ_CHECK(parts.size() == 4);
    for (const QString& part : parts) {
        bool ok = false;
        const int v = part.toInt(&ok, 10);
        FUZZ_CHECK(ok && v >= 0 && v <= 255);
        FUZZ_CHECK(!part.isEmpty() && part.size() <= 3);
        for (QChar c : part)
            FUZZ_CHECK(c >= u'0' && c <= u'9');
    }
    return 0;
}
