// Line mode with any line end, line limit, echo and editing (backspace and
// tab), the peer's bytes arriving in pieces of any size, an owner that reads
// each line in pieces, may switch line mode off and on, or close inside its
// handler. Without editing, no byte reaches the owner twice or out of order;
// without dropping either, it receives every byte once (up to its own close,
// if it closes), whatever the mode switches; without switching too, every
// line it is handed ends with the line end (the last one may end with the
// close instead).

#include "fuzz/fuzz_support.h"
#include "fuzz/socket_feed.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::EnsureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input in(data, size);
    const std::uint8_t flags = in.Byte();
    const bool edit = flags & 1;
    const bool echo = flags & 2;
    const bool toggles = flags & 4;
    const bool closesInside = flags & 8;
    const bool readsNothingSometimes = flags & 16;
    const int limit = (flags & 32) ? in.Range(1, 40) : 65536;
    QByteArray lineEnd = in.Bytes(std::size_t(in.Range(1, 3)));
    if (lineEnd.isEmpty())
        lineEnd = "\r\n";
    const int readPiece = in.Range(1, 9);

    QByteArray received;
    QByteArray currentLine;
    QList<QByteArray> lines;
    bool dropped = false;
    bool switched = false;
    bool closed = false;
    {
        fuzz::FeedSocket s;
        if (!s.Open())
            return 0;
        s.SetLineEnd(lineEnd);
        s.SetLineLimit(limit);
        s.SetLineEcho(echo);
        s.SetLineEdit(edit);
        s.SetLineMode(true);
        s.OnLineLimitExceeded = [&](TCustomWSocket*, int, bool& clear) {
            clear = !in.Bool();
            dropped = dropped || clear;
        };
        s.OnDataAvailable = [&](TCustomWSocket* sock, std::uint16_t) {
            auto* line = static_cast<fuzz::FeedSocket*>(sock);
            const std::uint8_t action = in.Byte();
            if (readsNothingSometimes && action % 7 == 0) {
                dropped = true;  // an unread line is discarded
                return;
            }
            if (closesInside && action % 11 == 1) {
                closed = true;
                line->Close();
                return;
            }
            const int want = line->LineMode() ? line->RcvdCount() : readPiece;
            char buf[16];
            const int n = line->Receive(buf, std::min(want, std::min(readPiece, int(sizeof buf))));
            if (n > 0) {
                received.append(buf, n);
                currentLine.append(buf, n);
                if (line->LineMode() && line->RcvdCount() == 0) {
                    lines.append(currentLine);
                    currentLine.clear();
                }
            }
            if (toggles && action % 5 == 2) {
                switched = true;
                line->SetLineMode(!line->LineMode());
            }
        };

        QByteArray fed;
        while (!in.Empty() && s.IsOpen()) {
            const QByteArray piece = in.Bytes(std::size_t(in.Range(1, 24)));
            fed += piece;
            s.Feed(piece);
            fuzz::PumpPosted();
            if (echo || edit)
                s.TakeSent();
        }
        if (s.IsOpen())
            s.PeerClose();
        fuzz::PumpPosted();
        FUZZ_CHECK(s.BufferedCount() >= 0);
        if (!edit) {
            // received is a subsequence of fed
            qsizetype at = 0;
            for (const char c : received) {
                while (at < fed.size() && fed[at] != c)
                    ++at;
                FUZZ_CHECK(at < fed.size());
                ++at;
            }
        }
        if (!edit && !dropped) {
            if (closed)
                FUZZ_CHECK(fed.startsWith(received));
            else
                FUZZ_CHECK(received == fed);
        }
        if (!edit && !dropped && !switched && !closed) {
            for (qsizetype i = 0; i + 1 < lines.size(); ++i)
                FUZZ_CHECK(lines[i].endsWith(lineEnd));
        }
    }
    fuzz::PumpPosted();
    return 0;
}
