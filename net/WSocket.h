#pragma once
// The event-driven, non-blocking IPv4 socket component and its layers.
//
// Class chain: TCustomWSocket (core: state machine, send queue, lookups)
//   -> TCustomSocksWSocket (SOCKS 4/4A/5 client)
//   -> TCustomTlsWSocket (TLS client, over a direct or a SOCKS connection)
//   -> TCustomLineWSocket (line mode)
//   -> TCustomSyncWSocket (wait for a flag)
//   -> TWSocket (the class users create).
// Everything runs on the thread that created the object; readiness and lookup
// results arrive as messages to the object's own notification window.
//
// One class per header, each including the layer below; this header is the
// component's public face and brings them all in.

#include "net/SyncSocket.h"

#include <vector>

// ---------------------------------------------------------------------------
// TWSocket: the component users create.

class TWSocket : public TCustomSyncWSocket
{
public:
    explicit TWSocket(QObject* owner = nullptr);
};
