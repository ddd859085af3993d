// The seam through which a socket runs its connection over TLS. The TLS layer implements
// it; a socket without one (or with one that is not enabled) sends and receives in plain.
// Every call runs under the socket's lock, on the thread that owns the socket.
#pragma once
#include "dravo/status.h"

#include <cstdint>

class CSocket;

class ISocketTls
{
public:
    virtual ~ISocketTls() = default;

    virtual bool IsEnabled() const = 0;
    // Library set-up, once per socket object.
    virtual HRESULT InitLibrary(CSocket& socket) = 0;
    // Creates the context of the client or server role.
    virtual HRESULT InitContext(CSocket& socket, bool serverRole) = 0;
    // Handshakes on the connected (client) or accepted (server) data socket.
    virtual bool Connect(CSocket& socket) = 0;
    virtual bool Accept(CSocket& socket) = 0;
    // Writes all bytes; reports them to the spy and the trace unless `raw`.
    virtual HRESULT Write(CSocket& socket, const uint8_t* data, uint32_t size, bool raw) = 0;
    // Reads what the session has without waiting, storing it with CSocket::StoreReceived.
    virtual HRESULT ReceiveAvailable(CSocket& socket, uint32_t maxBytes) = 0;
    // Ends the session (and its context) when the data socket closes.
    virtual void Disconnect(CSocket& socket) = 0;
};
