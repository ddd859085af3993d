// Items used from the threads that use them in the driver at once: the stack thread
// delivering payloads and answering SUBACKs, the session thread running passes and marking
// items bad, and the host's threads adding and removing tags and writing.
#include "SubscriptionTestSupport.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace
{
class CCountingTag final : public TIOUnknown<IIOCacheTag>
{
public:
    HRESULT UpdateValues(HVALUE, uint32_t) override
    {
        ++updates;
        return S_OK;
    }
    const SCacheTagAddress* GetAddress() override { return &m_address; }

    std::atomic<int> updates{0};

private:
    ~CCountingTag() override = default;
    SCacheTagAddress m_address;
};

// Every key names the same tag.
class COneTagSection final : public TIOUnknown<IIOCacheSection>
{
public:
    HRESULT FindTag(const char*, IIOCacheTag** tag) override
    {
        m_tag->AddRef();
        *tag = m_tag.Get();
        return S_OK;
    }
    HRESULT FindOrCreateTag(const char*, const SCacheTagAddress*, IIOCacheTag**) override
    {
        return E_NOTIMPL;
    }
    HRESULT EnumTags(const char*, uint32_t, IIOCacheTagVisitor*) override { return E_NOTIMPL; }

    CCountingTag& Tag() { return *m_tag; }

private:
    ~COneTagSection() override = default;
    TIOPtr<CCountingTag> m_tag = TIOPtr<CCountingTag>::Adopt(new CCountingTag);
};

class CThreadedHost final : public IMQTTItemHost
{
public:
    uint32_t Now() override { return now.load(); }
    IIOLogger* Logger() override { return nullptr; }
    HRESULT SendSubscribe(std::span<const std::string>,
                          const std::function<void(uint16_t)>& beforeSend) override
    {
        const uint16_t id = uint16_t(nextId.fetch_add(1));
        beforeSend(id);
        std::lock_guard guard(lock);
        sent.push_back(id);
        return S_OK;
    }
    HRESULT SendUnsubscribe(std::span<const std::string>,
                            const std::function<void(uint16_t)>& beforeSend) override
    {
        beforeSend(uint16_t(nextId.fetch_add(1)));
        return S_OK;
    }
    bool Pause(uint32_t ms) override
    {
        now += ms;
        return true;
    }
    HRESULT Publish(std::string_view, std::string_view, uint8_t) override
    {
        ++publishes;
        return S_OK;
    }
    TIOPtr<IIOCacheSection> CacheSection() override { return TIOPtr<IIOCacheSection>(section.Get()); }
    CMQTTTemplate* FindTemplate(const std::string&) override { return nullptr; }
    bool RouteWrite(const std::string&, HVALUE, HRESULT&) override { return false; }

    uint16_t TakeSent()
    {
        std::lock_guard guard(lock);
        if (sent.empty())
            return 0;
        const uint16_t id = sent.front();
        sent.erase(sent.begin());
        return id;
    }

    std::atomic<uint32_t> now{0};
    std::atomic<int> nextId{1};
    std::atomic<int> publishes{0};
    TIOPtr<COneTagSection> section = TIOPtr<COneTagSection>::Adopt(new COneTagSection);
    std::mutex lock;
    std::vector<uint16_t> sent;
};
} // namespace

TEST(SubscriptionConcurrency, ThreadsOfTheDriverShareTheItems)
{
    CThreadedHost host;
    CMQTTSubscriptions subs(host, SMQTTItemSettings{});
    const std::vector<std::string> topics = {"c/a", "c/b", "c/c", "c/d"};
    constexpr int kRounds = 400;
    for (const std::string& topic : topics)
        ASSERT_EQ(subs.OnTagAdded(TagAddress(topic)), S_OK);

    std::thread tags(
        [&]
        {
            for (int i = 0; i < kRounds; ++i)
            {
                const SCacheTagAddress tag = TagAddress(topics[size_t(i) % topics.size()]);
                subs.OnTagAdded(tag);
                if (i % 3 == 0)
                    subs.OnTagRemoved(tag);
            }
        });
    std::thread stack(
        [&]
        {
            for (int i = 0; i < kRounds; ++i)
            {
                subs.OnPublish(topics[size_t(i) % topics.size()], std::to_string(i));
                if (const uint16_t id = host.TakeSent())
                {
                    CMQTTPacket ack = SubAck(id, {0, 0, 0, 0});
                    subs.OnSubAck(ack);
                }
                subs.OnUnsubAck(uint16_t(i));
            }
        });
    std::thread session(
        [&]
        {
            for (int i = 0; i < kRounds; ++i)
            {
                subs.SubscriptionPass();
                if (i % 50 == 0)
                    subs.MarkAllItemsBad();
                host.now += 1000;
            }
        });
    std::thread writer(
        [&]
        {
            MQTTValuePtr value(hvCreate());
            for (int i = 0; i < kRounds; ++i)
            {
                hvSetR64(value.get(), i);
                EXPECT_EQ(subs.WriteTag(topics[size_t(i) % topics.size()], value.get()), S_OK);
            }
        });
    tags.join();
    stack.join();
    session.join();
    writer.join();

    EXPECT_EQ(subs.Items().size(), topics.size());
    EXPECT_GE(host.publishes.load(), kRounds);
    EXPECT_GE(host.section->Tag().updates.load(), kRounds);
}
