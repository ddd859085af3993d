#include "transport/PhysicalLayer.h"

#include "core/ConfigData.h"
#include "core/IOGlobals.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "threading/ThreadPool.h"
#include "transport/PhysicalLayerEthernet.h"

#include <new>

namespace
{
constexpr uint32_t kIdleWaitMs = 1000;
constexpr uint32_t kPollWaitMs = 40;
constexpr uint32_t kPumpSliceMs = 1000;
constexpr size_t kMaxSocketWaits = 4;

} // namespace

namespace PhysicalLayerSchedule
{
bool MayAttempt(bool attempted, uint32_t lastAttemptTick, uint32_t recoverPeriodSec, uint32_t now)
{
    return !attempted || uint64_t(TickElapsed(lastAttemptTick, now)) >= uint64_t(recoverPeriodSec) * 1000u;
}

bool ShouldGiveUp(bool giveUpEnable, uint32_t retryCount, uint32_t giveUpTries)
{
    return giveUpEnable && retryCount >= giveUpTries;
}

bool InactivityExpired(bool enable, uint32_t periodSec, uint32_t stateTime, uint32_t now)
{
    return enable && periodSec > 0 && uint64_t(TickElapsed(stateTime, now)) > uint64_t(periodSec) * 1000u;
}

void UpdateStatistics(PhysicalLayerStats& stats, bool connectedNow, uint32_t now)
{
    if (stats.countsAsConnected == connectedNow && stats.lastUpdateTick == now)
        return;
    const uint32_t elapsed = TickElapsed(stats.lastUpdateTick, now);
    stats.lastUpdateTick = now;
    if (stats.countsAsConnected)
    {
        stats.Total.TimeConnected += elapsed;
        if (connectedNow)
        {
            stats.Partial.TimeConnected += elapsed;
        }
        else
        {
            stats.Partial.TimeConnected = 0;
            stats.Partial.BytesSent = 0;
            stats.Partial.BytesRecv = 0;
            stats.countsAsConnected = false;
        }
    }
    else
    {
        stats.Total.TimeDisconnected += elapsed;
        if (connectedNow)
        {
            ++stats.Total.ConnectionCount;
            stats.Partial.TimeDisconnected = 0;
            stats.countsAsConnected = true;
        }
        else
        {
            stats.Partial.TimeDisconnected += elapsed;
        }
    }
}
} // namespace PhysicalLayerSchedule

// ---- CRequestManager ----

void CRequestManager::Enable()
{
    CLockGuard guard(m_slotLock);
    if (!m_enabled)
    {
        m_enabled = true;
        Log(m_owner, LOG_DRAVO, "Request handler enabled");
    }
}

void CRequestManager::Disable()
{
    CLockGuard guard(m_slotLock);
    if (m_enabled)
    {
        m_enabled = false;
        Log(m_owner, LOG_DRAVO, "Request handler disabled");
    }
}

bool CRequestManager::IsEnabled()
{
    CLockGuard guard(m_slotLock);
    return m_enabled;
}

bool CRequestManager::DisableAndCancel()
{
    CLockGuard guard(m_slotLock);
    const bool wasEnabled = m_enabled;
    if (wasEnabled)
    {
        Disable();
        CancelPending();
    }
    return wasEnabled;
}

void CRequestManager::CancelPending()
{
    CLockGuard guard(m_slotLock);
    if (m_pending == nullptr)
        return;
    Log(m_owner, LOG_DRAVO, "Pending request canceled!");
    ++m_pending->counters.failed;
    if (m_pending->busy)
    {
        m_pending->busy = false;
        m_pending->result = E_FAIL;
    }
    m_pending = nullptr;
    m_doneEvent.Set();
}

SIORequest* CRequestManager::Begin()
{
    CLockGuard guard(m_slotLock);
    if (m_pending == nullptr)
        return nullptr;
    m_pending->busy = true;
    m_pending->result = E_FAIL;
    m_pending->counters = SIORequestCounters{};
    return m_pending;
}

void CRequestManager::Complete(SIORequest* request, HRESULT result)
{
    CLockGuard guard(m_slotLock);
    if (m_pending != request)
        return;
    if (request->busy)
    {
        request->busy = false;
        request->result = result;
    }
    m_pending = nullptr;
    m_doneEvent.Set();
}

bool CRequestManager::HasPending()
{
    CLockGuard guard(m_slotLock);
    return m_pending != nullptr;
}

HRESULT CRequestManager::Submit(SIORequest* request)
{
    {
        CLockGuard guard(m_slotLock);
        if (!m_enabled || m_pending != nullptr)
            return E_FAIL;
        request->result = E_FAIL;
        request->busy = false;
        m_pending = request;
        m_requestEvent.Set();
    }
    // Every pending request is completed or cancelled by the thread, which signals this
    // event exactly once for it; the thread cancels whatever is pending before it ends.
    m_doneEvent.Wait(WAIT_INFINITE);
    // The lock orders the thread's writes to the request before the caller's reads.
    CLockGuard guard(m_slotLock);
    return request->result;
}

// ---- CPhysicalLayer ----

HRESULT CPhysicalLayer::Create(const char* type, CIOGlobals* globals, IIOHost* host,
                               const CConfigData& config, TIOPtr<CPhysicalLayer>* out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (type == nullptr || *type == 0 || EqualsNoCase(type, "None") || EqualsNoCase(type, "N"))
        return IO_E_NO_INTERFACE;
    if (!EqualsNoCase(type, "Ethernet") && !EqualsNoCase(type, "E"))
        return E_FAIL;
    if (host == nullptr || globals == nullptr)
        return E_POINTER;
    try
    {
        TIOPtr<CPhysicalLayer_Ethernet> layer = CPhysicalLayer_Ethernet::Create(globals, host, config);
        if (!layer)
            return E_OUTOFMEMORY;
        *out = TIOPtr<CPhysicalLayer>(layer.Get());
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

CPhysicalLayer::CPhysicalLayer(CIOGlobals* globals, IIOHost* host, const CConfigData& config)
    : TIOApi(globals), m_host(host), m_requests(this)
{
    m_settings.timeoutMs = ConfigNumber(config, "IO.TimeoutMs", 1000);
    // Normalised here, so the settings never change once other threads can see the layer.
    if (m_settings.timeoutMs == 0)
        m_settings.timeoutMs = 1000;
    m_settings.connectionMode = ConfigNumber(config, "IO.ConnectionMode", 0);
    m_settings.recoverEnable = ConfigNumber(config, "IO.RecoverEnable", 0) != 0;
    m_settings.recoverPeriodSec = ConfigNumber(config, "IO.RecoverPeriodSec", 30);
    m_settings.giveUpEnable = ConfigNumber(config, "IO.GiveUpEnable", 0) != 0;
    m_settings.giveUpTries = ConfigNumber(config, "IO.GiveUpTries", 3);
    m_settings.inactivityEnable = ConfigNumber(config, "IO.InactivityEnable", 0) != 0;
    m_settings.inactivityPeriodSec = ConfigNumber(config, "IO.InactivityPeriodSec", 10);
    m_stats.lastUpdateTick = GetTickCount32();
}

uint32_t CPhysicalLayer::ConfigNumber(const CConfigData& config, const char* name, uint32_t fallback)
{
    CLockGuard guard(config.Lock());
    HVALUE stored = config.Find(name);
    if (stored == 0)
        return fallback;
    HVALUE copy = hvDuplicate(stored);
    if (copy == 0)
        return fallback;
    int32_t number = 0;
    const bool ok = hvChangeType(copy, HV_I32) && hvGetI32(copy, &number);
    hvRelease(copy);
    return ok ? static_cast<uint32_t>(number) : fallback;
}

std::string CPhysicalLayer::ConfigText(const CConfigData& config, const char* name)
{
    CLockGuard guard(config.Lock());
    HVALUE stored = config.Find(name);
    const char* text = nullptr;
    if (stored != 0 && hvGetText(stored, &text) && text != nullptr)
        return text;
    char buffer[1100];
    if (stored != 0 && hvIsNumeric(stored) && hvGetTextAs(stored, buffer, sizeof(buffer)))
        return buffer;
    return std::string();
}

CPhysicalLayer::~CPhysicalLayer()
{
    // A medium stops the thread in its own destructor, while its steps still exist; this
    // only covers a layer that never started.
    Stop();
}

bool CPhysicalLayer::Start()
{
    if (m_running.load())
        return true;
    if (!m_initDoneEvent.IsValid() || !m_stopEvent.IsValid() || !m_requests.EventsValid())
        return false;
    TIOPtr<IIOJob> job;
    {
        CLockGuard guard(m_jobLock);
        if (m_job)
            return m_running.load();
        TIOPtr<IIOThreadPool> pool;
        HRESULT hr = EnsureServiceProvider(Globals());
        if (SUCCEEDED(hr))
            hr = GetThreadPool(Globals(), pool.Out());
        if (SUCCEEDED(hr))
            hr = pool->CreateJob(u"PhysicalLayerThread", &CPhysicalLayer::ThreadEntry, this, true, job.Out());
        if (FAILED(hr))
        {
            Log(this, LOG_DRAVO, "Failed to create physical layer thread! (errorCode=%08Xh)",
                static_cast<uint32_t>(hr));
            return false;
        }
        // Known before the thread runs, so that its own sends recognise it.
        m_job = job;
    }
    job->StartJob();
    m_initDoneEvent.Wait(WAIT_INFINITE);
    return m_running.load();
}

void CPhysicalLayer::Stop()
{
    TIOPtr<IIOJob> job;
    {
        CLockGuard guard(m_jobLock);
        job = m_job;
    }
    if (!job)
        return;
    Log(this, LOG_DRAVO, "Stopping physical layer thread...");
    m_running = false;
    m_stopEvent.Set();
    Abort();
    if (job->IsJobThread())
        return; // the loop ends when this step returns; waiting here would wait for ourselves
    Log(this, LOG_DRAVO, "Waiting for termination of physical layer thread...");
    job->WaitJob(WAIT_INFINITE);
    Log(this, LOG_DRAVO, "Physical layer thread stopped!");
    CLockGuard guard(m_jobLock);
    if (m_job == job)
        m_job = nullptr;
}

bool CPhysicalLayer::IsLayerThread()
{
    CLockGuard guard(m_jobLock);
    return m_job && m_job->IsJobThread();
}

int32_t CPhysicalLayer::ThreadEntry(void* layer)
{
    CPhysicalLayer* self = static_cast<CPhysicalLayer*>(layer);
    try
    {
        self->ThreadBody();
    }
    catch (const std::bad_alloc&)
    {
        // Leave nobody waiting: not Start, not a transacting caller.
        Log(self, LOG_DRAVO, "Physical layer thread ended: out of memory");
        self->m_running = false;
        self->SetState(PLS_STOPPED);
        self->m_requests.Disable();
        self->m_requests.CancelPending();
        self->m_initDoneEvent.Set();
    }
    return 0;
}

void CPhysicalLayer::SetState(uint32_t state)
{
    m_state = state;
    m_stateTime = GetTickCount32();
    if (state != PLS_DISCONNECTED)
        m_startingUp = false;
}

void CPhysicalLayer::UpdateStatistics(bool connectedNow)
{
    CLockGuard guard(m_statsLock);
    PhysicalLayerSchedule::UpdateStatistics(m_stats, connectedNow, GetTickCount32());
}

void CPhysicalLayer::PostEvent(int32_t type, int32_t source, int32_t number, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    m_host->PostEvent(type, source, number, format, args);
    va_end(args);
}

void CPhysicalLayer::PostFrameworkEvent(int32_t type, int32_t number, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    m_host->PostEvent(type, PL_EVENT_SOURCE_FRAMEWORK, number, format, args);
    va_end(args);
}

void CPhysicalLayer::ThreadBody()
{
    m_startingUp = true;
    {
        CLockGuard guard(m_statsLock);
        m_stats.lastUpdateTick = GetTickCount32();
    }
    SetState(PLS_DISCONNECTED);
    PostFrameworkEvent(PL_EVENT_INFORMATION, 1, "Initializing physical layer...");
    Log(this, LOG_DRAVO, "INITIALIZING...");
    if (!DoInitialize())
    {
        PostFrameworkEvent(PL_EVENT_ERROR, 2, "Physical layer initialization failed!");
        Log(this, LOG_DRAVO, "INITIALIZATION FAILED!");
        SetState(PLS_STOPPED);
        m_initDoneEvent.Set();
        return;
    }
    PostFrameworkEvent(PL_EVENT_INFORMATION, 3, "Physical layer initialized!");
    Log(this, LOG_DRAVO, "INITIALIZED!");
    m_running = true;
    m_initDoneEvent.Set();
    m_requests.Enable();

    m_retryCount = 0;
    m_lastAttemptTick = 0;
    m_connected = false;
    m_attempted = false;

    bool alive = true;
    if (m_settings.connectionMode == 0 && !IsPassive())
        alive = FirstConnection();
    m_startingUp = false;
    while (alive && m_running.load())
    {
        uint32_t waitMs = kIdleWaitMs;
        bool pollSockets = true;
        if (!LoopStep(waitMs, pollSockets))
            break;
        Wait(waitMs, pollSockets);
    }
    Terminate();
}

bool CPhysicalLayer::AttemptConnect(int32_t connectedEvent, const char* connectedText, const char* connectedLine)
{
    m_connected = DoConnect();
    m_lastAttemptTick = GetTickCount32();
    m_attempted = true;
    if (!m_connected)
        return false;
    SetState(PLS_CONNECTED);
    PostFrameworkEvent(PL_EVENT_INFORMATION, connectedEvent, "%s", connectedText);
    Log(this, LOG_DRAVO, "%s", connectedLine);
    m_host->OnInterfaceConnected();
    UpdateStatistics(true);
    return true;
}

bool CPhysicalLayer::FirstConnection()
{
    PostFrameworkEvent(PL_EVENT_INFORMATION, 4, "Connecting physical layer...");
    Log(this, LOG_DRAVO, "CONNECTING...");
    m_retryCount = 0;
    if (AttemptConnect(6, "Physical layer connected!", "CONNECTED!"))
        return true;
    PostFrameworkEvent(PL_EVENT_ERROR, 5, "Failed to connect physical layer!");
    Log(this, LOG_DRAVO, "CONNECTION FAILED!");
    m_startingUp = false;
    if (!m_settings.recoverEnable)
    {
        GiveUp();
        return false;
    }
    ++m_retryCount;
    if (PhysicalLayerSchedule::ShouldGiveUp(m_settings.giveUpEnable, m_retryCount, m_settings.giveUpTries))
    {
        GiveUp();
        return false;
    }
    UpdateStatistics(false);
    return true;
}

bool CPhysicalLayer::LoopStep(uint32_t& waitMs, bool& pollSockets)
{
    if (m_connected)
    {
        bool allowSwitch = true;
        if (CheckConnectionLost(allowSwitch))
            return ConnectionLost(allowSwitch);
        const uint32_t now = GetTickCount32();
        const uint32_t since = m_stateTime.load();
        if (PhysicalLayerSchedule::InactivityExpired(m_settings.inactivityEnable,
                                                     m_settings.inactivityPeriodSec, since, now))
        {
            DisconnectForInactivity(TickElapsed(since, now));
            return true;
        }
        if (FAILED(m_host->CanReceiveUnsolicited()))
        {
            // Nobody reads the socket, so its readiness would wake the wait at once forever.
            pollSockets = false;
            return true;
        }
        switch (ReceivePump())
        {
        case EPump::Data:
            waitMs = 0;
            break;
        case EPump::NoData:
            waitMs = kPollWaitMs;
            break;
        case EPump::Failed:
            // Bytes the host refused may still be waiting: do not let them spin the wait.
            waitMs = kPollWaitMs;
            pollSockets = false;
            break;
        }
        return true;
    }
    if (DoAccept())
    {
        SetState(PLS_CONNECTED);
        PostFrameworkEvent(PL_EVENT_INFORMATION, 11, "Physical layer connected automatically!");
        Log(this, LOG_DRAVO, "CONNECTED AUTOMATICALLY!");
        m_connected = true;
        m_retryCount = 0;
        m_host->OnInterfaceConnected();
        UpdateStatistics(true);
        return true;
    }
    if (m_settings.connectionMode != 0 || IsPassive())
        return true;
    if (!m_settings.recoverEnable)
    {
        GiveUp();
        return false;
    }
    if (PhysicalLayerSchedule::MayAttempt(m_attempted.load(), m_lastAttemptTick, m_settings.recoverPeriodSec,
                                          GetTickCount32()))
        return RetryInLoop();
    return true;
}

bool CPhysicalLayer::RetryInLoop()
{
    PostFrameworkEvent(PL_EVENT_INFORMATION, 12, "Reconnecting physical layer (retry #%u)...", m_retryCount);
    Log(this, LOG_DRAVO, "RECONNECTING...");
    m_connected = DoConnect();
    m_lastAttemptTick = GetTickCount32();
    m_attempted = true;
    if (m_connected)
    {
        SetState(PLS_CONNECTED);
        PostFrameworkEvent(PL_EVENT_INFORMATION, 14, "Physical layer reconnected (on retry #%u)!",
                           m_retryCount);
        Log(this, LOG_DRAVO, "RECONNECTED!");
        m_retryCount = 0;
        m_host->OnInterfaceConnected();
        UpdateStatistics(true);
        return true;
    }
    PostFrameworkEvent(PL_EVENT_ERROR, 13, "Failed to reconnect physical layer (retry #%u)!", m_retryCount);
    Log(this, LOG_DRAVO, "RECONNECTION FAILED!");
    ++m_retryCount;
    if (PhysicalLayerSchedule::ShouldGiveUp(m_settings.giveUpEnable, m_retryCount, m_settings.giveUpTries))
    {
        GiveUp();
        return false;
    }
    UpdateStatistics(false);
    return true;
}

bool CPhysicalLayer::ConnectionLost(bool allowSwitch)
{
    SetState(PLS_DISCONNECTED);
    m_connected = false;
    m_retryCount = 0;
    PostFrameworkEvent(PL_EVENT_ERROR, 7, "Physical layer connection lost!");
    Log(this, LOG_DRAVO, "CONNECTION LOST!");
    DoDisconnect();
    ResetRequestHandler();
    UpdateStatistics(false);
    if (m_settings.connectionMode != 0 || IsPassive())
        return true;
    if (!m_settings.recoverEnable)
    {
        GiveUp();
        return false;
    }
    const bool switched = allowSwitch && SwitchToNextAddress();
    if (!switched && !PhysicalLayerSchedule::MayAttempt(m_attempted.load(), m_lastAttemptTick,
                                                        m_settings.recoverPeriodSec, GetTickCount32()))
    {
        Log(this, LOG_DRAVO, "RECONNECT POSTPONED!");
        return true;
    }
    return Reconnect();
}

bool CPhysicalLayer::Reconnect()
{
    PostFrameworkEvent(PL_EVENT_INFORMATION, 8, "Reconnecting physical layer...");
    Log(this, LOG_DRAVO, "RECONNECTING...");
    if (AttemptConnect(10, "Physical layer reconnected!", "RECONNECTED!"))
        return true;
    PostFrameworkEvent(PL_EVENT_ERROR, 9, "Failed to reconnect physical layer!");
    Log(this, LOG_DRAVO, "RECONNECTION FAILED!");
    ++m_retryCount;
    if (PhysicalLayerSchedule::ShouldGiveUp(m_settings.giveUpEnable, m_retryCount, m_settings.giveUpTries))
    {
        GiveUp();
        return false;
    }
    return true;
}

void CPhysicalLayer::DisconnectForInactivity(uint32_t elapsedMs)
{
    Log(this, LOG_DRAVO, "Closing connection, the channel is inactive for '%u' msec (max=%u)!", elapsedMs,
        m_settings.inactivityPeriodSec * 1000u);
    m_connected = false;
    SetState(PLS_DISCONNECTED);
    PostFrameworkEvent(PL_EVENT_INFORMATION, 19,
                       "Physical layer non-responsive for %u seconds, disconnecting...",
                       m_settings.inactivityPeriodSec);
    DoDisconnect();
    ResetRequestHandler();
    UpdateStatistics(false);
}

void CPhysicalLayer::GiveUp()
{
    m_requests.CancelPending();
    SetState(PLS_DISCONNECTED);
    PostFrameworkEvent(PL_EVENT_INFORMATION, 17, "Disconnecting physical layer...");
    Log(this, LOG_DRAVO, "ABORTING... (maximum number of reconnections was exceeded)");
    DoDisconnect();
    PostFrameworkEvent(PL_EVENT_ERROR, 18, "Physical layer aborted (exhausted all retries)!");
    Log(this, LOG_DRAVO, "ABORTED!");
    SetState(PLS_STOPPED);
    UpdateStatistics(false);
    // Idle until Stop; the stop event ends each wait at once, and requests that slip in
    // are cancelled there because the layer is not connected.
    while (m_running.load())
        Wait(kIdleWaitMs, false);
}

void CPhysicalLayer::Terminate()
{
    if (m_connected)
    {
        m_connected = false;
        SetState(PLS_DISCONNECTED);
        PostFrameworkEvent(PL_EVENT_INFORMATION, 17, "Disconnecting physical layer...");
        DoDisconnect();
        ResetRequestHandler();
    }
    UpdateStatistics(false);
    PostFrameworkEvent(PL_EVENT_INFORMATION, 15, "Terminating physical layer...");
    Log(this, LOG_DRAVO, "TERMINATING...");
    DoTerminate();
    uint32_t sent = 0;
    uint32_t received = 0;
    {
        CLockGuard guard(m_statsLock);
        sent = m_stats.Total.BytesSent;
        received = m_stats.Total.BytesRecv;
    }
    PostFrameworkEvent(PL_EVENT_INFORMATION, 16,
                       "Physical layer terminated! (%u bytes sent, %u bytes received)", sent, received);
    Log(this, LOG_DRAVO, "TERMINATED! (%u bytes sent, %u bytes received)", sent, received);
    SetState(PLS_STOPPED);
    m_requests.Disable();
    m_requests.CancelPending();
}

void CPhysicalLayer::ResetRequestHandler()
{
    const bool wasEnabled = m_requests.DisableAndCancel();
    m_host->OnInterfaceDisconnected();
    if (wasEnabled)
        m_requests.Enable();
}

void CPhysicalLayer::Wait(uint32_t waitMs, bool pollSockets)
{
    OnIdle();
    CEvent* events[3] = {&m_stopEvent, &m_requests.RequestEvent(), nullptr};
    size_t eventCount = 2;
    if (CEvent* extra = ExtraWaitHandle())
        events[eventCount++] = extra;
    SocketWait sockets[kMaxSocketWaits];
    const size_t socketCount = pollSockets ? GetReadinessWaits(sockets, kMaxSocketWaits) : 0;
    const int fired = WaitForAny(std::span<CEvent* const>(events, eventCount),
                                 std::span<SocketWait>(sockets, socketCount), waitMs);
    if (fired != 1)
        return;
    if (m_connected)
        ProcessRequest();
    else
        m_requests.CancelPending();
}

CPhysicalLayer::EPump CPhysicalLayer::ReceivePump()
{
    if (!DataAvailable())
        return EPump::NoData;
    const uint64_t start = GetMicroseconds();
    while (m_running.load())
    {
        CBuffer packet;
        CBuffer context;
        if (FAILED(DoReceive(packet, context)))
            return EPump::Failed;
        m_host->OnPacketReceived(&packet);
        m_host->OnUnsolicitedPacket(&packet);
        if (!DataAvailable() || m_requests.HasPending() || (GetMicroseconds() - start) / 1000 >= kPumpSliceMs)
            break;
    }
    return EPump::Data;
}

HRESULT CPhysicalLayer::DoReceive(CBuffer& packet, CBuffer& requestPacket)
{
    Log(this, LOG_RX, "%s", "");
    return m_host->OnDataAvailable(this, &packet, &requestPacket);
}

size_t CPhysicalLayer::GetReadinessWaits(SocketWait*, size_t)
{
    return 0;
}

void CPhysicalLayer::ProcessRequest()
{
    SIORequest* request = m_requests.Begin();
    if (request == nullptr)
        return;
    const HRESULT result = RunRequest(*request);
    m_requests.Complete(request, result);
}

HRESULT CPhysicalLayer::RunRequest(SIORequest& request)
{
    if (request.sendPacket == nullptr)
        return E_FAIL;
    if (!DoSend(*request.sendPacket))
    {
        ++request.counters.failed;
        return E_FAIL;
    }
    ++request.counters.sent;
    if (request.responsePacket == nullptr)
        return S_OK;
    const HRESULT hr = DoReceive(*request.responsePacket, *request.sendPacket);
    if (FAILED(hr))
    {
        if (hr == IO_E_READ_TIMEOUT)
            ++request.counters.timeouts;
        else
            ++request.counters.receiveErrors;
        return hr;
    }
    m_host->OnPacketReceived(request.responsePacket);
    return S_OK;
}

HRESULT CPhysicalLayer::Transact(CBuffer* sendPacket, CBuffer* responsePacket, SIORequestCounters* counters)
{
    if (counters)
        *counters = SIORequestCounters{};
    if (!m_running.load() || m_state.load() != PLS_CONNECTED)
    {
        if (counters)
            counters->failed = 1;
        return E_FAIL;
    }
    SIORequest request;
    request.sendPacket = sendPacket;
    request.responsePacket = responsePacket;
    HRESULT hr;
    bool hasJob;
    {
        CLockGuard guard(m_jobLock);
        hasJob = static_cast<bool>(m_job);
    }
    if (IsLayerThread())
    {
        // The thread itself (a host callback sending): it owns the medium, and it must not
        // take the caller lock that a waiting caller holds.
        hr = RunRequest(request);
    }
    else if (!hasJob)
    {
        CLockGuard guard(m_requests.CallerLock());
        hr = RunRequest(request);
    }
    else
    {
        CLockGuard guard(m_requests.CallerLock());
        hr = m_requests.Submit(&request);
    }
    if (counters)
        *counters = request.counters;
    return hr;
}

HRESULT CPhysicalLayer::ReadParameter(uint32_t group, uint32_t item, TagRequest*, HVALUE value)
{
    if (group == PL_GROUP_GENERAL && item == PL_ITEM_STATUS)
        return hvSetI32(value, static_cast<int32_t>(m_state.load())) ? S_OK : E_FAIL;
    return E_FAIL;
}

HRESULT CPhysicalLayer::WriteParameter(uint32_t, uint32_t, TagRequest*, HVALUE)
{
    return E_FAIL;
}

HRESULT CPhysicalLayer::GetStatus(uint32_t* state)
{
    if (state == nullptr)
        return E_POINTER;
    *state = m_state.load();
    return m_startingUp.load() ? IO_S_STARTING : S_OK;
}

HRESULT CPhysicalLayer::ForceDisconnect(bool)
{
    return E_NOTIMPL;
}

HRESULT CPhysicalLayer::GetStatistics(SPhysicalLayerStatistics* statistics)
{
    if (statistics == nullptr)
        return E_POINTER;
    CLockGuard guard(m_statsLock);
    PhysicalLayerSchedule::UpdateStatistics(m_stats, m_stats.countsAsConnected, GetTickCount32());
    *statistics = m_stats;
    return S_OK;
}

HRESULT CPhysicalLayer::sgetc(uint8_t*)
{
    return E_NOTIMPL;
}

HRESULT CPhysicalLayer::sgets(uint8_t*, uint32_t)
{
    return E_NOTIMPL;
}

void CPhysicalLayer::OnBytesSent(uint32_t count)
{
    CLockGuard guard(m_statsLock);
    m_stats.Total.BytesSent += count;
    m_stats.Partial.BytesSent += count;
}

void CPhysicalLayer::OnBytesReceived(uint32_t count)
{
    CLockGuard guard(m_statsLock);
    m_stats.Total.BytesRecv += count;
    m_stats.Partial.BytesRecv += count;
    m_stateTime = GetTickCount32();
}

void CPhysicalLayer::OnRawData(const uint8_t*, uint32_t) {}
