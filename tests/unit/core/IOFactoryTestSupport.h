// A driver instance over a stand-in driver: a factory whose host records every request it
// is handed and owns one cache section, and whose driver slots are steered by the test.
#pragma once
#include "LoggerTestSupport.h"
#include "core/IOCache.h"
#include "core/IOCacheSectionEventSink.h"
#include "core/IOFactory.h"
#include "core/IOHost.h"
#include "core/IOPropertyPage.h"
#include "dravo/hvalue.h"
#include "platform/Text.h"

#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace factory_test
{
using Value = std::unique_ptr<hvValueRecord, decltype(&hvRelease)>;

inline Value NewValue()
{
    return Value(hvCreate(), &hvRelease);
}

inline Value I32(int32_t x)
{
    Value v = NewValue();
    hvSetI32(v.get(), x);
    return v;
}

// What the host received of one request.
struct SSeenRequest
{
    uint16_t version = 0;
    uint16_t operation = 0;
    uint16_t size = 0;
    uint16_t n1 = 0, n2 = 0, n3 = 0, n4 = 0;
    uint32_t andMask = 0, orMask = 0;
    uint8_t carried28 = 0, carried29 = 0;
    HVALUE value = nullptr;
    HVALUE status = nullptr;
    uint8_t statusType = 0xFF;
    IIOUnknown* tagObject = nullptr;
    std::string item;
};

// Shared by the test, its factory and the factory's hosts.
struct SProbe
{
    std::mutex lock;
    std::vector<SSeenRequest> requests;
    std::atomic<int> hostsMade{0};
    std::atomic<int> hostsAlive{0};
    std::atomic<int> hostsStopped{0};
    std::atomic<int> pagesAlive{0};
    std::atomic<bool> failCreateHost{false};
    HRESULT hostResult = S_OK;

    std::vector<SSeenRequest> Requests()
    {
        std::lock_guard guard(lock);
        return requests;
    }
};

// The tag object a driver's validation attaches to a tag.
class CTagObject : public TIOUnknown<IIOUnknown>
{
};

// A host whose reads and writes are recorded and answered with the probe's result. While
// it lives it owns the section "TestCache", which keys every subscription by its item text.
class CTestHost : public CIOHost
{
public:
    CTestHost(CIOGlobals* globals, const CConfigData& config, CIOCache* cache, SProbe& probe)
        : CIOHost(globals, config), m_probe(probe), m_sink(TIOPtr<CSink>::Adopt(new CSink(this)))
    {
        ++m_probe.hostsMade;
        ++m_probe.hostsAlive;
        if (cache)
            cache->OpenSection("TestCache", m_sink.Get(), m_section.Out());
    }

    HRESULT ReadPacket(CBuffer*, CBuffer*) override { return E_NOTIMPL; }
    HRESULT ReadTag(TagRequest* request, HVALUE value) override { return Record(request, value); }
    HRESULT WriteTag(TagRequest* request, HVALUE value) override { return Record(request, value); }

    void Stop() override
    {
        ++m_probe.hostsStopped;
        m_sink->Detach();
        m_section = nullptr;
        CIOHost::Stop();
    }

    IIOCacheSection* Section() const { return m_section.Get(); }

    // The sink's owner side.
    HRESULT MakeKey(const SCacheTagAddress& address, std::string& key)
    {
        key = address.item;
        return S_OK;
    }
    void OnTagActivated(IIOCacheTag*) {}
    void OnTagDeactivated(IIOCacheTag*, int&) {}

protected:
    ~CTestHost() override
    {
        m_sink->Detach();
        --m_probe.hostsAlive;
    }

private:
    using CSink = TIOCacheSectionEventSink<CTestHost>;

    HRESULT Record(TagRequest* r, HVALUE value)
    {
        SSeenRequest seen;
        seen.version = r->version;
        seen.operation = r->operation;
        seen.size = r->size;
        seen.n1 = r->n1;
        seen.n2 = r->n2;
        seen.n3 = r->n3;
        seen.n4 = r->n4;
        seen.andMask = r->andMask;
        seen.orMask = r->orMask;
        seen.carried28 = r->carried28;
        seen.carried29 = r->carried29;
        seen.value = value;
        seen.status = r->status;
        seen.statusType = r->status ? hvGetType(r->status) : 0xFF;
        seen.tagObject = r->tagObject;
        seen.item = r->item ? Utf16ToUtf8(r->item) : "";
        std::lock_guard guard(m_probe.lock);
        m_probe.requests.push_back(seen);
        return m_probe.hostResult;
    }

    SProbe& m_probe;
    TIOPtr<CSink> m_sink;
    TIOPtr<IIOCacheSection> m_section;
};

class CTestPage : public CIOPropertyPage
{
public:
    CTestPage(CIOGlobals* globals, CConfigData& store, uint32_t index, SProbe& probe)
        : CIOPropertyPage(globals, store), index(index), m_probe(probe)
    {
        ++m_probe.pagesAlive;
    }
    ~CTestPage() override { --m_probe.pagesAlive; }

    const uint32_t index;

private:
    SProbe& m_probe;
};

// The driver slots: items "good..." validate (numbers 1.2.3.4 and a tag object), every
// other driver item fails; numbers validate with N2 raised by 100 when N1 is 7. Tags whose
// item starts with "IO." are the framework's.
class CTestFactory : public CIOFactory
{
public:
    CTestFactory(CIOGlobals* globals, SProbe& probe) : CIOFactory(globals), m_probe(probe) {}

    int IsDriverTag(const TagRequest* request) override
    {
        const std::string item = request->item ? Utf16ToUtf8(request->item) : "";
        return item.starts_with("IO.") ? 0 : 1;
    }

    CIOHost* CreateHost(uint16_t, uint16_t, uint16_t, uint16_t) override
    {
        if (m_probe.failCreateHost)
            return nullptr;
        return new CTestHost(Globals(), Config(), Cache(), m_probe);
    }

    void WriteDefaults(CConfigData* store) override
    {
        store->SetI32("IO.TimeoutMs", 1000);
        store->SetText("Test.Driver", "defaults");
    }

    CIOPropertyPage* CreatePage(CConfigData* store, uint32_t index) override
    {
        return index < pageCount ? new CTestPage(Globals(), *store, index, m_probe) : nullptr;
    }

    HRESULT ValidateItem(const char16_t* device, const char16_t* item, TagInfo* info) override
    {
        itemsValidated.push_back(Utf16ToUtf8(device) + "|" + Utf16ToUtf8(item));
        if (!Utf16ToUtf8(item).starts_with("good"))
            return IO_E_INVALID_ITEM;
        info->type = HV_R64;
        info->n1 = 1;
        info->n2 = 2;
        info->n3 = 3;
        info->n4 = 4;
        info->tagObject = new CTagObject();
        return S_OK;
    }

    HRESULT ValidateNumbers(TagInfo* info) override
    {
        numbersValidated.push_back(*info);
        if (info->n1 == 7)
            info->n2 = static_cast<uint16_t>(info->n2 + 100);
        if (info->n1 == 8)
            info->tagObject = new CTagObject();
        return info->n1 == 9 ? E_FAIL : S_OK;
    }

    void ImportDriverTags(IIOTagBrowser* browser) override
    {
        BrowseEntry entry{};
        entry.recordSize = BROWSE_ENTRY_SIZE;
        entry.kind = BROWSE_TAG;
        entry.name = u"DriverTag";
        entry.item = u"DriverTag";
        browser->Add(&entry, nullptr, 0);
    }

    HRESULT ShowDialog(void* parentWindow, const std::string& title,
                       const std::vector<CIOPropertyPage*>& pages) override
    {
        dialogTitle = title;
        dialogParent = parentWindow;
        for (CIOPropertyPage* page : pages)
            dialogPages.push_back(static_cast<CTestPage*>(page)->index);
        if (onDialog)
            onDialog(Config());
        return dialogResult;
    }

    uint32_t pageCount = 0;
    HRESULT dialogResult = E_FAIL;
    std::function<void(CConfigData&)> onDialog;
    std::string dialogTitle;
    void* dialogParent = nullptr;
    std::vector<uint32_t> dialogPages;
    std::vector<std::string> itemsValidated;
    std::vector<TagInfo> numbersValidated;

protected:
    ~CTestFactory() override = default;

private:
    SProbe& m_probe;
};

// The instance over a log that tests read back. Hosts reopen the log from the store, so
// the store names the capture's file.
class FactoryTest : public testing::Test
{
protected:
    FactoryTest()
    {
        factory->Config().SetI32("IO.Log.Enable", 1);
        factory->Config().SetText("IO.Log.Filename", log.Path().string().c_str());
    }

    ~FactoryTest() override { factory = nullptr; }

    CTestHost* RunningHost() const { return static_cast<CTestHost*>(factory->Host().Get()); }

    std::vector<std::string> Lines(const char* category) const { return log.Messages(category); }

    static bool Contains(const std::vector<std::string>& lines, const std::string& line)
    {
        for (const std::string& l : lines)
            if (l == line)
                return true;
        return false;
    }

    CLogCapture log;
    SProbe probe;
    TIOPtr<CTestFactory> factory = TIOPtr<CTestFactory>::Adopt(new CTestFactory(log.Globals(), probe));
};
} // namespace factory_test
