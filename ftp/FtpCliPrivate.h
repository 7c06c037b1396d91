#pragma once
// Shared by the FTP client's source files only: firing events, guarding the
// client's part of socket events, and texts of failures.

#include "ftp/FtpCli.h"

namespace ftp::detail {

// An upload reads and sends this much per data-sent notice, and the data
// socket hands the kernel as much per send call: small blocks cost one trip
// through the event loop each and leave the send buffer half empty.
inline constexpr int kUploadBlockSize = 64 * 1024;

// Thrown when an event handler deleted the client: everything between the
// handler and the event that started it unwinds without touching the client.
TARVO_DECLARE_EXCEPTION(FtpClientGone, FtpException);

inline FtpClientGone Gone() { return FtpClientGone(QStringLiteral("FTP component destroyed by an event handler")); }

// Fires one of the client's events. The handler is copied first, because it
// may delete the client and with it the stored handler.
template <class Event, class... Args>
void Fire(TCustomFtpCli* client, const Event& event, Args&&... args)
{
    if (!event)
        return;
    const Event handler = event;
    const QPointer<TCustomFtpCli> alive(client);
    handler(client, std::forward<Args>(args)...);
    if (!alive)
        throw Gone();
}

// Runs a socket operation that may fire the socket's events (and through them
// the client's) before it returns.
template <class F>
void SocketCall(TCustomFtpCli* client, F&& operation)
{
    const QPointer<TCustomFtpCli> alive(client);
    operation();
    if (!alive)
        throw Gone();
}

inline QString WinsockErrorSuffix(int e)
{
    return SocketErrorText(e) + QStringLiteral(" (Winsock error #") + QString::number(e) + QLatin1Char(')');
}

inline QString ExceptionText(const Exception& e)
{
    return QString::fromLatin1(e.ClassName()) + QStringLiteral(": ") + e.Message();
}

inline QString AddressText(std::uint32_t networkOrder)
{
    const std::uint32_t a = platform::Ntohl(networkOrder);
    return QStringLiteral("%1.%2.%3.%4").arg(a >> 24).arg((a >> 16) & 0xFF).arg((a >> 8) & 0xFF).arg(a & 0xFF);
}

inline bool IsPreliminary(int code) { return (code >= 150 && code <= 159) || code == 125; }

}  // namespace ftp::detail

template <class F>
void TCustomFtpCli::Guarded(F&& body, void (TCustomFtpCli::*onException)(const std::exception&))
{
    const QPointer<TCustomFtpCli> alive(this);
    ++inEvent_;
    try {
        try {
            body();
        } catch (const ftp::detail::FtpClientGone&) {
            throw;
        } catch (const std::exception& e) {
            (this->*onException)(e);
        } catch (...) {
            (this->*onException)(FtpException(QStringLiteral("Unknown exception")));
        }
    } catch (const ftp::detail::FtpClientGone&) {
        return;
    } catch (...) {
        // A failure while reporting a failure: the first one was reported.
    }
    if (alive)
        --inEvent_;
}

template <class F>
void TCustomFtpCli::SocketEvent(F&& f)
{
    Guarded(std::forward<F>(f), &TCustomFtpCli::EndRequestByException);
}
