// The TCP/IP and UDP/IP medium of the physical layer: one CSocket, a main address and up to
// three backups with switch-over on failure and manual selection (IO.Ethernet.IPSelect,
// IO.Ethernet.IPSwitch), ping before each attempt, listen mode (an incoming TCP connection or
// UDP datagrams instead of connecting), the input stream the host reads packets from, and
// the rerouting of every connection to a simulator named in the machine-wide settings
// (SimulatorSettings.h).
#pragma once
#include "platform/Lock.h"
#include "transport/PhysicalLayer.h"
#include "transport/Socket.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>

class CPhysicalLayer_Ethernet : public CPhysicalLayer, public IIOSocket
{
public:
    static constexpr uint32_t ADDRESS_COUNT = 4;

    struct EthernetAddress
    {
        uint32_t enabled = 0; // the main address is always enabled
        const char* name = "";
        std::string host;
        uint16_t port = 0;
        uint32_t localPortEnable = 0;
        uint16_t localPort = 0;
    };

    // Reads the configuration and prepares the socket; the thread starts with Start.
    static TIOPtr<CPhysicalLayer_Ethernet> Create(CIOGlobals* globals, IIOHost* host,
                                                  const CConfigData& config);

    // IIOUnknown of all bases.
    HRESULT QueryInterface(const IOGUID& iid, void** out) override
    {
        return CPhysicalLayer::QueryInterface(iid, out);
    }
    uint32_t AddRef() override { return CPhysicalLayer::AddRef(); }
    uint32_t Release() override { return CPhysicalLayer::Release(); }

    // IIOInterface
    HRESULT ReadParameter(uint32_t group, uint32_t item, TagRequest* request, HVALUE value) override;
    HRESULT WriteParameter(uint32_t group, uint32_t item, TagRequest* request, HVALUE value) override;
    HRESULT ForceDisconnect(bool allowSwitch) override;

    // IIOInputStream over the socket.
    HRESULT sgetc(uint8_t* byte) override;
    HRESULT sgets(uint8_t* destination, uint32_t count) override;

    // IIOSocket
    HRESULT GetLocalAddress(AddressRecord* record) override;
    HRESULT GetPeerAddress(AddressRecord* record) override;
    uint32_t GetChannel() override;
    HRESULT GetPeer(IIOPeerIP** peer) override;

    uint32_t ActiveIndex();
    EthernetAddress Address(uint32_t index);
    bool IsUdp() const { return m_udp; }

    // The two simulator framing packets. Snapshot: "SYMXX:", 32-bit little-endian length,
    // the serialised configuration. Length: "SYMTX:" and the packet's length.
    static HRESULT MakeSnapshotPreamble(const uint8_t* snapshot, uint32_t size, CBuffer& out);
    static HRESULT MakeLengthPreamble(uint32_t packetLength, CBuffer& out);

protected:
    CPhysicalLayer_Ethernet(CIOGlobals* globals, IIOHost* host, const CConfigData& config);
    ~CPhysicalLayer_Ethernet() override;

    void* QueryExtraInterface(const IOGUID& iid) override;

    bool DoInitialize() override;
    bool DoConnect() override;
    bool DoSend(CBuffer& packet) override;
    bool CheckConnectionLost(bool& allowSwitch) override;
    bool DoAccept() override;
    bool DataAvailable() override;
    void DoDisconnect() override;
    void DoTerminate() override;
    void Abort() override;
    bool IsPassive() override { return m_acceptConnection; }
    bool SwitchToNextAddress() override;
    HRESULT DoReceive(CBuffer& packet, CBuffer& requestPacket) override;
    size_t GetReadinessWaits(SocketWait* waits, size_t capacity) override;

    // Ping (when configured) and connect to `address`; the socket's result.
    virtual HRESULT PingAndConnect(const EthernetAddress& address);

private:
    void ReadConfiguration(const CConfigData& config);
    // The next enabled index after `from`, cyclically; `from` itself when no other is enabled.
    uint32_t NextEnabled(uint32_t from) const;
    void ApplySimulation(EthernetAddress& address);
    bool SendPreambles(const CBuffer& packet);
    HRESULT ReceiveDatagram(CBuffer& packet, CBuffer& requestPacket);
    HRESULT ManualSelect(uint32_t item, const TagRequest* request, HVALUE value);
    std::unique_ptr<ISocketTls> MakeTls(const CConfigData& config);

    CSocket m_socket;
    // Guards m_addresses and m_activeIndex; taken before the socket's lock.
    CRecursiveLock m_addressLock;
    EthernetAddress m_addresses[ADDRESS_COUNT];
    uint32_t m_activeIndex = 0;
    // 0 none, 1 requested without switch-over, 2 with switch-over allowed.
    std::atomic<uint32_t> m_forcedDisconnect{0};

    bool m_udp = false;
    bool m_useIPv6 = false;
    bool m_useSsl = false;
    std::unique_ptr<ISocketTls> m_tls; // built with the layer, handed to the socket at initialisation
    bool m_pingEnable = false;
    uint32_t m_pingTimeoutMs = 0;
    uint32_t m_pingTries = 0;
    bool m_acceptConnection = false;
    uint16_t m_listenPort = 0;
    bool m_shareListenPort = false;
    bool m_stopListenAfterAccept = false;
    std::string m_listenIP;
    std::string m_ipFilter;

    // Simulation: thread-only state.
    bool m_simulationActive = false;
    HVALUE m_snapshot = 0; // the configuration store as one value, or 0
    std::set<std::string> m_simulationPeers;
};
