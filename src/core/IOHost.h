// The running side of a driver instance. The factory makes one (through the driver's
// CreateHost) when communication starts and destroys it when communication stops. The host
// keeps a snapshot of the configuration, owns the physical layer while online, receives the
// layer's notifications and incoming data, queues the framework events, answers the
// framework's own tags (N1 = 0xFFFF), serves the status names of drvGetStatus and
// drvSetStatus, and hands every other read and write to the numbered operations a concrete
// driver overrides (slots 3 to 34 of IIOHost).
//
// Lock order: the statistics lock before the host lock, the host lock before the snapshot's
// lock; the event and stream locks are leaves. Only the statistics lock is held while the
// layer stops (the layer's thread never takes it); no lock of the host is held while it
// calls the driver's hooks.
#pragma once
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "core/ConfigData.h"
#include "core/IOLog.h"
#include "dravo/IOInterfaces.h"
#include "dravo/IORecords.h"
#include "dravo/hvalue.h"
#include "platform/Lock.h"
#include "transport/PhysicalLayer.h"

// Event types and sources of the framework's event record (IO.DravoEvent).
enum EIOEventType : int32_t
{
    IO_EVENT_INFORMATION = 0,
    IO_EVENT_WARNING = 1,
    IO_EVENT_ERROR = 2,
};

enum EIOEventSource : int32_t
{
    IO_EVENT_SOURCE_DRIVER = 0,
    IO_EVENT_SOURCE_FRAMEWORK = -1,
    IO_EVENT_SOURCE_SERIAL = -2,
    IO_EVENT_SOURCE_MODEM = -3,
    IO_EVENT_SOURCE_ETHERNET = -4,
    IO_EVENT_SOURCE_DIALUP = -5,
};

// N4 numbers of the framework tags with N3 = 0.
enum EFrameworkTag : uint16_t
{
    FRAMEWORK_TAG_EVENT = 1,              // IO.DravoEvent
    FRAMEWORK_TAG_LAYER_STATUS = 2,       // IO.PhysicalLayerStatus
    FRAMEWORK_TAG_SET_PARAMETERS = 3,     // IO.SetConfigurationParameters
    FRAMEWORK_TAG_WORK_ONLINE = 4,        // IO.WorkOnline
    FRAMEWORK_TAG_PARAMETER_BY_NAME = 5,  // any configuration key, named by the item text
    FRAMEWORK_TAG_STATS_TOTAL_FIRST = 1000,
    FRAMEWORK_TAG_STATS_TOTAL_LAST = 1004,
    FRAMEWORK_TAG_STATS_PARTIAL_FIRST = 1100,
    FRAMEWORK_TAG_STATS_PARTIAL_LAST = 1103,
};

// Most events kept for IO.DravoEvent; older ones are dropped first.
constexpr size_t IO_EVENT_QUEUE_LIMIT = 100;

class CIOHost : public TIOUnknown<IIOHost>, public TIOApi
{
public:
    // --- Operations of the factory -------------------------------------------------------

    // Makes and starts the physical layer named by "IO.Type". `allowStartOffline` (the
    // drvStartComm path) honours "IO.StartOffline". S_OK online, S_FALSE offline by
    // configuration, a failure status otherwise (the host then stays offline).
    HRESULT GoOnline(bool allowStartOffline);
    // Stops and releases the physical layer, keeping its statistics in the totals. S_OK,
    // also when already offline. Never on the layer's own thread: the stop waits for it.
    HRESULT GoOffline();
    // One drvIO request: a framework tag or the driver's read/write operations.
    HRESULT ProcessRequest(TagRequest* request, HVALUE value);
    // drvGetStatus / drvSetStatus by name ("LOG" or "IO.Log.Enable", "LOGFILE" or
    // "IO.Log.Filename"); they change only the snapshot.
    HRESULT GetStatus(const char* name, HVALUE value);
    HRESULT SetStatus(const char* name, HVALUE value);
    // Opens, redirects or closes the log as "IO.Log.Enable" / "IO.Log.Filename" say; with
    // `dump` the configuration follows in the opened log.
    void ApplyLogSettings(bool dump);
    // "Current configuration (n parameters):" and one line per non-zero parameter.
    void DumpConfiguration();

    // The configuration snapshot taken at construction; run-time changes go here only.
    CConfigData& Config() { return m_config; }
    const CConfigData& Config() const { return m_config; }
    // The physical layer with a new reference, or null while offline.
    TIOPtr<IIOInterface> Interface();
    bool IsOnline();

    // Varargs form of PostEvent for the driver and the framework.
    HRESULT PostEventF(int32_t type, int32_t source, int32_t number, const char* format, ...) DRAVO_PRINTF(5, 6);
    size_t QueuedEventCount();

    // --- IIOHost, base behaviour (slot numbers in the interface) -------------------------
    HRESULT OnInterfaceConnected() override;
    HRESULT OnInterfaceDisconnected() override;
    HRESULT CanReceiveUnsolicited() override;
    void OnBeforeSend(CBuffer* packet) override;
    HRESULT OnPacketReceived(CBuffer* packet) override;
    HRESULT OnUnsolicitedPacket(CBuffer* packet) override;
    HRESULT OnDataAvailable(IIOInputStream* stream, CBuffer* packet, CBuffer* requestPacket) override;
    HRESULT PostEvent(int32_t type, int32_t source, int32_t number, const char* format, va_list args) override;
    void OnPacketSent(CBuffer* packet) override;
    HRESULT ReadPacket(CBuffer* packet, CBuffer* requestPacket) override = 0;
    HRESULT ReadValue(TagRequest* request, HVALUE value) override;
    HRESULT WriteValue(TagRequest* request, HVALUE value) override;
    HRESULT ReadBlock(TagRequest* request, HVALUE value) override;
    HRESULT WriteBlock(TagRequest* request, HVALUE value) override;
    HRESULT ReadBlockElement(TagRequest* request, HVALUE value) override;
    HRESULT WriteBlockElement(TagRequest* request, HVALUE value) override;
    HRESULT MaskWriteValue(TagRequest* request, HVALUE value) override;
    HRESULT MaskWriteBlockElement(TagRequest* request, HVALUE value) override;
    HRESULT MaskWrite(TagRequest* request, HVALUE value) override;
    HRESULT ReadTag(TagRequest* request, HVALUE value) override;
    HRESULT WriteTag(TagRequest* request, HVALUE value) override;
    void OnBeforeInterfaceStart() override;
    void OnInterfaceStarted(HRESULT status) override;
    void OnInterfaceStopped() override;
    void BeforeInterfaceStop() override;
    void OnParameterChanged(const char* name) override;
    HRESULT BeforeIO(TagRequest* request, HVALUE value) override;
    HRESULT GetStatistic(uint32_t number, HVALUE value) override;
    // Goes offline; a driver that overrides it detaches its own parts first, then calls it.
    void Stop() override;
    HRESULT WorkOnline(TagRequest* request) override;
    bool IsConnected() override;
    // The first read or write after construction waits here until the layer's first
    // connection attempt has finished; later ones pass at once.
    void WaitInterfaceReady() override;

protected:
    // Takes a reference to `globals` and a copy of `config`, then applies the log settings.
    CIOHost(CIOGlobals* globals, const CConfigData& config);
    ~CIOHost() override;

    // The stream lent by the layer during OnDataAvailable (null outside it), for ReadPacket.
    IIOInputStream* CurrentStream() const { return m_stream; }

    // Owns one reference to a value handle.
    class CHeldValue
    {
    public:
        explicit CHeldValue(HVALUE value = nullptr) : m_value(value) {}
        CHeldValue(const CHeldValue&) = delete;
        CHeldValue& operator=(const CHeldValue&) = delete;
        ~CHeldValue()
        {
            if (m_value)
                hvRelease(m_value);
        }
        HVALUE Get() const { return m_value; }
        HVALUE Detach() { return std::exchange(m_value, nullptr); }
        explicit operator bool() const { return m_value != nullptr; }

    private:
        HVALUE m_value;
    };

private:
    // The totals of the layers this host has stopped.
    struct STotals
    {
        uint32_t bytesSent = 0;
        uint32_t bytesRecv = 0;
        uint64_t timeConnected = 0;
        uint64_t timeDisconnected = 0;
        uint32_t connectionCount = 0;
    };

    // Framework tags (FrameworkTags.cpp).
    HRESULT ProcessFrameworkTag(TagRequest* request, HVALUE value);
    HRESULT ProcessGeneralTag(TagRequest* request, HVALUE value);
    HRESULT ProcessLayerParameter(TagRequest* request, HVALUE value);
    HRESULT ReadEvents(const TagRequest* request, HVALUE value);
    HRESULT ReadLayerStatus(TagRequest* request);
    HRESULT SetConfigurationParameters(TagRequest* request);
    HRESULT ParameterByName(TagRequest* request);
    // Calls OnParameterChanged for each name and re-applies the log settings when one of
    // them is a log key.
    void ParametersChanged(const std::vector<std::string>& names);
    static void ReportStatusText(const TagRequest* request, const std::string& error);

    HRESULT CreateInterface();
    HRESULT DispatchDriverOperation(TagRequest* request, HVALUE value);
    HRESULT GetLogEnable(const char* name, HVALUE value);
    HRESULT GetLogFilename(const char* name, HVALUE value);
    HRESULT SetLogEnable(const char* name, HVALUE value);
    HRESULT SetLogFilename(const char* name, HVALUE value);

    CConfigData m_config;

    CRecursiveLock m_hostLock; // guards m_interface; taken before the snapshot's lock
    TIOPtr<CPhysicalLayer> m_interface;
    std::atomic<bool> m_waitReady{true};

    CRecursiveLock m_statsLock; // guards m_totals; taken before m_hostLock
    STotals m_totals;

    CRecursiveLock m_eventLock; // guards m_events; a leaf
    std::deque<HVALUE> m_events; // oldest first; one reference each

    CRecursiveLock m_streamLock; // held by the layer's thread for the whole of ReadPacket
    IIOInputStream* m_stream = nullptr; // one reference while set
};
