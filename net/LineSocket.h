#pragma once
// Line mode layer of the socket component.

#include "net/TlsSocket.h"

#include <QByteArray>

#include <cstdint>
#include <functional>

class TCustomLineWSocket : public TCustomTlsWSocket
{
public:
    explicit TCustomLineWSocket(QObject* owner = nullptr);

    // The limit was passed: clearData (true on entry) drops the buffered bytes.
    std::function<void(TCustomWSocket* sender, int rcvdLength, bool& clearData)> OnLineLimitExceeded;

    bool LineMode() const { return lineMode_; }
    virtual void SetLineMode(bool value);
    const QByteArray& LineEnd() const { return lineEnd_; }
    void SetLineEnd(const QByteArray& lineEnd) { lineEnd_ = lineEnd; }
    int LineLimit() const { return lineLimit_; }
    void SetLineLimit(int limit) { lineLimit_ = limit; }
    bool LineEcho() const { return lineEcho_; }
    void SetLineEcho(bool value) { lineEcho_ = value; }
    bool LineEdit() const { return lineEdit_; }
    void SetLineEdit(bool value) { lineEdit_ = value; }
    // Bytes held by the line layer (a partial line, or lines not yet handed out).
    int BufferedCount() const { return bufferedCount_; }

    int RcvdCount() override;

protected:
    virtual void FireLineLimitExceeded(int rcvdLength, bool& clearData);
    // Edits the got new bytes in place; returns the bytes to echo.
    virtual QByteArray ApplyLineEditing(int& got);

    void HandleWindowMessage(platform::Message& msg) override;
    int RawReceive(void* buffer, int length, int flags) override;
    bool FireDataAvailable(std::uint16_t error) override;
    void FireSessionClosed(std::uint16_t error) override;

    // Hands the pending line to the owner until it has read it all.
    void DeliverPendingLine();
    // Hands bytes held from line mode out as plain data at the end.
    void DeliverHeldBytes();
    // The owner's OnDataAvailable, remembering that it runs: a close from
    // inside it must not offer the same bytes again.
    bool FireOwnerDataAvailable(std::uint16_t error);
    // New bytes from the layer below, counted as Receive counts them.
    int ReceiveFromBelow(char* buffer, int length);
    // Takes count bytes from the front of the buffer (to out, if given).
    void TakeFront(char* out, int count);
    void EnsureLineBuffer(int size);
    // Where the first line end at or after start begins in the buffer; -1 when none.
    int FindLineEnd(int start) const;

    QByteArray lineBuffer_;  // empty = not allocated; a 0 byte follows the data
    int bufferedCount_ = 0;
    QByteArray lineEnd_ = QByteArrayLiteral("\r\n");
    bool lineMode_ = false;
    int pendingLineLength_ = 0;
    int lineLimit_ = 65536;
    bool lineEcho_ = false;
    bool lineEdit_ = false;
    bool inOwnerDataEvent_ = false;
    int syncTimeout_ = 0;  // milliseconds, 0 = no limit
    std::int64_t syncDeadline_ = 0;
};
