#include "transport/Socket.h"

#include "platform/Thread.h"
#include "platform/Tick.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <new>

namespace
{
// Winsock on Windows grants this version; Linux needs no library start, the line stays.
constexpr unsigned kLibraryMajor = 2;
constexpr unsigned kLibraryMinor = 2;

std::string Format(const char* format, unsigned value)
{
    char text[64];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

uint32_t ElapsedMs(uint64_t sinceMicros)
{
    return uint32_t((GetMicroseconds() - sinceMicros) / 1000);
}
} // namespace

CSocket::CSocket(CIOGlobals* globals) : m_api(globals) {}

CSocket::~CSocket()
{
    CLockGuard guard(m_lock);
    Close();
    CloseListen();
    m_tls.reset();
}

void CSocket::SetSpy(ISocketSpy* spy)
{
    CLockGuard guard(m_lock);
    m_spy = spy;
}

void CSocket::SetSuppressEcho(bool on)
{
    CLockGuard guard(m_lock);
    m_suppressEcho = on;
}

void CSocket::SetInterframeDelay(uint32_t ms)
{
    CLockGuard guard(m_lock);
    m_interframeDelayMs = ms;
}

HRESULT CSocket::Initialize(uint32_t timeoutMs, uint32_t protocol, std::unique_ptr<ISocketTls> tls,
                            bool useIPv6)
{
    CLockGuard guard(m_lock);
    m_timeoutMs = timeoutMs;
    m_protocol = protocol;
    if (tls)
        m_tls = std::move(tls);
    m_useIPv6 = useIPv6;
    if (TlsOn() && !m_tlsLibraryReady)
    {
        const HRESULT hr = m_tls->InitLibrary(*this);
        if (FAILED(hr))
            return hr;
        m_tlsLibraryReady = true;
    }
    Log(&m_api, LOG_SOCKET, "Winsock initialized: version=%u.%u, highVersion=%u.%u", kLibraryMajor,
        kLibraryMinor, kLibraryMajor, kLibraryMinor);
    return S_OK;
}

HRESULT CSocket::SocketError(const char* function)
{
    CLockGuard guard(m_lock);
    const int code = NetLastError();
    const char* name = NetErrorName(code);
    char text[160];
    std::snprintf(text, sizeof(text), "socket error %s(%d) calling %s()", name, code, function);
    m_lastError = text;
    Log(&m_api, LOG_SOCKET, "%s() returned error %s (%d)", function, name, code);
    Close();
    return E_FAIL;
}

HRESULT CSocket::Resolve(const char* host, uint16_t port, SSocketAddress* address)
{
    switch (NetParseLiteral(host, m_useIPv6, port, address))
    {
    case EParseResult::Parsed:
        return S_OK;
    case EParseResult::Invalid:
        return SocketError("WSAStringToAddress");
    case EParseResult::NotLiteral:
        break;
    }
    bool hasAddress = false;
    if (!NetResolve(host, m_useIPv6, port, address, &hasAddress))
        return SocketError("getaddrinfo");
    if (!hasAddress)
    {
        Log(&m_api, LOG_SOCKET, "Unexpected error: Address info with null pointer.");
        return E_POINTER;
    }
    return S_OK;
}

HRESULT CSocket::CheckProtocol()
{
    if (m_protocol != IO_PROTOCOL_TCP && m_protocol != IO_PROTOCOL_UDP)
        return E_INVALIDARG;
    if (TlsOn() && m_protocol == IO_PROTOCOL_UDP)
    {
        Log(&m_api, LOG_SOCKET, "Cannot Use SSL with UDP!");
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT CSocket::CreateAndBind(const char* interfaceAddress, uint16_t localPort, bool share, bool serverRole)
{
    HRESULT hr = CheckProtocol();
    if (FAILED(hr))
        return hr;
    if (m_dataSocket != INVALID_SOCKET_HANDLE)
    {
        m_lastError = "tried to connect socket twice";
        return E_FAIL;
    }
    if (TlsOn())
    {
        hr = m_tls->InitContext(*this, serverRole);
        if (FAILED(hr))
            return hr;
    }
    m_dataSocket = NetSocket(m_useIPv6, m_protocol == IO_PROTOCOL_TCP);
    if (m_dataSocket == INVALID_SOCKET_HANDLE)
        return SocketError("socket");
    if (share)
    {
        if (!NetSetReuseAddress(m_dataSocket))
            return SocketError("setsockopt(SO_REUSEADDR)");
        Log(&m_api, LOG_SOCKET, "Port is being shared");
    }
    SSocketAddress local;
    hr = Resolve(interfaceAddress, localPort, &local);
    if (FAILED(hr))
        return hr;
    if (!NetBind(m_dataSocket, local))
        return SocketError("bind");
    return S_OK;
}

bool CSocket::WaitSlice(uint32_t ms)
{
    CEvent* events[] = {&m_abortEvent};
    SocketWait sockets[1];
    size_t count = 0;
    if (m_dataSocket != INVALID_SOCKET_HANDLE)
    {
        sockets[0].fd = m_dataSocket;
        sockets[0].events = POLL_READABLE;
        count = 1;
    }
    return WaitForAny(events, std::span<SocketWait>(sockets, count), ms) == 0;
}

HRESULT CSocket::ConnectAbortable(const SSocketAddress& address)
{
    // The connect runs non-blocking so that the abort event can end it; otherwise it lasts
    // as long as the system's own connect timeout.
    if (!NetSetNonBlocking(m_dataSocket))
        return SocketError("ioctlsocket");
    EConnectStart start = NetConnectStart(m_dataSocket, address);
    if (start == EConnectStart::Failed)
        return SocketError("connect");
    while (start == EConnectStart::InProgress)
    {
        CEvent* events[] = {&m_abortEvent};
        SocketWait sockets[1];
        sockets[0].fd = m_dataSocket;
        sockets[0].events = POLL_WRITABLE;
        const int r = WaitForAny(events, sockets, WAIT_INFINITE);
        if (r == 0)
        {
            Close();
            m_lastError = "connection attempt aborted";
            return IO_E_NOT_CONNECTED;
        }
        if (r == 1)
        {
            if (!NetConnectFinished(m_dataSocket))
                return SocketError("connect");
            start = EConnectStart::Connected;
        }
        else if (r == WAIT_FAILED_RESULT)
        {
            return SocketError("connect");
        }
    }
    if (m_dataSocket == INVALID_SOCKET_HANDLE)
        return IO_E_NOT_CONNECTED;
    return S_OK;
}

HRESULT CSocket::Connect(const char* host, uint16_t port, uint16_t localPort, const char* interfaceAddress,
                         uint32_t channel)
{
    CLockGuard guard(m_lock);
    m_lastError.clear();
    if (host == nullptr)
    {
        m_lastError = "null address";
        return E_POINTER;
    }
    std::string localText = localPort != 0 ? Format(" (local port %u)", localPort) : std::string();
    const std::string interfaceText =
        interfaceAddress ? std::string(" (interface ") + interfaceAddress + ")" : std::string();
    Log(&m_api, LOG_SOCKET, "connecting socket to '%s' on port %u%s%s...", host, port, localText.c_str(),
        interfaceText.c_str());

    HRESULT hr = CreateAndBind(interfaceAddress, localPort, false, false);
    if (FAILED(hr))
        return hr;

    m_channel = channel;
    SSocketAddress remote;
    hr = Resolve(host, port, &remote);
    if (SUCCEEDED(hr))
        hr = ConnectAbortable(remote);
    if (SUCCEEDED(hr))
    {
        SSocketAddress local;
        if (NetLocalAddress(m_dataSocket, &local))
            localText = Format(" (local port %u)", NetPort(local));
        else
            hr = SocketError("getsockname");
    }
    if (SUCCEEDED(hr))
        hr = MakeReady();
    if (FAILED(hr))
    {
        Log(&m_api, LOG_SOCKET, "failed to connect socket to '%s' on port %u%s%s!", host, port,
            localText.c_str(), interfaceText.c_str());
        if (m_dataSocket != INVALID_SOCKET_HANDLE)
            Close();
        return hr;
    }
    Log(&m_api, LOG_SOCKET, "socket connected to '%s' on port %u%s%s!", host, port, localText.c_str(),
        interfaceText.c_str());
    if (TlsOn() && !m_tls->Connect(*this))
    {
        Close();
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CSocket::MakeReady()
{
    if (m_dataSocket == INVALID_SOCKET_HANDLE)
        return IO_E_NOT_CONNECTED;
    if (!NetSetNonBlocking(m_dataSocket))
        return SocketError("ioctlsocket");
    m_dataRegistered = true;
    if (m_protocol == IO_PROTOCOL_TCP && !NetSetNoDelay(m_dataSocket))
        return SocketError("setsockopt(TCP_NODELAY)");
    return S_OK;
}

HRESULT CSocket::Listen(const char* interfaceAddress, uint16_t port, bool sharePort, const char* filterText)
{
    CLockGuard guard(m_lock);
    HRESULT hr = CheckProtocol();
    if (FAILED(hr))
        return hr;
    m_lastError.clear();
    const char* filter = filterText ? filterText : "";
    hr = m_ipFilter.Parse(filter);
    if (FAILED(hr))
    {
        Log(&m_api, LOG_SOCKET, "ERROR: cannot listen for connections, failed parsing IP Filter '%s'",
            filter);
        return hr;
    }
    char endpoint[160];
    if (interfaceAddress)
        std::snprintf(endpoint, sizeof(endpoint), "port %u on interface %s", port, interfaceAddress);
    else
        std::snprintf(endpoint, sizeof(endpoint), "port %u on all interfaces", port);

    if (m_protocol == IO_PROTOCOL_UDP)
    {
        Log(&m_api, LOG_SOCKET, "Listening on UDP socket on %s!", endpoint);
        hr = CreateAndBind(interfaceAddress, port, sharePort, true);
        if (FAILED(hr))
            return hr;
        if (!NetSetNonBlocking(m_dataSocket))
            return SocketError("ioctlsocket");
        m_listenMode = true;
        return S_OK;
    }

    Log(&m_api, LOG_SOCKET, "creating socket to listen on %s...", endpoint);
    hr = CreateAndBind(interfaceAddress, port, sharePort, true);
    if (SUCCEEDED(hr) && !NetListen(m_dataSocket, 1))
        hr = SocketError("listen");
    if (SUCCEEDED(hr) && !NetSetNonBlocking(m_dataSocket))
        hr = SocketError("ioctlsocket");
    if (FAILED(hr))
    {
        Log(&m_api, LOG_SOCKET, "failed to create listen socket on %s!", endpoint);
        if (m_dataSocket != INVALID_SOCKET_HANDLE)
            Close();
        return hr;
    }
    m_listenSocket = m_dataSocket;
    m_dataSocket = INVALID_SOCKET_HANDLE;
    Log(&m_api, LOG_SOCKET, "listening on %s!", endpoint);
    m_listenMode = true;
    return S_OK;
}

HRESULT CSocket::Accept(bool stopListenAfterAccept)
{
    CLockGuard guard(m_lock);
    if (m_protocol == IO_PROTOCOL_UDP)
    {
        if (m_dataSocket == INVALID_SOCKET_HANDLE)
            return IO_E_NOT_CONNECTED;
        Log(&m_api, LOG_SOCKET, "accepted UDP socket connection (by default)!");
        return MakeReady();
    }
    if (m_listenSocket == INVALID_SOCKET_HANDLE || m_dataSocket != INVALID_SOCKET_HANDLE)
        return E_FAIL;
    SSocketAddress caller;
    const SocketHandle accepted = NetAccept(m_listenSocket, &caller);
    if (accepted == INVALID_SOCKET_HANDLE)
    {
        if (NetClassifyError(NetLastError()) == ENetError::WouldBlock)
            return E_FAIL;
        return SocketError("accept");
    }
    const std::string callerText = FormatAddress(caller);
    if (!m_ipFilter.Admits(caller))
    {
        Log(&m_api, LOG_SOCKET, "blocked incoming socket connection from %s!", callerText.c_str());
        NetClose(accepted);
        return E_FAIL;
    }
    m_dataSocket = accepted;
    if (TlsOn() && !m_tls->Accept(*this))
    {
        Log(&m_api, LOG_SOCKET, "(ssl) blocked incoming socket connection from %s!", callerText.c_str());
        const HRESULT hr = SocketError("ssl accept");
        m_tls->InitContext(*this, true);
        if (stopListenAfterAccept)
            CloseListen();
        return hr;
    }
    if (stopListenAfterAccept)
        CloseListen();
    // Closing the listener clears listen mode, but an accepted connection is still a server-side
    // stream; only UDP depends on the flag.
    Log(&m_api, LOG_SOCKET, "accepted socket connection from %s!", callerText.c_str());
    return MakeReady();
}

TIOPtr<IIOPeerIP> CSocket::MakePeer(const SSocketAddress& address)
{
    return TIOPtr<IIOPeerIP>(
        CIOPeerIP::Create(address, m_protocol, m_useIPv6 ? PEER_FLAG_IPV6 : 0, m_channel).Get());
}

HRESULT CSocket::GetPeer(IIOPeerIP** peer)
{
    CLockGuard guard(m_lock);
    if (peer == nullptr)
        return E_POINTER;
    *peer = nullptr;
    if (m_dataSocket == INVALID_SOCKET_HANDLE)
        return IO_E_NOT_CONNECTED;
    if (!m_peerCache)
    {
        SSocketAddress remote;
        if (!NetPeerAddress(m_dataSocket, &remote))
            return SocketError("getpeername");
        m_peerCache = MakePeer(remote);
        if (!m_peerCache)
            return E_OUTOFMEMORY;
    }
    m_peerCache->AddRef();
    *peer = m_peerCache.Get();
    return S_OK;
}

HRESULT CSocket::GetLocalAddress(AddressRecord* record)
{
    return QueryAddress(record, NetLocalAddress, "getsockname");
}

HRESULT CSocket::GetPeerAddress(AddressRecord* record)
{
    return QueryAddress(record, NetPeerAddress, "getpeername");
}

HRESULT CSocket::QueryAddress(AddressRecord* record, bool (*query)(SocketHandle, SSocketAddress*),
                              const char* function)
{
    CLockGuard guard(m_lock);
    if (record == nullptr)
        return E_POINTER;
    if (m_dataSocket == INVALID_SOCKET_HANDLE)
        return IO_E_NOT_CONNECTED;
    SSocketAddress address;
    if (!query(m_dataSocket, &address))
        return SocketError(function);
    NetDecodeAddress(address, record);
    record->protocol = m_protocol;
    return S_OK;
}

HRESULT CSocket::CheckPeer(IIOPeer* peer)
{
    TIOPtr<IIOPeerIP> ip;
    if (FAILED(peer->QueryInterface(IIOPeerIP::IID, reinterpret_cast<void**>(ip.Out()))) || !ip)
    {
        Log(&m_api, LOG_SOCKET, "ERROR: cannot send packet, it is targeted to an unknown peer type");
        return IO_E_PEER_MISMATCH;
    }
    if (ip->GetChannel() != m_channel)
    {
        Log(&m_api, LOG_SOCKET, "ERROR: cannot send packet, the packet is destined to another channel");
        return IO_E_PEER_MISMATCH;
    }
    const AddressRecord& wanted = ip->GetAddressRecord();
    bool matches = wanted.protocol == IO_PROTOCOL_NONE || m_protocol == IO_PROTOCOL_NONE ||
                   wanted.protocol == m_protocol;
    if (matches && !UdpListen())
    {
        TIOPtr<IIOPeerIP> current;
        if (FAILED(GetPeer(current.Out())) || !current)
            matches = false;
        else
        {
            const AddressRecord& have = current->GetAddressRecord();
            matches = have.port == wanted.port && have.isIPv6 == wanted.isIPv6 &&
                      (wanted.isIPv6 ? std::equal(have.ipv6, have.ipv6 + 8, wanted.ipv6)
                                     : std::equal(have.ipv4, have.ipv4 + 4, wanted.ipv4));
        }
    }
    if (!matches)
    {
        Log(&m_api, LOG_SOCKET,
            "ERROR: cannot send packet, the specified peer does not match the current socket");
        return IO_E_PEER_MISMATCH;
    }
    return S_OK;
}

void CSocket::WaitInterframeDelay()
{
    if (m_interframeDelayMs == 0 || !m_lastIoValid)
        return;
    const uint64_t due = m_lastIoTime + uint64_t(m_interframeDelayMs) * 1000;
    uint64_t now = GetMicroseconds();
    if (now >= due)
        return;
    const uint64_t remainingMs = (due - now) / 1000;
    if (remainingMs > 19)
    {
        SleepMs(uint32_t(remainingMs));
        return;
    }
    // Below the scheduler's granularity a sleep would overshoot: spin for millisecond accuracy.
    while (GetMicroseconds() < due)
    {
    }
}

HRESULT CSocket::Send(const CBuffer& packet, bool raw)
{
    CLockGuard guard(m_lock);
    TIOPtr<IIOPeerIP> destination;
    if (IIOPeer* peer = packet.Peer())
    {
        const HRESULT hr = CheckPeer(peer);
        if (FAILED(hr))
            return hr;
        peer->QueryInterface(IIOPeerIP::IID, reinterpret_cast<void**>(destination.Out()));
    }
    WaitInterframeDelay();
    if (m_protocol == IO_PROTOCOL_TCP && TlsOn())
        return m_tls->Write(*this, packet.Data(), packet.Length(), raw);
    if (UdpListen() && !destination)
    {
        Log(&m_api, LOG_SOCKET, "ERROR: cannot send packet to unspecified peer in UDP mode");
        return E_FAIL;
    }
    // Outside UDP listen mode the connected socket's own peer is the destination.
    IIOPeerIP* to = UdpListen() ? destination.Get() : nullptr;
    HRESULT hr = PlainSend(packet, to, raw);
    if (SUCCEEDED(hr) && !raw && m_protocol == IO_PROTOCOL_TCP && !destination && m_suppressEcho)
        hr = SuppressEcho(packet);
    return hr;
}

HRESULT CSocket::PlainSend(const CBuffer& packet, IIOPeerIP* destination, bool raw)
{
    if (packet.Data() == nullptr)
        return E_POINTER;
    if (packet.Length() == 0)
        return E_FAIL;
    if (m_dataSocket == INVALID_SOCKET_HANDLE)
        return IO_E_NOT_CONNECTED;
    if (destination && destination->TestFlags(PEER_FLAG_BROADCAST) && !m_broadcastEnabled)
    {
        Log(&m_api, LOG_SOCKET, "Broadcast enabled for UDP socket");
        if (!NetSetBroadcast(m_dataSocket))
            return SocketError("setsockopt(SO_BROADCAST)");
        m_broadcastEnabled = true;
    }
    const char* name = destination ? "sendto" : "send";
    const uint8_t* data = packet.Data();
    uint32_t left = packet.Length();
    uint32_t wouldBlocks = 0;
    const uint64_t started = GetMicroseconds();
    HRESULT hr = S_OK;
    while (left > 0)
    {
        const long n = destination ? NetSendTo(m_dataSocket, data, left, destination->GetRawAddress())
                                   : NetSend(m_dataSocket, data, left);
        if (n > 0)
        {
            data += n;
            left -= uint32_t(n);
            RecordIo();
            continue;
        }
        if (n < 0 && NetClassifyError(NetLastError()) == ENetError::WouldBlock)
        {
            ++wouldBlocks;
            if (ElapsedMs(started) > m_timeoutMs)
            {
                hr = SocketError(name);
                break;
            }
            // Wakes as soon as the socket can take bytes again, at the latest after the retry period.
            SocketWait sockets[1];
            sockets[0].fd = m_dataSocket;
            sockets[0].events = POLL_WRITABLE;
            WaitForAny({}, sockets, WOULDBLOCK_RETRY_MS);
            continue;
        }
        hr = SocketError(name);
        break;
    }
    if (wouldBlocks > 0)
        Log(&m_api, LOG_SOCKET, "%s(%u) return WOULDBLOCK %u times (waited %u msec)", name, left, wouldBlocks,
            ElapsedMs(started));
    const uint32_t sent = packet.Length() - left;
    if (sent > 0 && !raw)
    {
        if (m_spy)
            m_spy->OnBytesSent(sent);
        if (destination)
            Log(&m_api, LOG_TX, " (%s)", PeerText(destination->GetAddressRecord(), true).c_str());
        LogDump(&m_api, LOG_TX, packet.Data(), sent);
    }
    return hr;
}

HRESULT CSocket::SuppressEcho(const CBuffer& packet)
{
    const uint32_t count = packet.Length();
    for (uint32_t i = 0; i < count; ++i)
    {
        uint8_t echo = 0;
        const HRESULT hr = ReadExact(&echo, 1, true);
        if (FAILED(hr))
        {
            Log(&m_api, LOG_RX, "%s", "");
            Log(&m_api, LOG_RX, "ERROR receiving echo for byte %u of %u (receive failed, hr = %08X)", i + 1,
                count, uint32_t(hr));
            return hr;
        }
        if (echo != packet.Data()[i])
        {
            Log(&m_api, LOG_RX, "ERROR receiving echo for byte %u of %u (received '%02X' instead of '%02X')",
                i + 1, count, echo, packet.Data()[i]);
            return E_FAIL;
        }
    }
    return S_OK;
}

void CSocket::RecordIo()
{
    m_lastIoTime = GetMicroseconds();
    m_lastIoValid = true;
}

HRESULT CSocket::StoreReceived(const uint8_t* bytes, uint32_t count)
{
    if (m_spy)
        m_spy->OnRawData(bytes, count);
    return m_receiveBuffer.Push(bytes, count);
}

HRESULT CSocket::QueueDatagram(const uint8_t* bytes, uint32_t count, const SSocketAddress& from)
{
    try
    {
        CBuffer datagram;
        HRESULT hr = datagram.Append(bytes, count);
        if (FAILED(hr))
            return hr;
        TIOPtr<IIOPeerIP> source = MakePeer(from);
        if (!source)
            return E_OUTOFMEMORY;
        datagram.SetPeer(source.Get());
        m_datagramQueue.emplace_back();
        m_datagramQueue.back().Swap(datagram);
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CSocket::ReceiveAvailable(uint32_t maxBytes)
{
    CLockGuard guard(m_lock);
    if (m_protocol == IO_PROTOCOL_TCP && TlsOn())
        return m_tls->ReceiveAvailable(*this, maxBytes);
    if (m_dataSocket == INVALID_SOCKET_HANDLE)
        return IO_E_NOT_CONNECTED;
    uint32_t readSize = std::min(maxBytes, STAGING_SIZE);
    if (m_protocol == IO_PROTOCOL_UDP)
        readSize = std::max(readSize, MIN_DATAGRAM_READ);
    const bool udpListen = UdpListen();
    const char* name = udpListen ? "recvfrom" : "recv";
    std::array<uint8_t, STAGING_SIZE> staging;
    uint32_t stored = 0;
    HRESULT hr = S_OK;
    while (stored < readSize)
    {
        SSocketAddress from;
        bool truncated = false;
        long n = udpListen ? NetRecvFrom(m_dataSocket, staging.data(), readSize, &from, &truncated)
                           : NetRecv(m_dataSocket, staging.data(), readSize, &truncated);
        if (n < 0)
        {
            const ENetError kind = NetClassifyError(NetLastError());
            if (kind == ENetError::WouldBlock)
                break;
            if (kind == ENetError::ConnectionReset && udpListen)
            {
                Log(&m_api, LOG_SOCKET, "warning: recvfrom returned error WSAECONNRESET (ignoring error)");
                break;
            }
            if (kind != ENetError::MessageTooLong)
            {
                hr = SocketError(name);
                break;
            }
            truncated = true;
            n = long(readSize);
        }
        if (truncated)
        {
            Log(&m_api, LOG_SOCKET, "warning: recv returned WSAEMSGSIZE");
            n = long(readSize);
        }
        if (n == 0)
        {
            if (udpListen)
                hr = QueueDatagram(nullptr, 0, from);
            else if (m_protocol == IO_PROTOCOL_TCP && stored == 0)
            {
                Log(&m_api, LOG_SOCKET, "socket gracefully closed by the remote partner");
                Close();
            }
            // With bytes already stored by this call the close is left to the next receive, so
            // that the bytes that came before the end of the stream stay readable.
            break;
        }
        if (udpListen && !m_ipFilter.Admits(from))
        {
            Log(&m_api, LOG_SOCKET, "blocked incoming packet from %s (discarding %u bytes)!",
                FormatAddress(from).c_str(), uint32_t(n));
            continue;
        }
        if (m_spy)
            m_spy->OnRawData(staging.data(), uint32_t(n));
        hr = udpListen ? QueueDatagram(staging.data(), uint32_t(n), from)
                       : m_receiveBuffer.Push(staging.data(), uint32_t(n));
        if (FAILED(hr))
            break;
        stored += uint32_t(n);
    }
    RecordIo();
    return hr;
}

HRESULT CSocket::ReadExact(uint8_t* buffer, uint32_t length, bool echoMode)
{
    CLockGuard guard(m_lock);
    if (length == 0)
        return E_FAIL;
    if (buffer == nullptr)
        return E_POINTER;
    if (m_dataSocket == INVALID_SOCKET_HANDLE)
        return IO_E_NOT_CONNECTED;
    if (UdpListen())
        return E_UNEXPECTED;
    uint32_t taken = m_receiveBuffer.Pop(buffer, length);
    uint32_t progressTick = GetTickCount32();
    while (taken < length && m_dataSocket != INVALID_SOCKET_HANDLE)
    {
        ReceiveAvailable(length - taken);
        const uint32_t more = m_receiveBuffer.Pop(buffer + taken, length - taken);
        taken += more;
        if (more > 0)
            progressTick = GetTickCount32();
        else if (TickElapsed(progressTick, GetTickCount32()) > m_timeoutMs)
            break;
        if (taken == length || m_dataSocket == INVALID_SOCKET_HANDLE)
            break;
        if (WaitSlice(WAIT_SLICE_MS))
            Close();
    }
    if (taken > 0 && !echoMode)
    {
        if (m_spy)
            m_spy->OnBytesReceived(taken);
        LogDump(&m_api, LOG_RX, buffer, taken);
    }
    if (taken < length)
    {
        Log(&m_api, LOG_RX, "%s", "");
        Log(&m_api, LOG_RX, "%s", echoMode ? " TIMEOUT supressing echo" : " TIMEOUT");
        return IO_E_READ_TIMEOUT;
    }
    return S_OK;
}

HRESULT CSocket::WaitDatagram(CBuffer& buffer)
{
    CLockGuard guard(m_lock);
    buffer.Clear();
    buffer.SetPeer(nullptr);
    if (!UdpListen())
        return E_UNEXPECTED;
    const uint32_t started = GetTickCount32();
    while (m_datagramQueue.empty())
    {
        if (m_dataSocket == INVALID_SOCKET_HANDLE)
            return IO_E_NOT_CONNECTED;
        if (TickElapsed(started, GetTickCount32()) > m_timeoutMs)
        {
            Log(&m_api, LOG_RX, " TIMEOUT");
            return IO_E_READ_TIMEOUT;
        }
        ReceiveAvailable(MIN_DATAGRAM_READ);
        if (m_datagramQueue.empty() && WaitSlice(WAIT_SLICE_MS))
            Close();
    }
    buffer.Swap(m_datagramQueue.front());
    m_datagramQueue.pop_front();
    if (m_spy)
        m_spy->OnBytesReceived(buffer.Length());
    Log(&m_api, LOG_RX, "%s", "");
    if (buffer.Peer())
        Log(&m_api, LOG_RX, " (%s)", PeerText(buffer.Peer(), true).c_str());
    LogDump(&m_api, LOG_RX, buffer.Data(), buffer.Length());
    return S_OK;
}

bool CSocket::DataReady()
{
    CLockGuard guard(m_lock);
    if (m_dataSocket == INVALID_SOCKET_HANDLE)
        return false;
    if (UdpListen() && !m_datagramQueue.empty())
        return true;
    // Bytes already buffered (left over from an earlier read) are data even when the
    // socket itself has nothing more.
    if (!m_receiveBuffer.IsEmpty())
        return true;
    const int readable = NetPollReadable(m_dataSocket);
    if (readable < 0)
    {
        SocketError("select");
        return false;
    }
    return readable > 0;
}

void CSocket::Close()
{
    CLockGuard guard(m_lock);
    m_peerCache = nullptr;
    if (m_dataSocket != INVALID_SOCKET_HANDLE)
    {
        Log(&m_api, LOG_SOCKET, "socket closed");
        if (TlsOn())
            m_tls->Disconnect(*this);
        NetClose(m_dataSocket);
        m_dataSocket = INVALID_SOCKET_HANDLE;
    }
    m_dataRegistered = false;
    uint64_t discarded = m_receiveBuffer.Discard();
    for (const CBuffer& datagram : m_datagramQueue)
        discarded += datagram.Length();
    m_datagramQueue.clear();
    if (discarded != 0)
        Log(&m_api, LOG_SOCKET, "Discarded %u received bytes", uint32_t(discarded));
    m_broadcastEnabled = false;
    m_listenMode = false;
    m_channel = 0;
}

void CSocket::CloseListen()
{
    CLockGuard guard(m_lock);
    if (m_listenSocket != INVALID_SOCKET_HANDLE)
    {
        Log(&m_api, LOG_SOCKET, "listen socket closed");
        NetClose(m_listenSocket);
        m_listenSocket = INVALID_SOCKET_HANDLE;
        if (TlsOn() && m_dataSocket == INVALID_SOCKET_HANDLE)
            m_tls->Disconnect(*this);
    }
    m_listenMode = false;
}

void CSocket::Terminate()
{
    CLockGuard guard(m_lock);
    CloseListen();
    m_protocol = IO_PROTOCOL_NONE;
}

bool CSocket::IsOpen()
{
    CLockGuard guard(m_lock);
    return m_dataSocket != INVALID_SOCKET_HANDLE;
}

bool CSocket::IsListening()
{
    CLockGuard guard(m_lock);
    return m_listenSocket != INVALID_SOCKET_HANDLE;
}

bool CSocket::IsListenMode()
{
    CLockGuard guard(m_lock);
    return m_listenMode;
}

std::string CSocket::LastError()
{
    CLockGuard guard(m_lock);
    return m_lastError;
}

size_t CSocket::GetReadinessWaits(SocketWait* waits, size_t capacity)
{
    CLockGuard guard(m_lock);
    size_t n = 0;
    if (m_dataRegistered && m_dataSocket != INVALID_SOCKET_HANDLE && n < capacity)
        waits[n++] = SocketWait{m_dataSocket, POLL_READABLE, 0};
    if (m_listenSocket != INVALID_SOCKET_HANDLE && n < capacity)
        waits[n++] = SocketWait{m_listenSocket, POLL_READABLE, 0};
    return n;
}

HRESULT CSocket::ListLocalAddresses(bool ipv6, std::vector<std::string>& addresses)
{
    std::vector<SSocketAddress> found;
    try
    {
        if (!NetLocalInterfaceAddresses(ipv6, &found))
            return E_FAIL;
        size_t appended = 0;
        for (const SSocketAddress& address : found)
        {
            AddressRecord record;
            NetDecodeAddress(address, &record);
            addresses.push_back(PeerText(record, false));
            ++appended;
        }
        return appended > 0 ? S_OK : E_FAIL;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}
