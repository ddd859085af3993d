// A minimal I/O host that records what the physical layer tells it, a configuration
// builder and a loopback TCP server the tests start, stop and restart.
#pragma once
#include "SocketTestSupport.h"
#include "core/ConfigData.h"
#include "transport/PhysicalLayer.h"
#include "transport/PhysicalLayerEthernet.h"

#include <atomic>
#include <cstdio>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

class CTestHost final : public TIOUnknown<IIOHost>
{
public:
    struct SEvent
    {
        int32_t type;
        int32_t source;
        int32_t number;
        std::string text;
    };

    static TIOPtr<CTestHost> Create() { return TIOPtr<CTestHost>::Adopt(new CTestHost()); }

    // Whether the pump hands incoming bytes to this host.
    std::atomic<bool> receiveUnsolicited{true};
    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};

    std::vector<SEvent> Events()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_events;
    }
    // Numbers of the framework's events (source -1), in order.
    std::vector<int32_t> FrameworkEvents()
    {
        std::vector<int32_t> numbers;
        for (const SEvent& e : Events())
            if (e.source == PL_EVENT_SOURCE_FRAMEWORK)
                numbers.push_back(e.number);
        return numbers;
    }
    size_t CountEvents(int32_t source, int32_t number)
    {
        size_t n = 0;
        for (const SEvent& e : Events())
            n += (e.source == source && e.number == number) ? 1 : 0;
        return n;
    }
    bool WaitEvent(int32_t number, size_t occurrences = 1)
    {
        return WaitUntil([&] { return CountEvents(PL_EVENT_SOURCE_FRAMEWORK, number) >= occurrences; });
    }
    bool HasText(const std::string& fragment)
    {
        for (const SEvent& e : Events())
            if (e.text.find(fragment) != std::string::npos)
                return true;
        return false;
    }
    std::string Received()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_received;
    }

    HRESULT OnInterfaceConnected() override
    {
        ++connects;
        return S_OK;
    }
    HRESULT OnInterfaceDisconnected() override
    {
        ++disconnects;
        return S_OK;
    }
    HRESULT CanReceiveUnsolicited() override { return receiveUnsolicited.load() ? S_OK : E_FAIL; }
    void OnBeforeSend(CBuffer*) override {}
    HRESULT OnPacketReceived(CBuffer*) override { return S_OK; }
    HRESULT OnUnsolicitedPacket(CBuffer*) override { return S_OK; }
    // One byte is one packet.
    HRESULT OnDataAvailable(IIOInputStream* stream, CBuffer* packet, CBuffer*) override
    {
        uint8_t byte = 0;
        const HRESULT hr = stream->sgetc(&byte);
        if (FAILED(hr))
            return hr;
        packet->Append(&byte, 1);
        std::lock_guard<std::mutex> guard(m_lock);
        m_received.push_back(static_cast<char>(byte));
        return S_OK;
    }
    HRESULT PostEvent(int32_t type, int32_t source, int32_t number, const char* format, va_list args) override
    {
        char text[512];
        std::vsnprintf(text, sizeof(text), format, args);
        std::lock_guard<std::mutex> guard(m_lock);
        m_events.push_back(SEvent{type, source, number, text});
        return S_OK;
    }
    void OnPacketSent(CBuffer*) override {}
    HRESULT ReadPacket(CBuffer*, CBuffer*) override { return E_NOTIMPL; }
    HRESULT ReadValue(TagRequest*, HVALUE) override { return E_NOTIMPL; }
    HRESULT WriteValue(TagRequest*, HVALUE) override { return E_NOTIMPL; }
    HRESULT ReadBlock(TagRequest*, HVALUE) override { return E_NOTIMPL; }
    HRESULT WriteBlock(TagRequest*, HVALUE) override { return E_NOTIMPL; }
    HRESULT ReadBlockElement(TagRequest*, HVALUE) override { return E_NOTIMPL; }
    HRESULT WriteBlockElement(TagRequest*, HVALUE) override { return E_NOTIMPL; }
    HRESULT MaskWriteValue(TagRequest*, HVALUE) override { return E_NOTIMPL; }
    HRESULT MaskWriteBlockElement(TagRequest*, HVALUE) override { return E_NOTIMPL; }
    HRESULT MaskWrite(TagRequest*, HVALUE) override { return E_NOTIMPL; }
    HRESULT ReadTag(TagRequest*, HVALUE) override { return E_NOTIMPL; }
    HRESULT WriteTag(TagRequest*, HVALUE) override { return E_NOTIMPL; }
    void OnBeforeInterfaceStart() override {}
    void OnInterfaceStarted(HRESULT) override {}
    void OnInterfaceStopped() override {}
    void BeforeInterfaceStop() override {}
    void OnParameterChanged(const char*) override {}
    HRESULT BeforeIO(TagRequest*, HVALUE) override { return S_OK; }
    HRESULT GetStatistic(uint32_t, HVALUE) override { return E_NOTIMPL; }
    void Stop() override {}
    HRESULT WorkOnline(TagRequest*) override { return E_NOTIMPL; }
    bool IsConnected() override { return false; }
    void WaitInterfaceReady() override {}

private:
    CTestHost() = default;
    ~CTestHost() override = default;

    std::mutex m_lock;
    std::vector<SEvent> m_events;
    std::string m_received;
};

// A loopback TCP listener on a fixed port that can be closed and opened again.
class CTcpServer
{
public:
    explicit CTcpServer(uint16_t port = 0) { EXPECT_TRUE(Open(port)); }

    bool Open(uint16_t port)
    {
        m_listener = CFd(::socket(AF_INET, SOCK_STREAM, 0));
        const int on = 1;
        ::setsockopt(m_listener.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        socklen_t len;
        sockaddr_storage address = LoopbackAddress(false, port, &len);
        if (::bind(m_listener.Get(), reinterpret_cast<sockaddr*>(&address), len) != 0 ||
            ::listen(m_listener.Get(), 8) != 0 ||
            ::getsockname(m_listener.Get(), reinterpret_cast<sockaddr*>(&address), &len) != 0)
            return false;
        m_port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        return true;
    }
    void Close() { m_listener.Reset(); }
    uint16_t Port() const { return m_port; }
    // The next caller, or an invalid descriptor when none came within the test wait.
    CFd Accept() { return AcceptOne(m_listener.Get()); }
    // True when a caller is waiting within `ms`.
    bool HasCaller(int ms)
    {
        pollfd p{m_listener.Get(), POLLIN, 0};
        return ::poll(&p, 1, ms) == 1;
    }

private:
    CFd m_listener;
    uint16_t m_port = 0;
};

// A configuration store with the switches the tests set.
class CTestConfig
{
public:
    explicit CTestConfig(CIOGlobals* globals) : m_config(globals) {}
    CTestConfig& Number(const char* name, uint32_t value)
    {
        EXPECT_TRUE(m_config.SetU32(name, value));
        return *this;
    }
    CTestConfig& Text(const char* name, const char* value)
    {
        EXPECT_TRUE(m_config.SetText(name, value));
        return *this;
    }
    CTestConfig& Main(uint16_t port)
    {
        return Text("IO.Ethernet.MainIP", "127.0.0.1").Number("IO.Ethernet.MainPort", port);
    }
    CTestConfig& Backup(uint16_t port)
    {
        return Number("IO.Ethernet.BackupEnable", 1)
            .Text("IO.Ethernet.BackupIP", "127.0.0.1")
            .Number("IO.Ethernet.BackupPort", port);
    }
    const CConfigData& Store() const { return m_config; }

private:
    CConfigData m_config;
};

// A started Ethernet layer over a recording host, stopped and released at the end.
class CLayerRun
{
public:
    CLayerRun(CIOGlobals* globals, const CTestConfig& config) : host(CTestHost::Create())
    {
        TIOPtr<CPhysicalLayer> made;
        EXPECT_EQ(CPhysicalLayer::Create("Ethernet", globals, host.Get(), config.Store(), &made), S_OK);
        layer = TIOPtr<CPhysicalLayer_Ethernet>(static_cast<CPhysicalLayer_Ethernet*>(made.Get()));
    }
    ~CLayerRun()
    {
        if (layer)
            layer->Stop();
    }
    bool Start() { return layer->Start(); }
    uint32_t State() const { return layer->State(); }
    bool WaitState(uint32_t state)
    {
        return WaitUntil([&] { return layer->State() == state; });
    }

    TIOPtr<CTestHost> host;
    TIOPtr<CPhysicalLayer_Ethernet> layer;
};
