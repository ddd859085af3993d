// Tag subscriptions through the driver instance: start, stop and scan periods by callback
// number, subscriptions that outlive a stop of communication, and host callbacks that call
// back into the instance while values arrive on other threads.
#include "IOFactoryTestSupport.h"
#include "support/TestHelpers.h"

#include <atomic>
#include <thread>

using namespace factory_test;

namespace
{
// The host's callback; `hook` runs inside Notify.
class CCallback : public TIOUnknown<IIOAdviseCallback>
{
public:
    HRESULT Notify(uint32_t number, HVALUE value, uint32_t) override
    {
        int32_t x = 0;
        hvGetI32(value, &x);
        {
            std::lock_guard guard(m_lock);
            m_seen.emplace_back(number, x);
        }
        ++calls;
        return hook ? hook(number, x) : S_OK;
    }

    std::vector<std::pair<uint32_t, int32_t>> Seen()
    {
        std::lock_guard guard(m_lock);
        return m_seen;
    }

    std::function<HRESULT(uint32_t, int32_t)> hook;
    std::atomic<int> calls{0};

private:
    std::mutex m_lock;
    std::vector<std::pair<uint32_t, int32_t>> m_seen;
};

class AdviseTest : public FactoryTest
{
protected:
    AdviseTest() { advise = factory.Get(); }

    static TagRequest Subscription(const char16_t* item, uint32_t scan = 250)
    {
        TagRequest r{};
        r.version = TAG_REQUEST_VERSION_CURRENT;
        r.operation = IO_OP_READ_VALUE;
        r.flags = TAG_REQUEST_VALIDATED;
        r.item = item;
        r.scan = scan;
        return r;
    }

    HRESULT Start(const char16_t* item, uint32_t number, IIOAdviseCallback* to = nullptr)
    {
        TagRequest r = Subscription(item);
        return advise->Start(&r, to ? to : callback.Get(), number);
    }

    // Publishes `x` to the tag keyed `key` of the running host's section.
    HRESULT Publish(const char* key, int32_t x)
    {
        TIOPtr<CIOHost> host = factory->Host();
        IIOCacheSection* section = host ? static_cast<CTestHost*>(host.Get())->Section() : nullptr;
        if (section == nullptr)
            return E_UNEXPECTED;
        TIOPtr<IIOCacheTag> tag;
        SCacheTagAddress address;
        address.item = key;
        if (FAILED(section->FindOrCreateTag(key, &address, tag.Out())))
            return E_FAIL;
        return tag->UpdateValues(I32(x).get(), 0);
    }

    IIOAdviseTag* advise = nullptr;
    TIOPtr<CCallback> callback = TIOPtr<CCallback>::Adopt(new CCallback);
};
} // namespace

TEST_F(AdviseTest, StartChecksItsArgumentsAndRefusesFrameworkTags)
{
    TagRequest r = Subscription(u"topic");
    EXPECT_EQ(advise->Start(&r, nullptr, 1), E_POINTER);
    EXPECT_EQ(advise->Start(nullptr, callback.Get(), 1), E_POINTER);
    EXPECT_EQ(Start(u"IO.WorkOnline", 1), E_FAIL);
    EXPECT_EQ(factory->Cache()->WaitingCount(), 0u);
}

TEST_F(AdviseTest, CallbackNumbersAreUnique)
{
    EXPECT_EQ(Start(u"a", 1), S_OK);
    EXPECT_EQ(Start(u"b", 1), E_FAIL);
    EXPECT_EQ(Start(u"b", 2), S_OK);
    EXPECT_EQ(factory->Cache()->WaitingCount(), 2u);

    const auto lines = Lines("TAG");
    EXPECT_TRUE(Contains(lines, "Tag('a').Callback[1].Start 250ms"));
    EXPECT_TRUE(Contains(lines, "Tag('b').Callback[1].Start 250ms = ERROR (80004005)"));
}

TEST_F(AdviseTest, StopAndScanChangesFindTheSubscriptionByNumber)
{
    ASSERT_EQ(Start(u"a", 1), S_OK);
    EXPECT_EQ(advise->SetScan(1, 100), S_OK);
    EXPECT_EQ(factory->Cache()->FindSubscription(1)->ScanPeriod(), 100u);
    EXPECT_EQ(advise->SetScan(9, 100), E_FAIL);
    EXPECT_EQ(advise->Stop(1), S_OK);
    EXPECT_EQ(advise->Stop(1), E_FAIL);
    EXPECT_EQ(advise->SetScan(1, 50), E_FAIL);

    const auto lines = Lines("TAG");
    EXPECT_TRUE(Contains(lines, "Tag('a').Callback[1].SetScan 100ms"));
    EXPECT_TRUE(Contains(lines, "Callback[9].SetScan 100ms = ERROR (80004005)"));
    EXPECT_TRUE(Contains(lines, "Tag('a').Callback[1].Stop"));
    EXPECT_TRUE(Contains(lines, "Callback[1].Stop = ERROR (80004005)"));
}

TEST_F(AdviseTest, SubscriptionsOutliveAStopOfCommunication)
{
    ASSERT_EQ(Start(u"a", 1), S_OK); // before any host: it waits
    ASSERT_EQ(factory->StartComm(0, 0, 0, 0), S_OK);
    EXPECT_EQ(factory->Cache()->AttachedCount(), 1u);
    EXPECT_EQ(Publish("a", 10), S_OK);

    ASSERT_EQ(factory->StopComm(0, 0, 0, 0), S_OK);
    EXPECT_EQ(factory->Cache()->WaitingCount(), 1u);
    ASSERT_EQ(factory->StartComm(0, 0, 0, 0), S_OK);
    EXPECT_EQ(factory->Cache()->AttachedCount(), 1u);
    EXPECT_EQ(Publish("a", 11), S_OK);

    EXPECT_EQ(callback->Seen(), (std::vector<std::pair<uint32_t, int32_t>>{{1, 10}, {1, 11}}));
}

TEST_F(AdviseTest, CallbackThatCallsBackIntoTheInstanceDoesNotDeadlock)
{
    ASSERT_EQ(factory->StartComm(0, 0, 0, 0), S_OK);
    constexpr int kValues = 200;
    // Every notification subscribes and unsubscribes a tag and changes the scan period from
    // inside Notify, on whichever thread delivers it.
    std::atomic<uint32_t> nested{1000};
    std::atomic<int> hookFailures{0};
    callback->hook = [&](uint32_t number, int32_t)
    {
        const uint32_t n = nested++;
        TagRequest r = Subscription(u"nested");
        if (FAILED(advise->Start(&r, callback.Get(), n)) || FAILED(advise->Stop(n)) ||
            FAILED(advise->SetScan(number, 10)))
            ++hookFailures;
        return S_OK;
    };
    ASSERT_EQ(Start(u"shared", 1), S_OK);

    // Values arrive from two driver threads while the host's thread subscribes and
    // unsubscribes another tag.
    std::atomic<int> published{0};
    auto producer = [&](int base)
    {
        for (int i = 0; i < kValues; ++i)
            if (SUCCEEDED(Publish("shared", base + i)))
                ++published;
    };
    std::thread first(producer, 0);
    std::thread second(producer, 100000);
    for (uint32_t n = 1; n <= 100; ++n)
    {
        ASSERT_EQ(Start(u"other", 500000 + n), S_OK);
        ASSERT_EQ(advise->Stop(500000 + n), S_OK);
    }
    first.join();
    second.join();

    EXPECT_EQ(published.load(), 2 * kValues);
    EXPECT_EQ(callback->calls.load(), 2 * kValues);
    EXPECT_EQ(hookFailures.load(), 0);
    EXPECT_EQ(factory->Cache()->AttachedCount(), 1u);
    EXPECT_EQ(factory->Cache()->FindSubscription(1)->ScanPeriod(), 10u);
}

TEST_F(AdviseTest, NotificationsOfOneProducerArriveInOrder)
{
    ASSERT_EQ(factory->StartComm(0, 0, 0, 0), S_OK);
    ASSERT_EQ(Start(u"seq", 7), S_OK);
    std::thread producer(
        [&]
        {
            for (int i = 0; i < 500; ++i)
                Publish("seq", i);
        });
    producer.join();
    ASSERT_TRUE(WaitUntil([&] { return callback->calls.load() == 500; }));
    const auto seen = callback->Seen();
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(seen[i].second, i);
}
