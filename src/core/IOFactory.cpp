#include "core/IOFactory.h"

#include "core/BuiltinTags.h"
#include "core/IOCache.h"
#include "core/IOGlobals.h"
#include "core/IOHost.h"
#include "core/IOPropertyPage.h"
#include "core/IOTrace.h"
#include "dravo/IOServices.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace
{
bool IsEmpty(const char16_t* text)
{
    return text == nullptr || text[0] == 0;
}

uint32_t Hex(HRESULT hr)
{
    return static_cast<uint32_t>(hr);
}

// The fields every request layout shares: version, operation and the seven numbers.
struct SRequestHead
{
    uint16_t version;
    uint16_t operation;
    uint16_t count;
    uint16_t first;
    uint16_t size;
    uint16_t n1, n2, n3, n4;
};
static_assert(sizeof(SRequestHead) == offsetof(TagRequestOldA, andMask));
static_assert(offsetof(TagRequestOldA, andMask) == offsetof(TagRequestOldB, unused18));

// Bytes of an old record: a version-2 record ends after its status handle, older ones
// after the value handle.
template <class TOld> size_t OldRecordSize(uint16_t version)
{
    return version >= 2 ? sizeof(TOld) : offsetof(TOld, status);
}

template <class TOld> void CopyOldTail(const TOld& old, uint16_t version, TagRequest& out)
{
    out.value = old.value;
    out.status = version >= 2 ? old.status : nullptr;
}
} // namespace

HRESULT RebuildTagRequest(const TagRequest* old, TagRequest* rebuilt)
{
    if (old == nullptr || rebuilt == nullptr)
        return E_POINTER;
    // The caller's record may be shorter than TagRequest: read only what its layout holds.
    // Both layouts reach at least to byte 30, so the two readings of the masks and carried
    // bytes can be compared before the layout is known.
    const auto* bytes = reinterpret_cast<const unsigned char*>(old);
    static_assert(offsetof(TagRequestOldA, status) >= offsetof(TagRequestOldB, unused30));

    SRequestHead head;
    std::memcpy(&head, bytes, sizeof(head));
    TagRequestOldA a{};
    TagRequestOldB b{};
    std::memcpy(&a, bytes, offsetof(TagRequestOldA, value));
    std::memcpy(&b, bytes, offsetof(TagRequestOldB, unused30));

    const bool bUnused = b.andMask == 0 && b.orMask == 0 && b.carried28 == 0 && b.carried29 == 0;
    const bool aUnused = a.andMask == 0 && a.orMask == 0 && a.carried26 == 0 && a.carried27 == 0;
    bool layoutA = false;
    if (head.operation & IO_OP_BIT_MASKED)
        layoutA = true;
    else if (bUnused)
        layoutA = false;
    else if (aUnused)
        layoutA = true;
    else
        return E_FAIL;

    *rebuilt = TagRequest{};
    rebuilt->version = TAG_REQUEST_VERSION_REBUILT;
    rebuilt->operation = head.operation;
    rebuilt->count = head.count;
    rebuilt->first = head.first;
    rebuilt->size = head.size;
    rebuilt->n1 = head.n1;
    rebuilt->n2 = head.n2;
    rebuilt->n3 = head.n3;
    rebuilt->n4 = head.n4;
    if (layoutA)
    {
        std::memcpy(&a, bytes, OldRecordSize<TagRequestOldA>(head.version));
        rebuilt->andMask = a.andMask;
        rebuilt->orMask = a.orMask;
        rebuilt->carried28 = a.carried26;
        rebuilt->carried29 = a.carried27;
        CopyOldTail(a, head.version, *rebuilt);
        // Hosts of this layout asked for whole blocks with ReadValue.
        if (rebuilt->operation == IO_OP_READ_VALUE && rebuilt->size > 1)
            rebuilt->operation = IO_OP_READ_BLOCK;
    }
    else
    {
        std::memcpy(&b, bytes, OldRecordSize<TagRequestOldB>(head.version));
        rebuilt->andMask = b.andMask;
        rebuilt->orMask = b.orMask;
        rebuilt->carried28 = b.carried28;
        rebuilt->carried29 = b.carried29;
        CopyOldTail(b, head.version, *rebuilt);
    }
    return S_OK;
}

CIOFactory::CIOFactory(CIOGlobals* globals)
    : TIOApi(globals), m_config(globals), m_cache(TIOPtr<CIOCache>::Adopt(new CIOCache(globals)))
{
}

CIOFactory::~CIOFactory()
{
    // A host still running would keep its threads delivering into the cache.
    if (TIOPtr<CIOHost> host = TakeHost())
        host->Stop();
    if (m_cache)
        m_cache->Shutdown();
    m_cache = nullptr;
    if (m_settings)
        hvRelease(m_settings);
}

const char* CIOFactory::GetDriverName()
{
    return DRAVO_DRIVER_NAME;
}

uint32_t CIOFactory::GetCaps()
{
    return DRAVO_DRIVER_CAPS;
}

TIOPtr<CIOHost> CIOFactory::Host() const
{
    std::lock_guard guard(m_hostLock);
    return m_host;
}

TIOPtr<CIOHost> CIOFactory::TakeHost(const CIOHost* only)
{
    std::lock_guard guard(m_hostLock);
    if (only != nullptr && m_host.Get() != only)
        return nullptr;
    return std::move(m_host);
}

// --- Configuration ---------------------------------------------------------------------

void CIOFactory::SetSettingsHandle(HVALUE settings)
{
    CLockGuard guard(m_config.Lock());
    // The new reference is taken before the old one goes: the host may hand the same value
    // again, and the instance's reference may be the last one.
    if (settings)
        hvAddRef(settings);
    if (m_settings)
        hvRelease(m_settings);
    m_settings = settings;
    if (settings == nullptr)
    {
        m_config.Clear();
        return;
    }
    try
    {
        // A value that is not a stored configuration loads as an empty store, so it
        // receives the defaults like a new driver.
        m_config.Load(settings);
        if (m_config.Count() == 0)
        {
            m_config.SetFrameworkDefaults();
            WriteDefaults(&m_config);
            m_config.Save(settings);
        }
        else if (m_config.MigrateLegacyKeys())
        {
            m_config.Save(settings);
        }
    }
    catch (const std::bad_alloc&)
    {
        // Nothing is reported to the host; the store keeps what was applied.
    }
}

HRESULT CIOFactory::ShowDialog(void*, const std::string&, const std::vector<CIOPropertyPage*>&)
{
    return E_FAIL;
}

HRESULT CIOFactory::DriverDialog(void* parentWindow)
{
    try
    {
        {
            // Edits that were never saved are dropped.
            CLockGuard guard(m_config.Lock());
            m_config.Load(m_settings);
        }

        std::vector<std::unique_ptr<CIOPropertyPage>> owned;
        std::vector<CIOPropertyPage*> pages;
        for (uint32_t index = 0;; ++index)
        {
            std::unique_ptr<CIOPropertyPage> page(CreatePage(&m_config, index));
            if (!page)
                break;
            pages.push_back(page.get());
            owned.push_back(std::move(page));
        }

        char title[128];
        std::snprintf(title, sizeof(title), "%s (Dravo v%s)", DRAVO_DRIVER_SHORT_NAME,
                      DRAVO_LIB_VERSION_TEXT);
        HRESULT hr = ShowDialog(parentWindow, title, pages) == S_OK ? S_OK : E_FAIL;
        pages.clear();
        owned.clear();

        CLockGuard guard(m_config.Lock());
        if (hr == S_OK)
        {
            // Confirmed edits that cannot be stored are a failure, not a success.
            if (!m_config.Save(m_settings))
                hr = E_FAIL;
        }
        else
        {
            m_config.Load(m_settings);
        }
        return hr;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

// --- Communication -----------------------------------------------------------------------

HRESULT CIOFactory::StartComm(uint16_t a, uint16_t b, uint16_t c, uint16_t d)
{
    try
    {
        StopComm(a, b, c, d);
        TIOPtr<CIOHost> host = TIOPtr<CIOHost>::Adopt(CreateHost(a, b, c, d));
        if (!host)
            return E_OUTOFMEMORY;
        Log(this, LOG_DRIVER, "drvStartComm(%u,%u,%u,%u)", unsigned(a), unsigned(b), unsigned(c),
            unsigned(d));

        TIOPtr<CIOHost> replaced;
        {
            std::lock_guard guard(m_hostLock);
            replaced = std::move(m_host);
            m_host = host;
        }
        // Only a start racing this one leaves a host here; the last start wins.
        if (replaced)
            StopHost(std::move(replaced), a, b, c, d);

        const HRESULT hr = host->GoOnline(true);
        if (FAILED(hr))
        {
            if (TIOPtr<CIOHost> failed = TakeHost(host.Get()))
                StopHost(std::move(failed), a, b, c, d);
            return hr;
        }
        if (hr == S_FALSE && host->Config().GetInteger("IO.StartOffline") != 0)
            host->DumpConfiguration();
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CIOFactory::StopComm(uint16_t a, uint16_t b, uint16_t c, uint16_t d)
{
    TIOPtr<CIOHost> host = TakeHost();
    if (!host)
        return S_FALSE;
    try
    {
        StopHost(std::move(host), a, b, c, d);
    }
    catch (const std::bad_alloc&)
    {
        // The host is out of the instance either way; its release ends it.
    }
    return S_OK;
}

void CIOFactory::StopHost(TIOPtr<CIOHost> host, uint16_t a, uint16_t b, uint16_t c, uint16_t d)
{
    Log(this, LOG_DRIVER, "drvStopComm(%u,%u,%u,%u)", unsigned(a), unsigned(b), unsigned(c), unsigned(d));
    host->Stop();
}

// --- Requests and statuses ---------------------------------------------------------------

HRESULT CIOFactory::IO(TagRequest* request, HVALUE value)
{
    if (request == nullptr || value == nullptr)
        return E_POINTER;
    try
    {
        // Held for the whole call: a stop meanwhile cannot pull the host from under it.
        TIOPtr<CIOHost> host = Host();
        if (!host)
            return IO_E_NOT_STARTED;

        TagRequest rebuilt;
        std::unique_ptr<hvValueRecord, decltype(&hvRelease)> ownStatus(nullptr, &hvRelease);
        if (request->version < TAG_REQUEST_VERSION_CURRENT)
        {
            const HRESULT hr = RebuildTagRequest(request, &rebuilt);
            if (FAILED(hr))
                return hr;
            if (rebuilt.status == nullptr)
            {
                ownStatus.reset(hvCreate());
                if (!ownStatus)
                    return E_OUTOFMEMORY;
                rebuilt.status = ownStatus.get();
            }
            request = &rebuilt;
        }

        // The trace shows what is written and what was read: the value of the call, not the
        // record's value field that only framework tags use.
        TagRequest traced = *request;
        traced.value = value;
        CIOTrace trace(this, traced);
        const HRESULT hr = (request->flags & TAG_REQUEST_VALIDATED)
                               ? host->ProcessRequest(request, value)
                               : ValidateAndProcess(host.Get(), request, value);
        trace.Finish(hr);
        return hr;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CIOFactory::ValidateAndProcess(CIOHost* host, TagRequest* request, HVALUE value)
{
    // Texts and tag objects are only trusted once the host has validated the tag.
    if (!IsEmpty(request->device) || !IsEmpty(request->item) || request->tagObject != nullptr)
        return IO_E_UNVALIDATED_REQUEST;

    TagInfo info{};
    info.type = HV_HVAL;
    info.size = (request->operation & IO_OP_BIT_BLOCK) ? request->size : 0;
    info.n1 = request->n1;
    info.n2 = request->n2;
    info.n3 = request->n3;
    info.n4 = request->n4;
    HRESULT hr = Validate(u"", u"", &info);
    if (SUCCEEDED(hr))
    {
        request->n1 = info.n1;
        request->n2 = info.n2;
        request->n3 = info.n3;
        request->n4 = info.n4;
        // The tag object dies with this call, so it travels in a copy only: the host's
        // record must not keep a pointer to it.
        TagRequest validated = *request;
        validated.tagObject = info.tagObject;
        hr = host->ProcessRequest(&validated, value);
    }
    if (info.tagObject)
        info.tagObject->Release();
    return hr;
}

HRESULT CIOFactory::GetStatus(const char* name, HVALUE value)
{
    if (name == nullptr || value == nullptr)
        return E_POINTER;
    try
    {
        TIOPtr<CIOHost> host = Host();
        return host ? host->GetStatus(name, value) : IO_E_NOT_STARTED;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CIOFactory::SetStatus(const char* name, HVALUE value)
{
    if (name == nullptr || value == nullptr)
        return E_POINTER;
    try
    {
        TIOPtr<CIOHost> host = Host();
        return host ? host->SetStatus(name, value) : IO_E_NOT_STARTED;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

// --- Tag validation and the browser ------------------------------------------------------

HRESULT CIOFactory::Validate(const char16_t* device, const char16_t* item, TagInfo* info)
{
    if (info == nullptr)
        return E_POINTER;
    if (device == nullptr)
        device = u"";
    if (item == nullptr)
        item = u"";
    try
    {
        const std::string before = TagAddressText(device, item, *info);
        HRESULT hr;
        if (!IsEmpty(item))
        {
            hr = CBuiltinTags::MatchName(item, info);
            if (FAILED(hr))
                hr = ValidateItem(device, item, info);
        }
        else if (info->n1 == BUILTIN_N1)
            hr = CBuiltinTags::MatchNumbers(info);
        else if (!IsEmpty(device))
            hr = ValidateItem(device, item, info);
        else
            hr = ValidateNumbers(info);

        if (FAILED(hr))
        {
            Log(this, LOG_TAG, "Tag(%s).Validate = ERROR (%08X)", before.c_str(), Hex(hr));
            return hr;
        }
        const std::string after = TagAddressText(device, item, *info);
        if (after != before)
            Log(this, LOG_TAG, "Tag(%s).Validate = Tag(%s) (type=%u;flags=%u)", before.c_str(), after.c_str(),
                unsigned(info->type), unsigned(info->flags));
        else
            Log(this, LOG_TAG, "Tag(%s).Validate = SUCCESS (type=%u;flags=%u)", before.c_str(),
                unsigned(info->type), unsigned(info->flags));
        return hr;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CIOFactory::ImportTags(IIOTagBrowser* browser)
{
    if (browser == nullptr)
        return E_POINTER;
    try
    {
        CBuiltinTags::ImportTags(browser);
        ImportDriverTags(browser);
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

// --- Subscriptions -----------------------------------------------------------------------

HRESULT CIOFactory::Start(TagRequest* request, IIOAdviseCallback* callback, uint32_t callbackNumber)
{
    if (request == nullptr || callback == nullptr)
        return E_POINTER;
    if (!m_cache)
        return E_UNEXPECTED;
    try
    {
        // The framework's own tags are read on demand, never subscribed.
        if (IsDriverTag(request) == 0)
            return E_FAIL;
        const std::string text = RequestAddressText(*request);
        Log(this, LOG_TAG, "Tag(%s).Callback[%u].Start %ums", text.c_str(), callbackNumber, request->scan);
        const HRESULT hr = m_cache->Subscribe(request, callback, callbackNumber);
        if (FAILED(hr))
            Log(this, LOG_TAG, "Tag(%s).Callback[%u].Start %ums = ERROR (%08X)", text.c_str(), callbackNumber,
                request->scan, Hex(hr));
        return hr;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CIOFactory::Stop(uint32_t callbackNumber)
{
    if (!m_cache)
        return E_UNEXPECTED;
    try
    {
        const HRESULT hr = m_cache->Unsubscribe(callbackNumber);
        if (FAILED(hr))
            Log(this, LOG_TAG, "Callback[%u].Stop = ERROR (%08X)", callbackNumber, Hex(hr));
        return hr;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT CIOFactory::SetScan(uint32_t callbackNumber, uint32_t periodMs)
{
    if (!m_cache)
        return E_UNEXPECTED;
    try
    {
        CIOCacheLock lock(m_cache.Get());
        const TIOPtr<CIOCacheAdvise> subscription = m_cache->FindSubscription(callbackNumber);
        if (!subscription)
        {
            Log(this, LOG_TAG, "Callback[%u].SetScan %ums = ERROR (%08X)", callbackNumber, periodMs,
                Hex(E_FAIL));
            return E_FAIL;
        }
        subscription->SetScanPeriod(periodMs);
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}
