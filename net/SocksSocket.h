#pragma once
// SOCKS 4, 4A and 5 client layer of the socket component.

#include "net/SocketCore.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

class TCustomSocksWSocket : public TCustomWSocket
{
public:
    explicit TCustomSocksWSocket(QObject* owner = nullptr);

    std::function<void(TCustomWSocket* sender, std::uint16_t error)> OnSocksConnected;
    std::function<void(TCustomWSocket* sender, int error, const QString& msg)> OnSocksError;
    std::function<void(TCustomWSocket* sender, TSocksAuthState authState)> OnSocksAuthState;

    const QString& SocksServer() const { return socksServer_; }
    virtual void SetSocksServer(const QString& server);
    const QString& SocksPort() const { return socksPort_; }
    virtual void SetSocksPort(const QString& port);
    const QString& SocksLevel() const { return socksLevel_; }
    void SetSocksLevel(const QString& level);
    const QString& SocksUsercode() const { return socksUsercode_; }
    void SetSocksUsercode(const QString& usercode) { socksUsercode_ = usercode; }
    const QString& SocksPassword() const { return socksPassword_; }
    void SetSocksPassword(const QString& password) { socksPassword_ = password; }
    TSocksAuthentication SocksAuthentication() const { return socksAuthentication_; }
    void SetSocksAuthentication(TSocksAuthentication value) { socksAuthentication_ = value; }

    void Connect() override;
    void Listen() override;
    int RcvdCount() override;

protected:
    enum TSocksPhase : std::uint8_t {
        socksPhaseIdle = 0,
        socksPhaseAwaitingMethodReply = 1,
        socksPhaseAwaitingAuthReply = 2,
        socksPhaseAwaitingConnectReply = 3,
    };

    virtual void FireSocksConnected(std::uint16_t error);
    virtual void FireSocksError(int error, const QString& msg);
    void FireSocksAuthState(TSocksAuthState state);

    void ResetToDefaults() override;
    bool FireDataAvailable(std::uint16_t error) override;
    void FireSessionConnected(std::uint16_t error) override;
    void FireSessionClosed(std::uint16_t error) override;
    int RawReceive(void* buffer, int length, int flags) override;

    void SocksSendAuthRequest();
    void SocksSendConnectRequest();
    void SocksFail(int error, const QString& msg);
    // Leaves no negotiation or cached proxy address behind a failed Connect.
    void SocksForget();
    // The proxy granted the connection: the owner hears of it, then of any
    // bytes that came with the reply.
    bool FireGranted();
    void SocksSendRequest(const QByteArray& request);

    // The reply handlers of the negotiation's stages: the result is
    // FireDataAvailable's.
    bool SocksMethodReply();
    bool SocksAuthReply();
    bool Socks4ConnectReply();
    bool Socks5ConnectReply();
    // Reads into the reply buffer until it holds upTo bytes; Receive's result.
    int SocksReadReply(int upTo);
    // Fails the connect for a SOCKS 5 reply code other than success.
    void Socks5Refused(int code);
    // Takes the bound address from a complete SOCKS 5 reply; the offset of
    // the bound port, or -1 for an unknown address type.
    int SocksTakeBoundAddress(int type);
    bool SocksLevel4() const { return socksLevel_.startsWith(QLatin1Char('4')); }

    TSocksPhase socksPhase_ = socksPhaseIdle;
    QString socksServer_;
    QString socksLevel_ = QStringLiteral("5");
    QString socksPort_;
    bool socksPortAssigned_ = false;
    bool socksServerAssigned_ = false;
    QString socksUsercode_;
    QString socksPassword_;
    TSocksAuthentication socksAuthentication_ = socksNoAuthentication;
    std::uint8_t socksAuthMethod_ = 0;
    QString socksBoundAddr_;
    QString socksBoundPort_;
    std::uint8_t socksReply_[128] = {};  // SocksSocket.cpp reads 127 at most
    int socksReplyCount_ = 0;
    int socksLeftoverCount_ = 0;
    int socksLeftoverPos_ = 0;
};
