// The framework's one-connection socket: one data socket (TCP or UDP, IPv4 or IPv6), an
// optional listening socket, the receive buffer, the datagram queue of UDP listen mode, the
// IP filter of incoming callers and the TLS seam. Once connected the socket is non-blocking;
// the owning thread polls the descriptors of GetReadinessWaits together with its events and
// is woken by incoming bytes or callers. The only blocking waits are the bounded waits of
// ReadExact, WaitDatagram and a would-block Send, and a connect in progress; each of them
// also ends when another thread calls Abort.
#pragma once
#include "core/IOLog.h"
#include "platform/Event.h"
#include "platform/Lock.h"
#include "platform/Net.h"
#include "transport/Buffer.h"
#include "transport/CircularBuffer.h"
#include "transport/IPFilter.h"
#include "transport/PeerIP.h"
#include "transport/SocketTls.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

// Statistics sink of the owning layer.
struct ISocketSpy
{
    virtual void OnBytesSent(uint32_t count) = 0;
    virtual void OnBytesReceived(uint32_t count) = 0;
    virtual void OnRawData(const uint8_t* bytes, uint32_t count) = 0;

protected:
    ~ISocketSpy() = default;
};

class CSocket
{
public:
    static constexpr uint32_t DEFAULT_TIMEOUT_MS = 2000;
    static constexpr uint32_t STAGING_SIZE = 16768;
    static constexpr uint32_t MIN_DATAGRAM_READ = 4096;
    // The longest single wait inside ReadExact and WaitDatagram before the abort event and
    // the no-progress timeout are looked at again.
    static constexpr uint32_t WAIT_SLICE_MS = 50;
    static constexpr uint32_t WOULDBLOCK_RETRY_MS = 100;

    explicit CSocket(CIOGlobals* globals);
    ~CSocket();
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    // Settings the owning layer reads from its configuration.
    void SetSpy(ISocketSpy* spy);
    void SetSuppressEcho(bool on);
    void SetInterframeDelay(uint32_t ms);

    // `tls` may be null (plain sockets); it is kept for the life of the object.
    HRESULT Initialize(uint32_t timeoutMs, uint32_t protocol, std::unique_ptr<ISocketTls> tls, bool useIPv6);
    // localPort 0 lets the system choose; a null interface binds to any address.
    HRESULT Connect(const char* host, uint16_t port, uint16_t localPort, const char* interfaceAddress,
                    uint32_t channel);
    HRESULT Listen(const char* interfaceAddress, uint16_t port, bool sharePort, const char* filterText);
    HRESULT Accept(bool stopListenAfterAccept);
    HRESULT Send(const CBuffer& packet, bool raw);
    HRESULT ReceiveAvailable(uint32_t maxBytes);
    HRESULT ReadExact(uint8_t* buffer, uint32_t length, bool echoMode);
    HRESULT WaitDatagram(CBuffer& buffer);
    bool DataReady();
    void Close();
    void CloseListen();
    bool IsOpen();
    bool IsListening();
    bool IsListenMode();
    // Ends the owning layer's use: closes the listening socket and resets the protocol.
    void Terminate();

    HRESULT GetPeer(IIOPeerIP** peer);
    HRESULT GetLocalAddress(AddressRecord* record);
    HRESULT GetPeerAddress(AddressRecord* record);
    static std::string FormatAddress(const SSocketAddress& address) { return FormatSocketAddress(address); }
    static HRESULT ListLocalAddresses(bool ipv6, std::vector<std::string>& addresses);
    std::string LastError();

    // Needs no lock: ends a pending connect, ReadExact or WaitDatagram of the owning thread,
    // which then closes the data socket.
    void Abort() { m_abortEvent.Set(); }
    CEvent& AbortEvent() { return m_abortEvent; }
    // The descriptors the owning thread waits on for readability: the data socket once it is
    // ready for traffic, and the listening socket. Returns how many were written.
    size_t GetReadinessWaits(SocketWait* waits, size_t capacity);

    // For the TLS seam (called under the lock, on the owning thread).
    CRecursiveLock& Lock() { return m_lock; }
    SocketHandle DataHandle() const { return m_dataSocket; }
    uint32_t TimeoutMs() const { return m_timeoutMs; }
    ISocketSpy* Spy() const { return m_spy; }
    const TIOApi* Api() const { return &m_api; }
    // Hands received bytes to the spy and appends them to the receive buffer.
    HRESULT StoreReceived(const uint8_t* bytes, uint32_t count);
    void RecordIo();
    // Names the last socket error, records and logs it, closes the data socket: E_FAIL.
    HRESULT SocketError(const char* function);

    uint32_t Protocol() const { return m_protocol; }
    uint32_t Channel() const { return m_channel; }
    uint32_t BufferedBytes() const { return m_receiveBuffer.Total(); }
    size_t QueuedDatagrams() const { return m_datagramQueue.size(); }

private:
    // The local or the peer address of the data socket, through the given platform query.
    HRESULT QueryAddress(AddressRecord* record, bool (*query)(SocketHandle, SSocketAddress*),
                         const char* function);
    bool TlsOn() const { return m_tls && m_tls->IsEnabled(); }
    bool UdpListen() const { return m_listenMode && m_protocol == IO_PROTOCOL_UDP; }
    HRESULT CheckProtocol();
    HRESULT Resolve(const char* host, uint16_t port, SSocketAddress* address);
    HRESULT CreateAndBind(const char* interfaceAddress, uint16_t localPort, bool share, bool serverRole);
    HRESULT ConnectAbortable(const SSocketAddress& address);
    HRESULT MakeReady();
    HRESULT CheckPeer(IIOPeer* peer);
    void WaitInterframeDelay();
    HRESULT PlainSend(const CBuffer& packet, IIOPeerIP* destination, bool raw);
    HRESULT SuppressEcho(const CBuffer& packet);
    // Waits up to `ms` for the abort event or readability; true when aborted.
    bool WaitSlice(uint32_t ms);
    HRESULT QueueDatagram(const uint8_t* bytes, uint32_t count, const SSocketAddress& from);
    TIOPtr<IIOPeerIP> MakePeer(const SSocketAddress& address);

    TIOApi m_api;
    // Guards every field below; every public operation takes it for its whole duration.
    CRecursiveLock m_lock;
    SocketHandle m_dataSocket = INVALID_SOCKET_HANDLE;
    TIOPtr<IIOPeerIP> m_peerCache;
    SocketHandle m_listenSocket = INVALID_SOCKET_HANDLE;
    bool m_dataRegistered = false;
    CEvent m_abortEvent{CEvent::EReset::Auto};
    uint32_t m_timeoutMs = DEFAULT_TIMEOUT_MS;
    std::deque<CBuffer> m_datagramQueue;
    CReceiveBuffer m_receiveBuffer;
    std::string m_lastError;
    ISocketSpy* m_spy = nullptr;
    uint32_t m_protocol = IO_PROTOCOL_NONE;
    uint32_t m_channel = 0;
    bool m_listenMode = false;
    bool m_useIPv6 = false;
    bool m_broadcastEnabled = false;
    bool m_suppressEcho = false;
    CIPFilter m_ipFilter;
    std::unique_ptr<ISocketTls> m_tls;
    bool m_tlsLibraryReady = false;
    uint32_t m_interframeDelayMs = 0;
    uint64_t m_lastIoTime = 0; // microseconds
    bool m_lastIoValid = false;
};
