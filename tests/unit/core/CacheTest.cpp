#include "LoggerTestSupport.h"
#include "core/IOCache.h"
#include "core/IOCacheSectionEventSink.h"
#include "dravo/hvalue.h"
#include "platform/Text.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Value = std::unique_ptr<hvValueRecord, decltype(&hvRelease)>;

Value I32(int32_t x, double timestamp = 0)
{
    Value v(hvCreate(), &hvRelease);
    hvSetI32(v.get(), x);
    hvSetTimestamp(v.get(), timestamp);
    return v;
}

Value List(std::initializer_list<int32_t> entries)
{
    Value list(hvCreate(), &hvRelease);
    hvMakeList(list.get(), 0);
    for (int32_t x : entries)
        hvListAppend(list.get(), I32(x).get());
    return list;
}

bool Contains(const std::vector<std::string>& lines, const std::string& part)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

// The host's side: records every notification; an optional hook runs inside Notify.
class CCallback : public TIOUnknown<IIOAdviseCallback>
{
public:
    struct SCall
    {
        uint32_t number;
        bool hasValue;
        int32_t value;
        double timestamp;
        uint32_t flags;
    };

    HRESULT Notify(uint32_t number, HVALUE value, uint32_t flags) override
    {
        const int inside = ++m_inside;
        m_maxInside = std::max(m_maxInside.load(), inside);
        SCall call{number, value != nullptr, 0, 0, flags};
        if (value)
        {
            hvGetI32(value, &call.value);
            hvGetTimestamp(value, &call.timestamp);
        }
        {
            std::lock_guard guard(m_mutex);
            m_calls.push_back(call);
        }
        const HRESULT hr = hook ? hook(number, value) : S_OK;
        --m_inside;
        return hr;
    }

    std::vector<SCall> Calls()
    {
        std::lock_guard guard(m_mutex);
        return m_calls;
    }
    std::vector<int32_t> Values(uint32_t number)
    {
        std::vector<int32_t> out;
        for (const SCall& c : Calls())
            if (c.number == number)
                out.push_back(c.value);
        return out;
    }
    int MaxConcurrent() const { return m_maxInside; }

    std::function<HRESULT(uint32_t, HVALUE)> hook;

private:
    std::mutex m_mutex;
    std::vector<SCall> m_calls;
    std::atomic<int> m_inside{0};
    std::atomic<int> m_maxInside{0};
};

// The driver's side of a section: the item text is the key; items starting with the
// declined prefix are refused.
class CDriver
{
public:
    HRESULT MakeKey(const SCacheTagAddress& address, std::string& key)
    {
        if (!decline.empty() && address.item.starts_with(decline))
            return E_FAIL;
        key = address.item;
        return S_OK;
    }
    void OnTagActivated(IIOCacheTag* tag) { events.push_back("+" + tag->GetAddress()->item); }
    void OnTagDeactivated(IIOCacheTag* tag, int& keepValue)
    {
        events.push_back("-" + tag->GetAddress()->item);
        keepValue = keep;
    }

    std::string decline;
    int keep = 0;
    std::vector<std::string> events;
};

using CSink = TIOCacheSectionEventSink<CDriver>;

class CacheTest : public testing::Test
{
protected:
    ~CacheTest() override
    {
        sink->Detach();
        cache->Shutdown();
    }

    TIOPtr<IIOCacheSection> Open(const char* name = "MQTTCache", CSink* with = nullptr)
    {
        TIOPtr<IIOCacheSection> section;
        EXPECT_EQ(S_OK, cache->OpenSection(name, with ? with : sink.Get(), section.Out()));
        return section;
    }

    HRESULT Subscribe(const std::string& item, uint32_t number, IIOAdviseCallback* to = nullptr,
                      const std::string& device = "", uint32_t scan = 1000)
    {
        const std::u16string item16 = Utf8ToUtf16(item), device16 = Utf8ToUtf16(device);
        TagRequest request{};
        request.version = TAG_REQUEST_VERSION_CURRENT;
        request.item = item16.c_str();
        request.device = device16.c_str();
        request.scan = scan;
        return cache->Subscribe(&request, to ? to : callback.Get(), number);
    }

    static TIOPtr<IIOCacheTag> Tag(IIOCacheSection* section, const char* key)
    {
        TIOPtr<IIOCacheTag> tag;
        SCacheTagAddress address;
        address.item = key;
        EXPECT_TRUE(SUCCEEDED(section->FindOrCreateTag(key, &address, tag.Out())));
        return tag;
    }

    std::vector<std::string> TagLines() const { return log.Messages("TAG"); }

    CLogCapture log;
    TIOPtr<CIOCache> cache = TIOPtr<CIOCache>::Adopt(new CIOCache(log.Globals()));
    CDriver driver;
    TIOPtr<CSink> sink = TIOPtr<CSink>::Adopt(new CSink(&driver));
    TIOPtr<CCallback> callback = TIOPtr<CCallback>::Adopt(new CCallback);
};

TEST_F(CacheTest, SubscriptionWaitsUntilASectionTakesIt)
{
    ASSERT_EQ(S_OK, Subscribe("a", 1));
    EXPECT_EQ(1u, cache->WaitingCount());
    EXPECT_TRUE(driver.events.empty());

    TIOPtr<IIOCacheSection> section = Open();
    EXPECT_EQ(0u, cache->WaitingCount());
    EXPECT_EQ(1u, cache->AttachedCount());
    EXPECT_EQ((std::vector<std::string>{"+a"}), driver.events);

    EXPECT_EQ(S_OK, Tag(section.Get(), "a")->UpdateValues(I32(5).get(), 7));
    const auto calls = callback->Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(1u, calls[0].number);
    EXPECT_EQ(5, calls[0].value);
    EXPECT_EQ(7u, calls[0].flags);
}

TEST_F(CacheTest, ValueWithoutSubscriberIsKeptForALaterOne)
{
    TIOPtr<IIOCacheSection> section = Open();
    TIOPtr<IIOCacheTag> tag;
    SCacheTagAddress address;
    address.item = "t";
    ASSERT_EQ(S_OK, section->FindOrCreateTag("t", &address, tag.Out()));
    TIOPtr<IIOCacheTag> again;
    EXPECT_EQ(S_FALSE, section->FindOrCreateTag("t", &address, again.Out()));
    EXPECT_EQ(tag.Get(), again.Get());

    EXPECT_EQ(S_FALSE, tag->UpdateValues(I32(42, 1700000000.25).get(), 3));
    EXPECT_TRUE(Contains(TagLines(), "Tag('t').CachedValue = ("));
    EXPECT_TRUE(callback->Calls().empty());

    ASSERT_EQ(S_OK, Subscribe("t", 9));
    const auto calls = callback->Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(42, calls[0].value);
    EXPECT_EQ(3u, calls[0].flags);
    EXPECT_DOUBLE_EQ(1700000000.25, calls[0].timestamp);
    const auto lines = TagLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(0u, lines.back().rfind("<== (", 0)) << lines.back();
    EXPECT_NE(std::string::npos, lines.back().find(") Tag('t').Callback[9] = (")) << lines.back();
    EXPECT_TRUE(lines.back().ends_with(" 42 (CurrentValue!)")) << lines.back();
}

TEST_F(CacheTest, ListUpdateDeliversEachEntryInOrderAndNullAsNoValue)
{
    TIOPtr<IIOCacheSection> section = Open();
    ASSERT_EQ(S_OK, Subscribe("l", 1));
    TIOPtr<IIOCacheTag> tag = Tag(section.Get(), "l");

    EXPECT_EQ(S_OK, tag->UpdateValues(List({10, 20, 30}).get(), 0));
    EXPECT_EQ((std::vector<int32_t>{10, 20, 30}), callback->Values(1));

    EXPECT_EQ(S_OK, tag->UpdateValues(nullptr, 4));
    const auto calls = callback->Calls();
    ASSERT_EQ(4u, calls.size());
    EXPECT_FALSE(calls[3].hasValue);
    EXPECT_EQ(4u, calls[3].flags);
}

struct DuplicateCase
{
    bool withSection;
};

class CacheDuplicateTest : public CacheTest, public testing::WithParamInterface<DuplicateCase>
{
};

TEST_P(CacheDuplicateTest, NumbersAreUniqueWhetherWaitingOrAttached)
{
    TIOPtr<IIOCacheSection> section;
    if (GetParam().withSection)
        section = Open();
    ASSERT_EQ(S_OK, Subscribe("a", 1));
    EXPECT_EQ(E_FAIL, Subscribe("b", 1));
    EXPECT_EQ(E_FAIL, cache->Unsubscribe(2));
    EXPECT_EQ(S_OK, cache->Unsubscribe(1));
    EXPECT_EQ(E_FAIL, cache->Unsubscribe(1));
    EXPECT_EQ(S_OK, Subscribe("b", 1));
    EXPECT_TRUE(Contains(TagLines(), "Tag('a').Callback[1].Stop"));
}

INSTANTIATE_TEST_SUITE_P(Maps, CacheDuplicateTest,
                         testing::Values(DuplicateCase{false}, DuplicateCase{true}));

TEST_F(CacheTest, NullArgumentsAreRefused)
{
    TagRequest request{};
    EXPECT_EQ(E_POINTER, cache->Subscribe(&request, nullptr, 1));
    EXPECT_EQ(E_POINTER, cache->Subscribe(nullptr, callback.Get(), 1));
    TIOPtr<IIOCacheSection> section;
    EXPECT_EQ(E_POINTER, cache->OpenSection("s", nullptr, section.Out()));
    EXPECT_EQ(E_POINTER, cache->OpenSection("s", sink.Get(), nullptr));
    section = Open();
    EXPECT_EQ(E_POINTER, section->FindTag("x", nullptr));
    TIOPtr<IIOCacheTag> tag;
    EXPECT_EQ(E_FAIL, section->FindTag("x", tag.Out()));
    EXPECT_FALSE(tag);
}

TEST_F(CacheTest, SubscriptionAddressTextCarriesDeviceAndNumbers)
{
    ASSERT_EQ(S_OK, Subscribe("item", 5, nullptr, "dev"));
    ASSERT_EQ(S_OK, cache->Unsubscribe(5));
    EXPECT_TRUE(Contains(TagLines(), "Tag({dev}'item').Callback[5].Stop"));
}

TEST_F(CacheTest, ClosingTheSectionReturnsSubscriptionsToWaitingAndReopeningAttachesThem)
{
    TIOPtr<IIOCacheSection> section = Open();
    ASSERT_EQ(S_OK, Subscribe("a", 1));
    ASSERT_EQ(S_OK, Subscribe("b", 2));
    TIOPtr<IIOCacheTag> oldTag = Tag(section.Get(), "a");
    section = nullptr;

    EXPECT_EQ(2u, cache->WaitingCount());
    EXPECT_EQ(0u, cache->AttachedCount());
    EXPECT_EQ((std::vector<std::string>{"+a", "+b", "-a", "-b"}), driver.events);
    // A tag the driver still holds lost its subscriptions with its section.
    EXPECT_EQ(S_FALSE, oldTag->UpdateValues(I32(1).get(), 0));

    section = Open();
    EXPECT_EQ(2u, cache->AttachedCount());
    EXPECT_EQ((std::vector<std::string>{"+a", "+b", "-a", "-b", "+a", "+b"}), driver.events);
    EXPECT_EQ(S_OK, Tag(section.Get(), "b")->UpdateValues(I32(8).get(), 0));
    EXPECT_EQ((std::vector<int32_t>{8}), callback->Values(2));
}

class CacheKeepTest : public CacheTest, public testing::WithParamInterface<int>
{
};

TEST_P(CacheKeepTest, KeepDecidesWhetherTheValueOutlivesTheLastSubscription)
{
    driver.keep = GetParam();
    TIOPtr<IIOCacheSection> section = Open();
    ASSERT_EQ(S_OK, Subscribe("k", 1));
    TIOPtr<IIOCacheTag> tag = Tag(section.Get(), "k");
    ASSERT_EQ(S_OK, tag->UpdateValues(I32(3).get(), 0));
    ASSERT_EQ(S_OK, cache->Unsubscribe(1));
    EXPECT_EQ((std::vector<std::string>{"+k", "-k"}), driver.events);

    ASSERT_EQ(S_OK, Subscribe("k", 2));
    EXPECT_EQ(GetParam() ? std::vector<int32_t>{3} : std::vector<int32_t>{}, callback->Values(2));
}

INSTANTIATE_TEST_SUITE_P(Keep, CacheKeepTest, testing::Values(0, 1));

TEST_F(CacheTest, SectionsAreOfferedSubscriptionsInNameOrder)
{
    CDriver other;
    TIOPtr<CSink> otherSink = TIOPtr<CSink>::Adopt(new CSink(&other));
    driver.decline = "x";
    TIOPtr<IIOCacheSection> b = Open("b", otherSink.Get());
    TIOPtr<IIOCacheSection> a = Open("a", sink.Get());
    TIOPtr<IIOCacheSection> duplicate;
    EXPECT_EQ(E_FAIL, cache->OpenSection("B", sink.Get(), duplicate.Out()));

    ASSERT_EQ(S_OK, Subscribe("x1", 1));
    ASSERT_EQ(S_OK, Subscribe("y", 2));
    EXPECT_EQ((std::vector<std::string>{"+y"}), driver.events);
    EXPECT_EQ((std::vector<std::string>{"+x1"}), other.events);
    otherSink->Detach();
}

TEST_F(CacheTest, DetachedSinkDeclinesAndShutdownDetachesSections)
{
    TIOPtr<IIOCacheSection> section = Open();
    sink->Detach();
    ASSERT_EQ(S_OK, Subscribe("a", 1));
    EXPECT_EQ(1u, cache->WaitingCount());

    ASSERT_EQ(2u, callback->RefCount());
    cache->Shutdown();
    EXPECT_EQ(0u, cache->WaitingCount());
    EXPECT_EQ(1u, callback->RefCount());
    TIOPtr<IIOCacheTag> tag;
    SCacheTagAddress address;
    EXPECT_EQ(E_FAIL, section->FindOrCreateTag("a", &address, tag.Out()));
    EXPECT_EQ(E_FAIL, section->FindTag("a", tag.Out()));
}

// Records the keys it visits; fails the visit of `stopAt`.
class CVisitor : public IIOCacheTagVisitor
{
public:
    void Begin(uint32_t count) override { total = count; }
    HRESULT Visit(IIOCacheTag* tag) override
    {
        const std::string key = tag->GetAddress()->item;
        keys.push_back(key);
        return key == stopAt ? E_UNEXPECTED : S_OK;
    }
    uint32_t total = 0;
    std::vector<std::string> keys;
    std::string stopAt;
};

struct EnumCase
{
    const char* filter;
    uint32_t options;
    std::vector<std::string> keys;
    HRESULT status;
};

class CacheEnumTest : public CacheTest, public testing::WithParamInterface<EnumCase>
{
};

TEST_P(CacheEnumTest, OptionsSelectTagsInKeyOrder)
{
    TIOPtr<IIOCacheSection> section = Open();
    for (const char* key : {"b/a", "ab", "a/c", "a/b"})
        Tag(section.Get(), key);
    ASSERT_EQ(S_OK, Subscribe("a/b", 1));
    ASSERT_EQ(S_OK, Subscribe("b/a", 2));

    CVisitor visitor;
    EXPECT_EQ(GetParam().status, section->EnumTags(GetParam().filter, GetParam().options, &visitor));
    EXPECT_EQ(4u, visitor.total);
    EXPECT_EQ(GetParam().keys, visitor.keys);
}

using Keys = std::vector<std::string>;
INSTANTIATE_TEST_SUITE_P(
    Options, CacheEnumTest,
    testing::Values(EnumCase{"", 0, Keys{"a/b", "a/c", "ab", "b/a"}, S_OK},
                    EnumCase{"", CACHE_ENUM_ACTIVE_ONLY, Keys{"a/b", "b/a"}, S_OK},
                    EnumCase{"a/c", CACHE_ENUM_EXACT, Keys{"a/c"}, S_OK},
                    EnumCase{"", CACHE_ENUM_EXACT, Keys{}, S_FALSE},
                    EnumCase{"a/", CACHE_ENUM_PREFIX, Keys{"a/b", "a/c"}, S_OK},
                    EnumCase{"", CACHE_ENUM_PREFIX, Keys{"a/b", "a/c", "ab", "b/a"}, S_OK},
                    EnumCase{"b", CACHE_ENUM_CONTAINS, Keys{"a/b", "ab", "b/a"}, S_OK},
                    EnumCase{"a", CACHE_ENUM_PREFIX | CACHE_ENUM_ACTIVE_ONLY, Keys{"a/b"}, S_OK},
                    EnumCase{"zz", CACHE_ENUM_CONTAINS, Keys{}, S_FALSE}));

TEST_F(CacheTest, NegativeVisitEndsTheWalk)
{
    TIOPtr<IIOCacheSection> section = Open();
    for (const char* key : {"1", "2", "3"})
        Tag(section.Get(), key);
    CVisitor visitor;
    visitor.stopAt = "2";
    EXPECT_EQ(E_UNEXPECTED, section->EnumTags(nullptr, 0, &visitor));
    EXPECT_EQ((Keys{"1", "2"}), visitor.keys);
}

TEST_F(CacheTest, FailedNotificationIsLoggedAndDropped)
{
    TIOPtr<IIOCacheSection> section = Open();
    ASSERT_EQ(S_OK, Subscribe("f", 4));
    callback->hook = [](uint32_t, HVALUE) { return E_FAIL; };
    EXPECT_EQ(S_OK, Tag(section.Get(), "f")->UpdateValues(I32(6).get(), 0));
    EXPECT_EQ(1u, callback->Calls().size());
    EXPECT_TRUE(Contains(TagLines(), ") Tag('f').Callback[4] = ERROR(80004005), dropped ("));
}

TEST_F(CacheTest, ScanPeriodChangeIsLoggedAndStored)
{
    ASSERT_EQ(S_OK, Subscribe("s", 3, nullptr, "", 1000));
    EXPECT_FALSE(cache->FindSubscription(4));
    TIOPtr<CIOCacheAdvise> subscription = cache->FindSubscription(3);
    ASSERT_TRUE(subscription);
    EXPECT_EQ(1000u, subscription->ScanPeriod());
    subscription->SetScanPeriod(250);
    EXPECT_EQ(250u, subscription->ScanPeriod());
    EXPECT_TRUE(Contains(TagLines(), "Tag('s').Callback[3].SetScan 250ms"));
}

TEST_F(CacheTest, CallbackMayStopAndStartSubscriptionsFromInsideNotify)
{
    driver.keep = 1;
    TIOPtr<IIOCacheSection> section = Open();
    ASSERT_EQ(S_OK, Subscribe("r", 1));
    TIOPtr<IIOCacheTag> tag = Tag(section.Get(), "r");
    callback->hook = [&](uint32_t number, HVALUE)
    {
        if (number == 1)
        {
            EXPECT_EQ(S_OK, cache->Unsubscribe(1));
            EXPECT_EQ(S_OK, Subscribe("r", 2));
        }
        return S_OK;
    };
    EXPECT_EQ(S_OK, tag->UpdateValues(I32(11).get(), 0));
    // Number 2 got the cached value after number 1's notification returned.
    const auto calls = callback->Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(1u, calls[0].number);
    EXPECT_EQ(2u, calls[1].number);
    EXPECT_EQ(11, calls[1].value);
    EXPECT_EQ(1, callback->MaxConcurrent());
}

// Several producers update their own tags while the callback re-enters the cache and, on
// its first call, waits for another thread that needs the cache lock: that only finishes
// when no thread delivering holds the lock.
TEST_F(CacheTest, ConcurrentProducersAreDeliveredInOrderOutsideTheLock)
{
    constexpr int kProducers = 4;
    constexpr int kUpdates = 300;
    TIOPtr<IIOCacheSection> section = Open();
    std::vector<TIOPtr<IIOCacheTag>> tags;
    for (int p = 0; p < kProducers; ++p)
    {
        ASSERT_EQ(S_OK, Subscribe("p" + std::to_string(p), p));
        tags.push_back(Tag(section.Get(), ("p" + std::to_string(p)).c_str()));
    }
    std::atomic<bool> first{true};
    std::atomic<int> churn{0};
    callback->hook = [&](uint32_t number, HVALUE)
    {
        if (first.exchange(false))
        {
            std::thread other(
                [&]
                {
                    EXPECT_EQ(S_OK, Subscribe("side", 1000));
                    EXPECT_EQ(S_OK, cache->Unsubscribe(1000));
                });
            other.join();
        }
        if (number < kProducers && churn++ % 50 == 0)
        {
            // Stop and Start from inside Notify; the new subscription receives the current
            // value of its tag.
            const uint32_t extra = 100 + number;
            cache->Unsubscribe(extra);
            EXPECT_EQ(S_OK, Subscribe("p" + std::to_string(number), extra));
            if (TIOPtr<CIOCacheAdvise> s = cache->FindSubscription(extra))
                s->SetScanPeriod(10);
        }
        return S_OK;
    };

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back(
            [&, p]
            {
                for (int i = 0; i < kUpdates; ++i)
                    EXPECT_TRUE(SUCCEEDED(tags[p]->UpdateValues(I32(i).get(), 0)));
            });
    for (std::thread& t : producers)
        t.join();

    std::vector<int32_t> expected(kUpdates);
    for (int i = 0; i < kUpdates; ++i)
        expected[i] = i;
    for (int p = 0; p < kProducers; ++p)
        EXPECT_EQ(expected, callback->Values(p)) << "producer " << p;
    EXPECT_EQ(1, callback->MaxConcurrent());
    EXPECT_FALSE(first);
}
} // namespace
