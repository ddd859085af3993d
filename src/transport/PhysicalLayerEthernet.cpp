#include "transport/PhysicalLayerEthernet.h"

#include "core/ConfigData.h"
#include "core/ValueText.h"
#include "platform/SimulatorSettings.h"
#include "platform/Text.h"
#include "transport/PeerIP.h"
#include "transport/Pinger.h"

#include <new>
#include <vector>

namespace
{
struct SAddressKeys
{
    const char* name;
    const char* enable; // null: always enabled
    const char* host;
    const char* port;
    const char* localPortEnable;
    const char* localPort;
};

constexpr SAddressKeys kAddressKeys[CPhysicalLayer_Ethernet::ADDRESS_COUNT] = {
    {"main", nullptr, "IO.Ethernet.MainIP", "IO.Ethernet.MainPort", "IO.Ethernet.MainLocalPortEnable",
     "IO.Ethernet.MainLocalPort"},
    {"backup", "IO.Ethernet.BackupEnable", "IO.Ethernet.BackupIP", "IO.Ethernet.BackupPort",
     "IO.Ethernet.BackupLocalPortEnable", "IO.Ethernet.BackupLocalPort"},
    {"backup2", "IO.Ethernet.BackupEnable2", "IO.Ethernet.BackupIP2", "IO.Ethernet.BackupPort2",
     "IO.Ethernet.BackupLocalPortEnable2", "IO.Ethernet.BackupLocalPort2"},
    {"backup3", "IO.Ethernet.BackupEnable3", "IO.Ethernet.BackupIP3", "IO.Ethernet.BackupPort3",
     "IO.Ethernet.BackupLocalPortEnable3", "IO.Ethernet.BackupLocalPort3"},
};

constexpr uint8_t kSnapshotMagic[6] = {0x53, 0x59, 0x4D, 0x58, 0x58, 0x3A}; // "SYMXX:"
constexpr uint8_t kLengthMagic[6] = {0x53, 0x59, 0x4D, 0x54, 0x58, 0x3A};   // "SYMTX:"

HRESULT MakePreamble(const uint8_t (&magic)[6], uint32_t number, const uint8_t* tail, uint32_t tailSize,
                     CBuffer& out)
{
    out.Clear();
    const uint8_t length[4] = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                               static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
    HRESULT hr = out.Append(magic, sizeof(magic));
    if (SUCCEEDED(hr))
        hr = out.Append(length, sizeof(length));
    if (SUCCEEDED(hr) && tailSize > 0)
        hr = out.Append(tail, tailSize);
    return FAILED(hr) || out.HasError() ? E_OUTOFMEMORY : S_OK;
}

// A written value as an integer, by the value library's conversion rules.
bool ValueAsInteger(HVALUE value, int32_t& number)
{
    HVALUE copy = hvDuplicate(value);
    if (copy == 0)
        return false;
    const bool ok = hvChangeType(copy, HV_I32) && hvGetI32(copy, &number);
    hvRelease(copy);
    return ok;
}

bool IsSingleValue(const TagRequest* request)
{
    return request == nullptr || request->size <= 1;
}
} // namespace

TIOPtr<CPhysicalLayer_Ethernet> CPhysicalLayer_Ethernet::Create(CIOGlobals* globals, IIOHost* host,
                                                                const CConfigData& config)
{
    try
    {
        return TIOPtr<CPhysicalLayer_Ethernet>::Adopt(new CPhysicalLayer_Ethernet(globals, host, config));
    }
    catch (const std::bad_alloc&)
    {
        return nullptr;
    }
}

CPhysicalLayer_Ethernet::CPhysicalLayer_Ethernet(CIOGlobals* globals, IIOHost* host,
                                                 const CConfigData& config)
    : CPhysicalLayer(globals, host, config), m_socket(globals)
{
    ReadConfiguration(config);
    m_snapshot = hvCreate();
    if (m_snapshot != 0 && !config.Save(m_snapshot))
    {
        hvRelease(m_snapshot);
        m_snapshot = 0;
    }
}

CPhysicalLayer_Ethernet::~CPhysicalLayer_Ethernet()
{
    // The thread runs this object's steps: it must end before any member goes.
    Stop();
    if (m_snapshot != 0)
        hvRelease(m_snapshot);
}

void CPhysicalLayer_Ethernet::ReadConfiguration(const CConfigData& config)
{
    for (uint32_t i = 0; i < ADDRESS_COUNT; ++i)
    {
        const SAddressKeys& keys = kAddressKeys[i];
        EthernetAddress& address = m_addresses[i];
        address.name = keys.name;
        address.enabled = keys.enable ? ConfigNumber(config, keys.enable, 0) : 1;
        address.host = ConfigText(config, keys.host);
        address.port = static_cast<uint16_t>(ConfigNumber(config, keys.port, 0));
        address.localPortEnable = ConfigNumber(config, keys.localPortEnable, 0);
        address.localPort = static_cast<uint16_t>(ConfigNumber(config, keys.localPort, 0));
    }
    m_pingEnable = ConfigNumber(config, "IO.Ethernet.PingEnable", 0) != 0;
    m_pingTimeoutMs = ConfigNumber(config, "IO.Ethernet.PingTimeoutMs", 0);
    m_pingTries = ConfigNumber(config, "IO.Ethernet.PingTries", 0);
    m_acceptConnection = ConfigNumber(config, "IO.Ethernet.AcceptConnection", 0) != 0;
    m_listenPort = static_cast<uint16_t>(ConfigNumber(config, "IO.Ethernet.ListenPort", 0));
    m_shareListenPort = ConfigNumber(config, "IO.Ethernet.ShareListenPort", 0) != 0;
    m_stopListenAfterAccept =
        m_shareListenPort && ConfigNumber(config, "IO.Ethernet.StopListenAfterAccept", 0) != 0;
    m_listenIP = ConfigText(config, "IO.Ethernet.ListenIP");
    m_ipFilter = ConfigText(config, "IO.Ethernet.IPFilter");
    m_udp = EqualsNoCase(ConfigText(config, "IO.Ethernet.Transport"), "UDP");
    m_useIPv6 = ConfigNumber(config, "IO.Ethernet.UseIPv6", 0) != 0;
    m_useSsl = ConfigNumber(config, "IO.Ethernet.UseSSL", 0) != 0;
    if (m_useSsl)
        m_tls = MakeTls(config);

    m_socket.SetSpy(this);
    m_socket.SetInterframeDelay(ConfigNumber(config, "IO.Ethernet.InterframeDelayMs", 0));
    if (ConfigNumber(config, "IO.Ethernet.SupressEcho", 0) != 0)
    {
        Log(this, LOG_SOCKET, "TCP/IP echo supression turned %s",
            m_udp ? "ON (echo supression not supported in UDP/IP)" : "ON");
        m_socket.SetSuppressEcho(!m_udp);
    }
}

std::unique_ptr<ISocketTls> CPhysicalLayer_Ethernet::MakeTls(const CConfigData&)
{
    // The one place that builds the TLS session from the IO.Ethernet.SSL* settings; no TLS
    // session is linked into this build yet, so a layer configured for TLS refuses to start.
    return nullptr;
}

void* CPhysicalLayer_Ethernet::QueryExtraInterface(const IOGUID& iid)
{
    if (iid == IIOSocket::IID)
        return static_cast<IIOSocket*>(this);
    return nullptr;
}

// ---- medium steps ----

bool CPhysicalLayer_Ethernet::DoInitialize()
{
    if (m_useSsl && !m_tls)
    {
        Log(this, LOG_SOCKET, "Cannot use SSL/TLS (IO.Ethernet.UseSSL): no TLS support in this build");
        return false;
    }
    if (FAILED(m_socket.Initialize(Settings().timeoutMs, m_udp ? IO_PROTOCOL_UDP : IO_PROTOCOL_TCP,
                                   std::move(m_tls), m_useIPv6)))
        return false;
    if (!m_acceptConnection)
        return true;
    return SUCCEEDED(m_socket.Listen(m_listenIP.empty() ? nullptr : m_listenIP.c_str(), m_listenPort,
                                     m_shareListenPort, m_ipFilter.c_str()));
}

HRESULT CPhysicalLayer_Ethernet::PingAndConnect(const EthernetAddress& address)
{
    if (m_pingEnable)
    {
        CPinger pinger(Globals());
        const HRESULT hr = pinger.Ping(address.host.c_str(), m_pingTimeoutMs, m_pingTries);
        if (FAILED(hr))
            return hr;
    }
    return m_socket.Connect(address.host.c_str(), address.port,
                            address.localPortEnable ? address.localPort : 0,
                            m_listenIP.empty() ? nullptr : m_listenIP.c_str(), m_activeIndex);
}

bool CPhysicalLayer_Ethernet::DoConnect()
{
    CLockGuard guard(m_addressLock);
    EthernetAddress address = m_addresses[m_activeIndex];
    ApplySimulation(address);
    m_forcedDisconnect = 0;
    if (SUCCEEDED(PingAndConnect(address)))
        return true;
    PostEvent(PL_EVENT_ERROR, PL_EVENT_SOURCE_ETHERNET, 0, "Error connecting to %s on port %u: %s",
              address.host.c_str(), address.port, m_socket.LastError().c_str());
    const uint32_t start = m_activeIndex;
    for (;;)
    {
        m_activeIndex = NextEnabled(m_activeIndex);
        if (m_activeIndex == start || !IsRunning())
        {
            m_activeIndex = start;
            return false;
        }
        Log(this, LOG_SOCKET, "trying connection with alternate IP");
        address = m_addresses[m_activeIndex];
        ApplySimulation(address);
        if (SUCCEEDED(PingAndConnect(address)))
        {
            Log(this, LOG_SOCKET, "Main IP switched to %s (port %u)", address.host.c_str(), address.port);
            return true;
        }
        PostEvent(PL_EVENT_ERROR, PL_EVENT_SOURCE_ETHERNET, 0,
                  "Error connecting to %s on port %u (backup IP): %s", address.host.c_str(), address.port,
                  m_socket.LastError().c_str());
    }
}

uint32_t CPhysicalLayer_Ethernet::NextEnabled(uint32_t from) const
{
    for (uint32_t step = 1; step < ADDRESS_COUNT; ++step)
    {
        const uint32_t index = (from + step) % ADDRESS_COUNT;
        if (index == 0 || m_addresses[index].enabled != 0)
            return index;
    }
    return from;
}

void CPhysicalLayer_Ethernet::ApplySimulation(EthernetAddress& address)
{
    m_simulationActive = false;
    const SSimulatorSettings simulator = ReadSimulatorSettings();
    if (!simulator.enabled)
        return;
    const std::string configuredHost = address.host;
    const uint16_t configuredPort = address.port;
    if (simulator.hasPort)
        address.port = static_cast<uint16_t>(simulator.port);
    if (simulator.hasHost)
        address.host = simulator.host;
    Log(this, LOG_SOCKET, "Simulation ENABLED (%s:%u routed to %s:%u)", configuredHost.c_str(),
        configuredPort, address.host.c_str(), address.port);
    m_simulationActive = true;
}

bool CPhysicalLayer_Ethernet::SwitchToNextAddress()
{
    CLockGuard guard(m_addressLock);
    const uint32_t next = NextEnabled(m_activeIndex);
    if (next == m_activeIndex)
        return false;
    m_activeIndex = next;
    Log(this, LOG_SOCKET, "Automatic switchover to %s IP ('%s')!", m_addresses[next].name,
        m_addresses[next].host.c_str());
    return true;
}

HRESULT CPhysicalLayer_Ethernet::MakeSnapshotPreamble(const uint8_t* snapshot, uint32_t size, CBuffer& out)
{
    return MakePreamble(kSnapshotMagic, size, snapshot, size, out);
}

HRESULT CPhysicalLayer_Ethernet::MakeLengthPreamble(uint32_t packetLength, CBuffer& out)
{
    return MakePreamble(kLengthMagic, packetLength, nullptr, 0, out);
}

bool CPhysicalLayer_Ethernet::SendPreambles(const CBuffer& packet)
{
    const std::string peer = PeerText(packet.Peer(), true);
    if (m_snapshot != 0 && m_simulationPeers.insert(peer).second)
    {
        const uint32_t size = hvSerializeSize(m_snapshot);
        std::vector<uint8_t> bytes(size);
        CBuffer preamble;
        if (size > 0 && hvSerialize(m_snapshot, bytes.data(), size) == size &&
            SUCCEEDED(MakeSnapshotPreamble(bytes.data(), size, preamble)))
        {
            preamble.SetPeer(packet.Peer());
            m_socket.Send(preamble, true);
        }
    }
    CBuffer preamble;
    if (FAILED(MakeLengthPreamble(packet.Length(), preamble)))
        return false;
    preamble.SetPeer(packet.Peer());
    return SUCCEEDED(m_socket.Send(preamble, true));
}

bool CPhysicalLayer_Ethernet::DoSend(CBuffer& packet)
{
    m_host->OnBeforeSend(&packet);
    if (m_simulationActive && !SendPreambles(packet))
        return false;
    if (FAILED(m_socket.Send(packet, false)))
        return false;
    m_host->OnPacketSent(&packet);
    return true;
}

bool CPhysicalLayer_Ethernet::CheckConnectionLost(bool& allowSwitch)
{
    allowSwitch = true;
    if (!m_socket.IsOpen())
        return true;
    const uint32_t forced = m_forcedDisconnect.exchange(0);
    if (forced == 0)
        return false;
    allowSwitch = forced == 2;
    ClearAttempted();
    DoDisconnect();
    return true;
}

bool CPhysicalLayer_Ethernet::DoAccept()
{
    if (!m_acceptConnection)
        return false;
    if (SUCCEEDED(m_socket.Accept(m_stopListenAfterAccept)))
        return true;
    if (!m_udp)
        return false;
    Log(this, LOG_DRAVO, "Reopening listen UDP socket...");
    return SUCCEEDED(m_socket.Listen(m_listenIP.empty() ? nullptr : m_listenIP.c_str(), m_listenPort,
                                     m_shareListenPort, m_ipFilter.c_str()));
}

bool CPhysicalLayer_Ethernet::DataAvailable()
{
    return m_socket.DataReady();
}

void CPhysicalLayer_Ethernet::DoDisconnect()
{
    m_socket.Close();
    m_simulationPeers.clear();
}

void CPhysicalLayer_Ethernet::DoTerminate()
{
    m_socket.Terminate();
}

void CPhysicalLayer_Ethernet::Abort()
{
    m_socket.Abort();
}

size_t CPhysicalLayer_Ethernet::GetReadinessWaits(SocketWait* waits, size_t capacity)
{
    CLockGuard guard(m_socket.Lock());
    size_t count = m_socket.GetReadinessWaits(waits, capacity);
    if (!m_socket.IsOpen())
        return count;
    // While connected nobody accepts further callers, so a caller waiting on the listening
    // socket must not wake the wait over and over: only the data socket counts.
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i)
        if (waits[i].fd == m_socket.DataHandle())
            waits[kept++] = waits[i];
    return kept;
}

HRESULT CPhysicalLayer_Ethernet::DoReceive(CBuffer& packet, CBuffer& requestPacket)
{
    if (m_udp && m_acceptConnection)
        return ReceiveDatagram(packet, requestPacket);
    return CPhysicalLayer::DoReceive(packet, requestPacket);
}

HRESULT CPhysicalLayer_Ethernet::ReceiveDatagram(CBuffer& packet, CBuffer& requestPacket)
{
    CBuffer datagram;
    const HRESULT waited = m_socket.WaitDatagram(datagram);
    if (FAILED(waited))
        return waited;
    TIOPtr<CDatagramInputStream> stream = CDatagramInputStream::Create(datagram);
    if (!stream)
        return E_OUTOFMEMORY;
    packet.SetPeer(datagram.Peer());
    const HRESULT hr = m_host->OnDataAvailable(stream.Get(), &packet, &requestPacket);
    const uint32_t unread = stream->Datagram().Length() - stream->Position();
    if (unread > 0)
        Log(this, LOG_SOCKET, "Discarding %u trailing bytes on UDP datagram", unread);
    return hr;
}

// ---- input stream ----

HRESULT CPhysicalLayer_Ethernet::sgetc(uint8_t* byte)
{
    if (byte == nullptr)
        return E_POINTER;
    return m_socket.ReadExact(byte, 1, false);
}

HRESULT CPhysicalLayer_Ethernet::sgets(uint8_t* destination, uint32_t count)
{
    if (destination == nullptr)
        return E_POINTER;
    return m_socket.ReadExact(destination, count, false);
}

// ---- IIOSocket ----

HRESULT CPhysicalLayer_Ethernet::GetLocalAddress(AddressRecord* record)
{
    return m_socket.GetLocalAddress(record);
}

HRESULT CPhysicalLayer_Ethernet::GetPeerAddress(AddressRecord* record)
{
    return m_socket.GetPeerAddress(record);
}

uint32_t CPhysicalLayer_Ethernet::GetChannel()
{
    return ActiveIndex();
}

HRESULT CPhysicalLayer_Ethernet::GetPeer(IIOPeerIP** peer)
{
    return m_socket.GetPeer(peer);
}

uint32_t CPhysicalLayer_Ethernet::ActiveIndex()
{
    CLockGuard guard(m_addressLock);
    return m_activeIndex;
}

CPhysicalLayer_Ethernet::EthernetAddress CPhysicalLayer_Ethernet::Address(uint32_t index)
{
    CLockGuard guard(m_addressLock);
    return m_addresses[index % ADDRESS_COUNT];
}

// ---- parameters and manual control ----

HRESULT CPhysicalLayer_Ethernet::ReadParameter(uint32_t group, uint32_t item, TagRequest* request,
                                               HVALUE value)
{
    if (group == PL_GROUP_ETHERNET && item == PL_ITEM_IP_SELECT && IsSingleValue(request))
        return hvSetI32(value, static_cast<int32_t>(ActiveIndex())) ? S_OK : E_FAIL;
    return CPhysicalLayer::ReadParameter(group, item, request, value);
}

HRESULT CPhysicalLayer_Ethernet::WriteParameter(uint32_t group, uint32_t item, TagRequest* request,
                                                HVALUE value)
{
    if (group != PL_GROUP_ETHERNET)
        return E_FAIL;
    try
    {
        return ManualSelect(item, request, value);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CPhysicalLayer_Ethernet::ManualSelect(uint32_t item, const TagRequest* request, HVALUE value)
{
    CLockGuard guard(m_addressLock);
    if (!IsSingleValue(request))
    {
        Log(this, LOG_SOCKET, "Invalid tag type, only simple I/O Tags or one-element blocks are supported");
        return IO_E_INVALID_TAG_TYPE;
    }
    if (item != PL_ITEM_IP_SELECT && item != PL_ITEM_IP_SWITCH)
    {
        Log(this, LOG_SOCKET, "Unknown N4 parameter (%u), must be 0 or 1", item);
        return IO_E_INVALID_PARAMETER;
    }
    uint32_t selected;
    if (item == PL_ITEM_IP_SWITCH)
    {
        selected = NextEnabled(m_activeIndex);
        if (selected == m_activeIndex)
        {
            Log(this, LOG_SOCKET, "There are no other IPs enabled to switch to");
            return E_FAIL;
        }
    }
    else
    {
        int32_t number = 0;
        if (!ValueAsInteger(value, number))
        {
            char text[256];
            const std::string shown = hvGetTextAs(value, text, sizeof(text))
                                          ? std::string(text)
                                          : ValueText(value, VALUE_TEXT_PLAIN);
            Log(this, LOG_SOCKET, "Invalid argument, cannot convert value (%s) to an integer", shown.c_str());
            return E_INVALIDARG;
        }
        if (number < 0 || number >= static_cast<int32_t>(ADDRESS_COUNT))
        {
            Log(this, LOG_SOCKET,
                "Cannot select active IP (invalid parameter (%d), must be in the range from 0 to %u)", number,
                ADDRESS_COUNT - 1);
            return E_INVALIDARG;
        }
        selected = static_cast<uint32_t>(number);
        if (selected != 0 && m_addresses[selected].enabled == 0)
        {
            Log(this, LOG_SOCKET, "Cannot select active IP (the %s IP is not enabled)",
                m_addresses[selected].name);
            return E_FAIL;
        }
        if (selected == m_activeIndex)
        {
            Log(this, LOG_SOCKET, "No change (the %s IP is currently active)", m_addresses[selected].name);
            return S_OK;
        }
    }
    m_activeIndex = selected;
    const EthernetAddress& address = m_addresses[selected];
    Log(this, LOG_SOCKET, "Manual select %s IP ('%s:%u') as active!", address.name, address.host.c_str(),
        address.port);
    if (m_socket.IsOpen())
    {
        Log(this, LOG_SOCKET, "Forcing reconnection to apply new active IP");
        m_forcedDisconnect = 1;
    }
    return S_OK;
}

HRESULT CPhysicalLayer_Ethernet::ForceDisconnect(bool allowSwitch)
{
    if (!m_socket.IsOpen())
        return S_FALSE;
    uint32_t expected = 0;
    if (!m_forcedDisconnect.compare_exchange_strong(expected, allowSwitch ? 2u : 1u))
        return S_FALSE;
    Log(this, LOG_SOCKET, "Driver forced socket disconnection (%s)!",
        allowSwitch ? "switchover allowed" : "switchover NOT allowed");
    WakeThread();
    return S_OK;
}
