#include "core/IOHost.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "core/BuiltinTags.h"
#include "core/IOGlobals.h"
#include "core/ValueText.h"
#include "platform/Text.h"
#include "platform/Thread.h"

namespace
{
// How often the first read or write looks whether the first connection attempt has ended.
constexpr uint32_t kReadyPollMs = 10;

// The parameter's text; `fallback` when it is absent or not a text.
std::string ConfigText(const CConfigData& config, const char* name, const char* fallback)
{
    CLockGuard guard(config.Lock());
    const char* text = nullptr;
    HVALUE stored = config.Find(name);
    if (stored == nullptr || !hvIsText(stored) || !hvGetText(stored, &text) || text == nullptr)
        return fallback;
    return text;
}

bool IsLogKey(std::string_view name)
{
    return EqualsNoCase(name, "IO.Log.Enable") || EqualsNoCase(name, "IO.Log.Filename");
}

// The status names: the short ones of older hosts and the configuration keys themselves.
bool IsLogEnableStatus(const char* name)
{
    return std::strcmp(name, "LOG") == 0 || std::strcmp(name, "IO.Log.Enable") == 0;
}

bool IsLogFilenameStatus(const char* name)
{
    return std::strcmp(name, "LOGFILE") == 0 || std::strcmp(name, "IO.Log.Filename") == 0;
}
} // namespace

CIOHost::CIOHost(CIOGlobals* globals, const CConfigData& config) : TIOApi(globals), m_config(config)
{
    ApplyLogSettings(false);
}

CIOHost::~CIOHost()
{
    {
        CLockGuard guard(m_eventLock);
        for (HVALUE event : m_events)
            hvRelease(event);
        m_events.clear();
    }
    if (IIOLogger* logger = Logger())
        logger->Close();
    if (m_stream)
        m_stream->Release();
    m_interface = nullptr;
}

// --- Log settings and the configuration dump -----------------------------------------------

void CIOHost::ApplyLogSettings(bool dump)
{
    IIOLogger* logger = Logger();
    if (logger == nullptr)
        return;
    if (m_config.GetInteger("IO.Log.Enable") == 0)
    {
        logger->Close();
        return;
    }
    try
    {
        const std::string name = ConfigText(m_config, "IO.Log.Filename", "");
        logger->SetFile(name.c_str());
    }
    catch (const std::bad_alloc&)
    {
        return;
    }
    if (dump)
        DumpConfiguration();
}

void CIOHost::DumpConfiguration()
{
    CLockGuard configGuard(m_config.Lock());
    IIOLogger* logger = Logger();
    if (logger == nullptr)
        return;
    // The dump stays in one piece even while other threads log.
    logger->Lock();
    try
    {
        Log(this, LOG_DRIVER, "%s (%u parameters):", "Current configuration", static_cast<uint32_t>(m_config.Count()));
        uint32_t omitted = 0;
        m_config.ForEach([&](const std::string& name, HVALUE value) {
            const std::string text = ValueText(value, VALUE_TEXT_PLAIN);
            if (text == "0")
                ++omitted;
            else
                Log(this, LOG_DRIVER, "  - %s = %s", name.c_str(), text.c_str());
        });
        if (omitted > 0)
            Log(this, LOG_DRIVER, "  - %u parameters with value = 0 were omitted", omitted);
    }
    catch (const std::bad_alloc&)
    {
        // A dump cut short by memory loses only log lines.
    }
    logger->Unlock();
}

// --- Online and offline ----------------------------------------------------------------------

HRESULT CIOHost::GoOnline(bool allowStartOffline)
{
    std::unique_lock<CRecursiveLock> lock(m_hostLock);
    if (m_interface)
        return E_FAIL;
    if (allowStartOffline && m_config.GetInteger("IO.StartOffline") != 0)
    {
        Log(this, LOG_DRIVER, "I/O Interface not activated, the driver is OFFLINE!!!");
        return S_FALSE;
    }
    lock.unlock();
    OnBeforeInterfaceStart();
    lock.lock();

    HRESULT hr = S_OK;
    if (!m_interface)
        hr = CreateInterface();
    if (hr == IO_E_NO_INTERFACE)
    {
        Log(this, LOG_DRIVER, "I/O Interface was configured as 'NONE', the driver is OFFLINE!!!");
        hr = S_FALSE;
    }
    else if (FAILED(hr))
    {
        Log(this, LOG_DRIVER, "Failed do create I/O Interface (hr = %08X)", static_cast<uint32_t>(hr));
    }
    lock.unlock();
    OnInterfaceStarted(hr);
    return hr;
}

// Called with the host lock held.
HRESULT CIOHost::CreateInterface()
{
    DumpConfiguration();
    TIOPtr<CPhysicalLayer> layer;
    HRESULT hr = E_OUTOFMEMORY;
    try
    {
        const std::string type = ConfigText(m_config, "IO.Type", "None");
        hr = CPhysicalLayer::Create(type.c_str(), Globals(), this, m_config, &layer);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    if (FAILED(hr))
        return hr;
    if (!layer->Start())
    {
        layer->Stop();
        return E_FAIL;
    }
    m_interface = std::move(layer);
    return S_OK;
}

HRESULT CIOHost::GoOffline()
{
    bool online = false;
    {
        CLockGuard guard(m_hostLock);
        online = static_cast<bool>(m_interface);
    }
    if (online)
    {
        BeforeInterfaceStop();
        // Readers of the statistics wait while the layer stops, so they never see its
        // counters missing from both the layer and the totals.
        CLockGuard statsGuard(m_statsLock);
        TIOPtr<CPhysicalLayer> layer;
        {
            CLockGuard guard(m_hostLock);
            layer = std::move(m_interface);
            m_interface = nullptr;
        }
        if (layer)
        {
            layer->Stop();
            SPhysicalLayerStatistics statistics{};
            if (SUCCEEDED(layer->GetStatistics(&statistics)))
            {
                m_totals.bytesSent += statistics.Total.BytesSent;
                m_totals.bytesRecv += statistics.Total.BytesRecv;
                m_totals.timeConnected += statistics.Total.TimeConnected;
                m_totals.timeDisconnected += statistics.Total.TimeDisconnected;
                m_totals.connectionCount += statistics.Total.ConnectionCount;
            }
        }
    }
    OnInterfaceStopped();
    return S_OK;
}

TIOPtr<IIOInterface> CIOHost::Interface()
{
    CLockGuard guard(m_hostLock);
    return TIOPtr<IIOInterface>(m_interface.Get());
}

bool CIOHost::IsOnline()
{
    CLockGuard guard(m_hostLock);
    return static_cast<bool>(m_interface);
}

void CIOHost::WaitInterfaceReady()
{
    if (!m_waitReady.exchange(false))
        return;
    TIOPtr<IIOInterface> itf = Interface();
    if (!itf)
        return;
    uint32_t state = 0;
    while (itf->GetStatus(&state) == IO_S_STARTING)
        SleepMs(kReadyPollMs);
}

bool CIOHost::IsConnected()
{
    TIOPtr<IIOInterface> itf = Interface();
    uint32_t state = PLS_STOPPED;
    return itf && SUCCEEDED(itf->GetStatus(&state)) && state == PLS_CONNECTED;
}

void CIOHost::Stop() { GoOffline(); }

// --- Requests --------------------------------------------------------------------------------

HRESULT CIOHost::ProcessRequest(TagRequest* request, HVALUE value)
{
    if (request == nullptr)
        return E_POINTER;
    try
    {
        if (request->n1 == BUILTIN_N1)
            return ProcessFrameworkTag(request, value);
        const HRESULT hr = BeforeIO(request, value);
        if (FAILED(hr))
            return hr;
        return DispatchDriverOperation(request, value);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CIOHost::DispatchDriverOperation(TagRequest* request, HVALUE value)
{
    switch (request->operation)
    {
    case IO_OP_READ_VALUE:
        return ReadValue(request, value);
    case IO_OP_WRITE_VALUE:
        return WriteValue(request, value);
    case IO_OP_READ_BLOCK:
        return ReadBlock(request, value);
    case IO_OP_WRITE_BLOCK:
        return WriteBlock(request, value);
    case IO_OP_READ_BLOCK_ELEMENT:
        return ReadBlockElement(request, value);
    case IO_OP_WRITE_BLOCK_ELEMENT:
        return WriteBlockElement(request, value);
    case IO_OP_MASK_WRITE_VALUE:
        return MaskWriteValue(request, value);
    case IO_OP_MASK_WRITE_BLOCK_ELEMENT:
        return MaskWriteBlockElement(request, value);
    default:
        return E_NOTIMPL;
    }
}

HRESULT CIOHost::ReadValue(TagRequest* request, HVALUE value) { return ReadTag(request, value); }
HRESULT CIOHost::WriteValue(TagRequest* request, HVALUE value) { return WriteTag(request, value); }
HRESULT CIOHost::ReadBlock(TagRequest* request, HVALUE value) { return ReadTag(request, value); }
HRESULT CIOHost::WriteBlock(TagRequest* request, HVALUE value) { return WriteTag(request, value); }
HRESULT CIOHost::ReadBlockElement(TagRequest* request, HVALUE value) { return ReadTag(request, value); }
HRESULT CIOHost::WriteBlockElement(TagRequest* request, HVALUE value) { return WriteTag(request, value); }
HRESULT CIOHost::MaskWriteValue(TagRequest* request, HVALUE value) { return MaskWrite(request, value); }
HRESULT CIOHost::MaskWriteBlockElement(TagRequest* request, HVALUE value) { return MaskWrite(request, value); }
HRESULT CIOHost::MaskWrite(TagRequest* request, HVALUE value) { return WriteTag(request, value); }
HRESULT CIOHost::ReadTag(TagRequest*, HVALUE) { return E_NOTIMPL; }
HRESULT CIOHost::WriteTag(TagRequest*, HVALUE) { return E_NOTIMPL; }

HRESULT CIOHost::BeforeIO(TagRequest*, HVALUE)
{
    WaitInterfaceReady();
    return S_OK;
}

// --- Notifications of the physical layer -----------------------------------------------------

HRESULT CIOHost::OnInterfaceConnected() { return S_OK; }
HRESULT CIOHost::OnInterfaceDisconnected() { return S_OK; }
HRESULT CIOHost::CanReceiveUnsolicited() { return E_FAIL; }
void CIOHost::OnBeforeSend(CBuffer*) {}
HRESULT CIOHost::OnPacketReceived(CBuffer*) { return S_OK; }
HRESULT CIOHost::OnUnsolicitedPacket(CBuffer*) { return E_FAIL; }
void CIOHost::OnPacketSent(CBuffer*) {}
void CIOHost::OnBeforeInterfaceStart() {}
void CIOHost::OnInterfaceStarted(HRESULT) {}
void CIOHost::OnInterfaceStopped() {}
void CIOHost::BeforeInterfaceStop() {}
void CIOHost::OnParameterChanged(const char*) {}

HRESULT CIOHost::OnDataAvailable(IIOInputStream* stream, CBuffer* packet, CBuffer* requestPacket)
{
    CLockGuard guard(m_streamLock);
    if (stream)
        stream->AddRef();
    if (m_stream)
        m_stream->Release();
    m_stream = stream;
    const HRESULT hr = ReadPacket(packet, requestPacket);
    if (m_stream)
        m_stream->Release();
    m_stream = nullptr;
    return hr;
}

// --- Events ----------------------------------------------------------------------------------

HRESULT CIOHost::PostEvent(int32_t type, int32_t source, int32_t number, const char* format, va_list args)
{
    if (format == nullptr)
        return E_POINTER;
    std::string description;
    try
    {
        va_list again;
        va_copy(again, args);
        const int length = std::vsnprintf(nullptr, 0, format, again);
        va_end(again);
        if (length > 0)
        {
            description.resize(static_cast<size_t>(length));
            std::vsnprintf(description.data(), description.size() + 1, format, args);
        }
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    CHeldValue event(hvCreate());
    if (!event)
        return E_OUTOFMEMORY;
    if (!hvMakeArray(event.Get(), HV_HVAL, 4) || !hvSetElementI32(event.Get(), 0, type) ||
        !hvSetElementI32(event.Get(), 1, source) || !hvSetElementI32(event.Get(), 2, number) ||
        !hvSetElementText(event.Get(), 3, description.c_str()))
        return E_OUTOFMEMORY;
    hvSetTimestamp(event.Get(), hvNow());

    {
        CLockGuard guard(m_eventLock);
        try
        {
            m_events.push_back(event.Get());
        }
        catch (const std::bad_alloc&)
        {
            return E_OUTOFMEMORY;
        }
        event.Detach();
        while (m_events.size() > IO_EVENT_QUEUE_LIMIT)
        {
            hvRelease(m_events.front());
            m_events.pop_front();
        }
    }
    return S_OK;
}

HRESULT CIOHost::PostEventF(int32_t type, int32_t source, int32_t number, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const HRESULT hr = PostEvent(type, source, number, format, args);
    va_end(args);
    return hr;
}

size_t CIOHost::QueuedEventCount()
{
    CLockGuard guard(m_eventLock);
    return m_events.size();
}

// --- Statistics ------------------------------------------------------------------------------

HRESULT CIOHost::GetStatistic(uint32_t number, HVALUE value)
{
    if (value == nullptr)
        return E_POINTER;
    STotals totals;
    SPhysicalLayerStatistics layer{};
    {
        CLockGuard guard(m_statsLock);
        totals = m_totals;
        if (TIOPtr<IIOInterface> itf = Interface(); itf && FAILED(itf->GetStatistics(&layer)))
            layer = SPhysicalLayerStatistics{};
    }

    int ok = 0;
    switch (number)
    {
    case 1000:
        ok = hvSetU32(value, totals.bytesSent + layer.Total.BytesSent);
        break;
    case 1001:
        ok = hvSetU32(value, totals.bytesRecv + layer.Total.BytesRecv);
        break;
    case 1002:
        ok = hvSetR64(value, static_cast<double>(totals.timeConnected + layer.Total.TimeConnected) * 0.001);
        break;
    case 1003:
        ok = hvSetR64(value, static_cast<double>(totals.timeDisconnected + layer.Total.TimeDisconnected) * 0.001);
        break;
    case 1004:
        ok = hvSetU32(value, totals.connectionCount + layer.Total.ConnectionCount);
        break;
    case 1100:
        ok = hvSetU32(value, layer.Partial.BytesSent);
        break;
    case 1101:
        ok = hvSetU32(value, layer.Partial.BytesRecv);
        break;
    case 1102:
        ok = hvSetR64(value, static_cast<double>(layer.Partial.TimeConnected) * 0.001);
        break;
    case 1103:
        ok = hvSetR64(value, static_cast<double>(layer.Partial.TimeDisconnected) * 0.001);
        break;
    default:
        return E_NOTIMPL;
    }
    return ok ? S_OK : E_FAIL;
}

// --- Status names ----------------------------------------------------------------------------

HRESULT CIOHost::GetStatus(const char* name, HVALUE value)
{
    if (name == nullptr || value == nullptr)
        return E_POINTER;
    try
    {
        if (IsLogEnableStatus(name))
            return GetLogEnable(name, value);
        if (IsLogFilenameStatus(name))
            return GetLogFilename(name, value);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    Log(this, LOG_DRIVER, "drvGetStatus('%s') = error, invalid parameter", name);
    return E_INVALIDARG;
}

HRESULT CIOHost::SetStatus(const char* name, HVALUE value)
{
    if (name == nullptr || value == nullptr)
        return E_POINTER;
    try
    {
        if (IsLogEnableStatus(name))
            return SetLogEnable(name, value);
        if (IsLogFilenameStatus(name))
            return SetLogFilename(name, value);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    Log(this, LOG_DRIVER, "drvSetStatus('%s') = error, invalid parameter", name);
    return E_INVALIDARG;
}

HRESULT CIOHost::GetLogEnable(const char* name, HVALUE value)
{
    hvClear(value);
    const int32_t enable = m_config.GetInteger("IO.Log.Enable");
    if (!hvSetI32(value, enable))
        return E_OUTOFMEMORY;
    Log(this, LOG_DRIVER, "drvGetStatus('%s') = %d (%s)", name, enable, enable != 0 ? "ON" : "OFF");
    return S_OK;
}

HRESULT CIOHost::GetLogFilename(const char* name, HVALUE value)
{
    hvClear(value);
    const std::string file = ConfigText(m_config, "IO.Log.Filename", "");
    if (!hvSetText(value, file.c_str()))
        return E_OUTOFMEMORY;
    Log(this, LOG_DRIVER, "drvGetStatus('%s') = '%s'", name, file.c_str());
    return S_OK;
}

HRESULT CIOHost::SetLogEnable(const char* name, HVALUE value)
{
    int32_t enable = 0;
    if (!hvGetI32(value, &enable) || !m_config.SetI32("IO.Log.Enable", enable))
        return E_INVALIDARG;
    // Each line goes to the log that is open at that moment: before closing, after opening.
    if (enable == 0)
        Log(this, LOG_DRIVER, "drvSetStatus('%s') = OFF", name);
    ApplyLogSettings(true);
    if (enable != 0)
        Log(this, LOG_DRIVER, "drvSetStatus('%s') = ON", name);
    return S_OK;
}

HRESULT CIOHost::SetLogFilename(const char* name, HVALUE value)
{
    const char* text = nullptr;
    if (!hvGetText(value, &text) || text == nullptr)
        return E_INVALIDARG;
    const std::string file = text;
    if (!m_config.SetText("IO.Log.Filename", file.c_str()))
        return E_INVALIDARG;
    Log(this, LOG_DRIVER, "drvSetStatus('%s') = '%s' (before apply)", name, file.c_str());
    ApplyLogSettings(true);
    Log(this, LOG_DRIVER, "drvSetStatus('%s') = '%s' (after apply)", name, file.c_str());
    return S_OK;
}

void CIOHost::ParametersChanged(const std::vector<std::string>& names)
{
    bool logChanged = false;
    for (const std::string& name : names)
    {
        OnParameterChanged(name.c_str());
        logChanged = logChanged || IsLogKey(name);
    }
    if (logChanged)
        ApplyLogSettings(true);
}
