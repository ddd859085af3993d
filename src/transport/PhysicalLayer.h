// The physical layer: the connection manager of a running I/O host. One thread (a job of
// the instance's thread pool, "PhysicalLayerThread") initialises the medium, connects it,
// watches it, reconnects after a loss, gives up after too many failures, drops a silent
// link, pumps incoming data to the host, runs the send/receive transactions other threads
// hand it and finally terminates the medium. The medium (sockets, addresses, TLS) is a
// derived class; CPhysicalLayer_Ethernet is the only one.
//
// The thread waits in one poll() on its stop and request events, the medium's extra event
// and the medium's sockets, so a stop, a request or incoming bytes wake it at once.
// Every schedule decision is one of the pure functions of PhysicalLayerSchedule below,
// fed with the real tick by the thread and with synthetic ticks by tests.
#pragma once
#include "core/IOLog.h"
#include "dravo/IOInterfaces.h"
#include "dravo/IORecords.h"
#include "dravo/hvalue.h"
#include "platform/Event.h"
#include "platform/Lock.h"
#include "transport/Buffer.h"
#include "transport/InputStream.h"
#include "transport/Socket.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <string>

class CConfigData;

// What IO.PhysicalLayerStatus shows.
enum EPhysicalLayerState : uint32_t
{
    PLS_STOPPED = 0,
    PLS_DISCONNECTED = 1, // starting, connecting, reconnecting, disconnecting
    PLS_CONNECTED = 2,
};

// Addresses of the parameters the layer answers through ReadParameter / WriteParameter:
// the N3 (group) and N4 (item) numbers of the framework tags.
constexpr uint32_t PL_GROUP_GENERAL = 0;
constexpr uint32_t PL_ITEM_STATUS = 2; // IO.PhysicalLayerStatus
constexpr uint32_t PL_GROUP_ETHERNET = 4;
constexpr uint32_t PL_ITEM_IP_SELECT = 0; // IO.Ethernet.IPSelect
constexpr uint32_t PL_ITEM_IP_SWITCH = 1; // IO.Ethernet.IPSwitch

// Event sources of PostEvent.
constexpr int32_t PL_EVENT_SOURCE_FRAMEWORK = -1;
constexpr int32_t PL_EVENT_SOURCE_ETHERNET = -4;
constexpr int32_t PL_EVENT_INFORMATION = 0;
constexpr int32_t PL_EVENT_ERROR = 2;

// One statistics record; times in milliseconds. Partial.ConnectionCount stays 0.
struct SPhysicalLayerCounters
{
    uint32_t BytesSent = 0;
    uint32_t BytesRecv = 0;
    uint64_t TimeConnected = 0;
    uint64_t TimeDisconnected = 0;
    uint32_t ConnectionCount = 0;
    uint32_t reserved = 0;
};
static_assert(sizeof(SPhysicalLayerCounters) == 32);

// What GetStatistics copies out: the whole life of the layer, and the current period
// (since the last connect or disconnect).
struct SPhysicalLayerStatistics
{
    SPhysicalLayerCounters Total;
    SPhysicalLayerCounters Partial;
};
static_assert(sizeof(SPhysicalLayerStatistics) == 64);

// The layer's statistics with the clock that advances them.
struct PhysicalLayerStats : SPhysicalLayerStatistics
{
    uint32_t lastUpdateTick = 0;
    bool countsAsConnected = false; // the time since lastUpdateTick is connected time
};

// The counters of one transaction.
struct SIORequestCounters
{
    uint32_t sent = 0;
    uint32_t failed = 0; // send failures and cancellations
    uint32_t timeouts = 0;
    uint32_t receiveErrors = 0;
    uint32_t reserved = 0;
};

// The physical layer as the I/O host holds it. The last Release stops the thread, then
// destroys the layer.
struct IIOInterface : IIOUnknown
{
    static constexpr IOGUID IID = {
        0x2F6B7C10, 0x94A3, 0x4E5D, {0xB1, 0x2C, 0x6E, 0x08, 0xD7, 0x41, 0x3A, 0x95}};
    // Ends the thread; returns when it has ended. Safe from any thread but the layer's own.
    virtual void Stop() = 0; // 3
    // Sends `sendPacket` on the layer's thread and, with a `responsePacket`, reads the answer
    // into it. `counters` may be null.
    virtual HRESULT Transact(CBuffer* sendPacket, CBuffer* responsePacket,
                             SIORequestCounters* counters) = 0; // 4
    // `group` and `item` are N3 and N4 of a framework tag; `value` receives the reading.
    virtual HRESULT ReadParameter(uint32_t group, uint32_t item, TagRequest* request, HVALUE value) = 0;  // 5
    virtual HRESULT WriteParameter(uint32_t group, uint32_t item, TagRequest* request, HVALUE value) = 0; // 6
    // IO_S_STARTING until the first connection attempt has finished, else S_OK.
    virtual HRESULT GetStatus(uint32_t* state) = 0; // 7
    // 0 when a disconnection was requested, 1 when there was nothing to do; E_NOTIMPL for
    // media without it.
    virtual HRESULT ForceDisconnect(bool allowSwitch) = 0;                   // 8
    virtual HRESULT GetStatistics(SPhysicalLayerStatistics* statistics) = 0; // 9

protected:
    ~IIOInterface() = default;
};

// Address queries on an IP medium (from the layer by QueryInterface).
struct IIOSocket : IIOUnknown
{
    static constexpr IOGUID IID = {
        0x2F6B7C11, 0x94A3, 0x4E5D, {0xB1, 0x2C, 0x6E, 0x08, 0xD7, 0x41, 0x3A, 0x95}};
    // IO_E_NOT_CONNECTED without a data socket.
    virtual HRESULT GetLocalAddress(AddressRecord* record) = 0;
    virtual HRESULT GetPeerAddress(AddressRecord* record) = 0;
    // The index of the active address (0 main, 1 to 3 backups).
    virtual uint32_t GetChannel() = 0;
    // E_POINTER without `peer`, IO_E_NOT_CONNECTED without a data socket.
    virtual HRESULT GetPeer(IIOPeerIP** peer) = 0;

protected:
    ~IIOSocket() = default;
};

// The decisions of the thread, as functions of a millisecond tick `now`.
namespace PhysicalLayerSchedule
{
// A connection attempt may start: none was made yet, or the last lies at least one recover
// period back.
bool MayAttempt(bool attempted, uint32_t lastAttemptTick, uint32_t recoverPeriodSec, uint32_t now);
// After a failed attempt that made `retryCount` failures in a row.
bool ShouldGiveUp(bool giveUpEnable, uint32_t retryCount, uint32_t giveUpTries);
// More than the period has passed without a state change or a received byte; a period of 0
// switches the check off.
bool InactivityExpired(bool enable, uint32_t periodSec, uint32_t stateTime, uint32_t now);
// Advances the time counters to `now` and records a change of the connected flag.
void UpdateStatistics(PhysicalLayerStats& stats, bool connectedNow, uint32_t now);
} // namespace PhysicalLayerSchedule

struct SIORequest
{
    CBuffer* sendPacket = nullptr;
    CBuffer* responsePacket = nullptr; // optional
    HRESULT result = E_FAIL;
    bool busy = false;
    SIORequestCounters counters;
};

// Hands transactions from other threads to the layer's thread, one at a time.
class CRequestManager
{
public:
    explicit CRequestManager(const TIOApi* owner) : m_owner(owner) {}

    bool EventsValid() const { return m_requestEvent.IsValid() && m_doneEvent.IsValid(); }
    CEvent& RequestEvent() { return m_requestEvent; }
    // Serialises callers; held for a whole transaction. The layer's thread never takes it.
    CRecursiveLock& CallerLock() { return m_callerLock; }

    // Called by the layer's thread. Enable/Disable log the change.
    void Enable();
    void Disable();
    bool IsEnabled();
    // Disables, cancels what is pending and returns whether it had been enabled.
    bool DisableAndCancel();
    void CancelPending();
    // Takes the pending request (busy, result E_FAIL, counters cleared); null when none.
    SIORequest* Begin();
    // Stores the result of a request taken with Begin and wakes its caller.
    void Complete(SIORequest* request, HRESULT result);
    bool HasPending();

    // Called by the transacting thread with the caller lock held: makes `request` pending and
    // waits for its completion. E_FAIL at once when disabled or another request is pending.
    HRESULT Submit(SIORequest* request);

private:
    const TIOApi* m_owner;
    CRecursiveLock m_callerLock; // taken before m_slotLock
    CRecursiveLock m_slotLock;   // guards everything below and the pending request's busy/result
    bool m_enabled = false;
    SIORequest* m_pending = nullptr;
    CEvent m_requestEvent{CEvent::EReset::Auto};
    CEvent m_doneEvent{CEvent::EReset::Auto};
};

class CPhysicalLayer : public TIOUnknown<IIOInterface, IIOInputStream>, public ISocketSpy, public TIOApi
{
public:
    // Makes the layer named by an "IO.Type" text, not yet started: "Ethernet" or "E" (any
    // case). IO_E_NO_INTERFACE for "None", "N", null or empty; E_FAIL for any other type;
    // E_OUTOFMEMORY. The layer holds a reference to `host` until it is destroyed.
    static HRESULT Create(const char* type, CIOGlobals* globals, IIOHost* host, const CConfigData& config,
                          TIOPtr<CPhysicalLayer>* out);

    // Starts the thread and waits until the medium is initialised; true when it runs.
    // Called once by the host.
    bool Start();

    // IIOInterface
    void Stop() override;
    HRESULT Transact(CBuffer* sendPacket, CBuffer* responsePacket, SIORequestCounters* counters) override;
    HRESULT ReadParameter(uint32_t group, uint32_t item, TagRequest* request, HVALUE value) override;
    HRESULT WriteParameter(uint32_t group, uint32_t item, TagRequest* request, HVALUE value) override;
    HRESULT GetStatus(uint32_t* state) override;
    HRESULT ForceDisconnect(bool allowSwitch) override;
    HRESULT GetStatistics(SPhysicalLayerStatistics* statistics) override;

    // IIOInputStream: supplied by the medium.
    HRESULT sgetc(uint8_t* byte) override;
    HRESULT sgets(uint8_t* destination, uint32_t count) override;

    // ISocketSpy: the statistics sink handed to the medium's socket.
    void OnBytesSent(uint32_t count) override;
    void OnBytesReceived(uint32_t count) override;
    void OnRawData(const uint8_t* bytes, uint32_t count) override;

    uint32_t State() const { return m_state.load(); }
    bool IsRunning() const { return m_running.load(); }
    IIOHost* Host() const { return m_host.Get(); }

    // Configuration as read at construction.
    struct SSettings
    {
        uint32_t timeoutMs = 1000;
        uint32_t connectionMode = 0; // 0 automatic, else manual
        bool recoverEnable = false;
        uint32_t recoverPeriodSec = 30;
        bool giveUpEnable = false;
        uint32_t giveUpTries = 3;
        bool inactivityEnable = false;
        uint32_t inactivityPeriodSec = 10;
    };
    const SSettings& Settings() const { return m_settings; }

protected:
    CPhysicalLayer(CIOGlobals* globals, IIOHost* host, const CConfigData& config);
    ~CPhysicalLayer() override;

    // Medium steps, all on the layer's thread.
    virtual bool DoInitialize() = 0;
    virtual bool DoConnect() = 0;
    virtual bool DoSend(CBuffer& packet) = 0;
    virtual void OnIdle() {}
    // True on a loss; `allowSwitch` tells whether the next address may be tried.
    virtual bool CheckConnectionLost(bool& allowSwitch) = 0;
    virtual bool DoAccept() = 0;
    virtual bool DataAvailable() = 0;
    virtual void DoDisconnect() = 0;
    virtual void DoTerminate() = 0;
    // From any thread: ends a blocking step of the layer's thread (connect, read).
    virtual void Abort() {}
    virtual bool IsPassive() { return false; }
    virtual bool SwitchToNextAddress() { return false; }
    virtual CEvent* ExtraWaitHandle() { return nullptr; }
    virtual HRESULT DoReceive(CBuffer& packet, CBuffer& requestPacket);
    // Descriptors the thread polls for readability besides its events.
    virtual size_t GetReadinessWaits(SocketWait* waits, size_t capacity);

    // For media: the thread's state that they read or reset.
    bool IsLayerThread();
    void ClearAttempted() { m_attempted = false; }
    // Wakes the thread without stopping it.
    void WakeThread() { m_stopEvent.Set(); }
    TIOPtr<IIOHost> m_host;
    SSettings m_settings;

    // Configuration readers: a number (the fallback when absent or not convertible) and a
    // text (empty when absent; numbers as their text).
    static uint32_t ConfigNumber(const CConfigData& config, const char* name, uint32_t fallback);
    static std::string ConfigText(const CConfigData& config, const char* name);

    // Posts an event to the host (varargs form of IIOHost::PostEvent).
    void PostEvent(int32_t type, int32_t source, int32_t number, const char* format, ...) DRAVO_PRINTF(5, 6);

private:
    enum class EPump
    {
        NoData,
        Data,
        Failed,
    };

    static int32_t ThreadEntry(void* layer);
    void ThreadBody();
    // The steps of the loop return false when the layer gave up (the loop ends).
    // One connection attempt; on success the connected state, its event, log line, host
    // notification and statistics.
    bool AttemptConnect(int32_t connectedEvent, const char* connectedText, const char* connectedLine);
    bool FirstConnection();
    // One pass of the loop; sets the wait that follows and whether it watches the sockets.
    bool LoopStep(uint32_t& waitMs, bool& pollSockets);
    void Wait(uint32_t waitMs, bool pollSockets);
    bool ConnectionLost(bool allowSwitch);
    bool Reconnect();
    bool RetryInLoop();
    void DisconnectForInactivity(uint32_t elapsedMs);
    void GiveUp();
    void Terminate();
    void SetState(uint32_t state);
    void UpdateStatistics(bool connectedNow);
    void ResetRequestHandler();
    EPump ReceivePump();
    void ProcessRequest();
    HRESULT RunRequest(SIORequest& request);
    void PostFrameworkEvent(int32_t type, int32_t number, const char* format, ...) DRAVO_PRINTF(4, 5);

    std::atomic<uint32_t> m_state{PLS_STOPPED};
    std::atomic<uint32_t> m_stateTime{0};
    std::atomic<bool> m_startingUp{false};
    std::atomic<bool> m_running{false};
    bool m_connected = false;
    uint32_t m_retryCount = 0;
    uint32_t m_lastAttemptTick = 0;
    std::atomic<bool> m_attempted{false};
    CEvent m_initDoneEvent{CEvent::EReset::Auto};
    CEvent m_stopEvent{CEvent::EReset::Auto};
    CRecursiveLock m_jobLock; // guards m_job
    TIOPtr<IIOJob> m_job;
    CRecursiveLock m_statsLock; // guards m_stats; taken after the socket's lock, never before it
    PhysicalLayerStats m_stats;
    CRequestManager m_requests;
};
