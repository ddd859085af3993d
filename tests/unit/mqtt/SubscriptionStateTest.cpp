// The subscription state machine under synthetic time: SUBSCRIBE and UNSUBSCRIBE batches,
// SUBACK and UNSUBACK matching, both expiry rules, link loss, and the return of a topic whose
// tags left and came back.
#include "SubscriptionTestSupport.h"
#include "mqtt/MQTTStack.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace
{
class Subscriptions : public ItemFixture
{
protected:
    Subscriptions() = default;
    explicit Subscriptions(SMQTTItemSettings settings) : ItemFixture(std::move(settings)) {}

    void Enter(const std::string& item)
    {
        host.section->Tag(item);
        ASSERT_EQ(subs.OnTagAdded(TagAddress(item)), S_OK) << item;
    }
    void Leave(const std::string& item) { EXPECT_EQ(subs.OnTagRemoved(TagAddress(item)), S_OK) << item; }

    static std::string Topic(int i)
    {
        char name[32];
        std::snprintf(name, sizeof name, "site/t%03d", i);
        return name;
    }

    // A tag entered, SUBSCRIBE sent and accepted.
    void Subscribe(const std::string& topic)
    {
        Enter(topic);
        subs.SubscriptionPass();
        ASSERT_FALSE(host.subscribes.empty());
        CMQTTPacket ack = SubAck(host.subscribes.back().id, {0x01});
        subs.OnSubAck(ack);
        ASSERT_EQ(StateOf(topic), MQTT_ITEM_SUBSCRIBED);
    }

    std::vector<size_t> BatchSizes(const std::vector<CFakeItemHost::SSent>& sent)
    {
        std::vector<size_t> sizes;
        for (const auto& s : sent)
            sizes.push_back(s.topics.size());
        return sizes;
    }
};

class SmallBatches : public Subscriptions
{
protected:
    static SMQTTItemSettings Settings()
    {
        SMQTTItemSettings settings;
        settings.maxRequests = 7;
        settings.resendSubscriptionSeconds = 10;
        return settings;
    }
    SmallBatches() : Subscriptions(Settings()) {}
};
} // namespace

TEST_F(Subscriptions, HundredTwentyTopicsGoOutInBatchesOfFifty)
{
    for (int i = 0; i < 120; ++i)
        Enter(Topic(i));
    const uint32_t start = host.now;
    subs.SubscriptionPass();

    ASSERT_EQ(BatchSizes(host.subscribes), (std::vector<size_t>{50, 50, 20}));
    EXPECT_EQ(host.pauses, (std::vector<uint32_t>{100, 100}));
    EXPECT_EQ(host.subscribes[0].topics.front(), Topic(0)); // topic order
    EXPECT_EQ(host.subscribes[2].topics.back(), Topic(119));
    EXPECT_EQ(subs.PendingCount(), 3u);
    for (int i = 0; i < 120; ++i)
    {
        const SMQTTItemStatus status = subs.FindItem(Topic(i), false)->Status();
        const auto& batch = host.subscribes[size_t(i / 50)];
        EXPECT_EQ(status.state, MQTT_ITEM_SUBSCRIBE_SENT);
        EXPECT_EQ(status.requestId, batch.id);
        EXPECT_EQ(status.stateTime, start + 100 * uint32_t(i / 50));
    }

    // Nothing is sent twice.
    subs.SubscriptionPass();
    EXPECT_EQ(host.subscribes.size(), 3u);
}

TEST_F(SmallBatches, BatchSizeFollowsMaxRequestsButUnsubscribesGoInFifties)
{
    for (int i = 0; i < 60; ++i)
        Subscribe(Topic(i));
    host.subscribes.clear();
    for (int i = 0; i < 20; ++i)
        Enter(Topic(100 + i));
    for (int i = 0; i < 60; ++i)
        Leave(Topic(i));
    subs.SubscriptionPass();

    EXPECT_EQ(BatchSizes(host.subscribes), (std::vector<size_t>{7, 7, 6}));
    EXPECT_EQ(BatchSizes(host.unsubscribes), (std::vector<size_t>{50, 10}));
    EXPECT_EQ(StateOf(Topic(0)), MQTT_ITEM_UNSUBSCRIBE_SENT);
}

TEST_F(Subscriptions, SubAckAcceptsOrRefusesEachTopicInOrder)
{
    Enter("a/one");
    Enter("a/two");
    subs.SubscriptionPass();
    ASSERT_EQ(host.subscribes.size(), 1u);
    const uint16_t id = host.subscribes[0].id;

    host.now += 250;
    CMQTTPacket ack = SubAck(id, {0x00, 0x80});
    subs.OnSubAck(ack);
    EXPECT_TRUE(Logged("Subscription Ack ID=" + std::to_string(id)));
    const SMQTTItemStatus one = subs.FindItem("a/one", false)->Status();
    EXPECT_EQ(one.state, MQTT_ITEM_SUBSCRIBED);
    EXPECT_EQ(one.firstResponseTime, host.now);
    EXPECT_EQ(StateOf("a/two"), MQTT_ITEM_IDLE);
    EXPECT_TRUE(Logged("Item a/two not found at the broker"));
    EXPECT_EQ(subs.PendingCount(), 0u);

    // A refused topic rests until a tag enters it again.
    subs.SubscriptionPass();
    EXPECT_EQ(host.subscribes.size(), 1u);
}

TEST_F(Subscriptions, SubAckReturnCodesAndIdentifiersThatDoNotMatch)
{
    struct SCase
    {
        std::vector<uint8_t> codes;
        EMQTTItemState state;
    };
    // Granted QoS 0-2 accept; other codes leave the item waiting; a missing byte reads as 0.
    const SCase cases[] = {
        {{0x02}, MQTT_ITEM_SUBSCRIBED},
        {{0x03}, MQTT_ITEM_SUBSCRIBE_SENT},
        {{}, MQTT_ITEM_SUBSCRIBED},
    };
    int n = 0;
    for (const SCase& c : cases)
    {
        const std::string topic = Topic(n++);
        Enter(topic);
        subs.SubscriptionPass();
        const uint16_t id = host.subscribes.back().id;
        CMQTTPacket unknown = SubAck(uint16_t(id + 100), {0x00});
        subs.OnSubAck(unknown);
        EXPECT_EQ(StateOf(topic), MQTT_ITEM_SUBSCRIBE_SENT);
        CMQTTPacket ack = SubAck(id, c.codes);
        subs.OnSubAck(ack);
        EXPECT_EQ(StateOf(topic), c.state) << topic;
    }
}

TEST_F(Subscriptions, UnansweredSubscribeExpiresAndALateSubAckChangesNothing)
{
    Enter("a/one");
    subs.SubscriptionPass();
    const uint16_t first = host.subscribes[0].id;

    host.now += CMQTTSubscriptions::SUBSCRIPTION_RESPONSE_MS - 1;
    subs.SubscriptionPass();
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_SUBSCRIBE_SENT);
    host.now += 1;
    subs.SubscriptionPass();
    EXPECT_TRUE(Logged("Subscription Response Expired for a/one"));
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_TO_SUBSCRIBE);

    CMQTTPacket late = SubAck(first, {0x00});
    subs.OnSubAck(late);
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_TO_SUBSCRIBE);

    subs.SubscriptionPass();
    ASSERT_EQ(host.subscribes.size(), 2u);
    EXPECT_NE(host.subscribes[1].id, first);
}

TEST_F(SmallBatches, SilentTopicIsResubscribedEveryResendPeriod)
{
    Subscribe("quiet");
    Subscribe("busy");
    subs.OnPublish("busy", "1");
    for (int round = 0; round < 2; ++round)
    {
        const size_t sent = host.subscribes.size();
        host.now += 9999;
        subs.SubscriptionPass();
        EXPECT_EQ(StateOf("quiet"), MQTT_ITEM_SUBSCRIBED);
        host.now += 1;
        host.logger->Forget();
        subs.SubscriptionPass();
        EXPECT_TRUE(Logged("First Response Expired for quiet"));
        subs.SubscriptionPass();
        ASSERT_EQ(host.subscribes.size(), sent + 1);
        EXPECT_EQ(host.subscribes.back().topics, std::vector<std::string>{"quiet"});
        CMQTTPacket ack = SubAck(host.subscribes.back().id, {0x00});
        subs.OnSubAck(ack);
    }
    EXPECT_EQ(StateOf("busy"), MQTT_ITEM_SUBSCRIBED);
    EXPECT_FALSE(Logged("First Response Expired for busy"));
}

TEST_F(Subscriptions, FailedSendLeavesTheBatchToBeSubscribedAtTheNextPass)
{
    Enter("a/one");
    host.subscribeResult = E_FAIL;
    subs.SubscriptionPass();
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_TO_SUBSCRIBE);
    EXPECT_EQ(subs.PendingCount(), 0u);

    host.subscribeResult = S_OK;
    subs.SubscriptionPass();
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_SUBSCRIBE_SENT);
    EXPECT_EQ(host.subscribes.size(), 1u);
}

TEST_F(Subscriptions, StoppingHostEndsThePassBetweenBatches)
{
    for (int i = 0; i < 60; ++i)
        Enter(Topic(i));
    host.stopping = true;
    subs.SubscriptionPass();
    EXPECT_EQ(BatchSizes(host.subscribes), (std::vector<size_t>{50}));
    EXPECT_EQ(StateOf(Topic(59)), MQTT_ITEM_TO_SUBSCRIBE);
}

TEST_F(Subscriptions, LastTagLeavingUnsubscribesTheTopic)
{
    Subscribe("a/one");
    Leave("a/one");
    const SMQTTItemStatus left = subs.FindItem("a/one", false)->Status();
    EXPECT_EQ(left.state, MQTT_ITEM_TO_UNSUBSCRIBE);
    EXPECT_FALSE(left.active);

    subs.SubscriptionPass();
    ASSERT_EQ(host.unsubscribes.size(), 1u);
    EXPECT_EQ(host.unsubscribes[0].topics, std::vector<std::string>{"a/one"});
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_UNSUBSCRIBE_SENT);

    subs.OnUnsubAck(uint16_t(host.unsubscribes[0].id + 1));
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_UNSUBSCRIBE_SENT);
    subs.OnUnsubAck(host.unsubscribes[0].id);
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_IDLE);
    subs.SubscriptionPass();
    EXPECT_EQ(host.unsubscribes.size(), 1u);
    EXPECT_EQ(host.subscribes.size(), 1u);
}

TEST_F(Subscriptions, TagReturningBeforeTheUnsubscribeKeepsTheSubscription)
{
    Subscribe("a/one");
    Leave("a/one");
    Enter("a/one");
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_SUBSCRIBED);
    subs.SubscriptionPass();
    EXPECT_TRUE(host.unsubscribes.empty());
    EXPECT_EQ(host.subscribes.size(), 1u);
}

TEST_F(Subscriptions, TagReturningWhileTheUnsubscribeIsOnItsWaySubscribesAgain)
{
    Subscribe("a/one");
    Leave("a/one");
    subs.SubscriptionPass();
    Enter("a/one");
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_UNSUBSCRIBE_SENT);
    subs.OnUnsubAck(host.unsubscribes[0].id);
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_TO_SUBSCRIBE);
    subs.SubscriptionPass();
    ASSERT_EQ(host.subscribes.size(), 2u);
    EXPECT_EQ(host.subscribes[1].topics, std::vector<std::string>{"a/one"});
}

TEST_F(Subscriptions, TopicStaysSubscribedWhileAnyOfItsTagsRemains)
{
    Subscribe("a/one");
    Enter("a/one;;V1");
    Leave("a/one");
    SMQTTItemStatus status = subs.FindItem("a/one", false)->Status();
    EXPECT_TRUE(status.active);
    EXPECT_EQ(status.state, MQTT_ITEM_SUBSCRIBED);

    // Still resubscribed after a link loss, for the tag that stayed.
    subs.MarkAllItemsBad();
    subs.SubscriptionPass();
    EXPECT_EQ(host.subscribes.size(), 2u);

    Leave("a/one;;V1");
    CMQTTPacket ack = SubAck(host.subscribes.back().id, {0x00});
    subs.OnSubAck(ack);
    // The last tag left while the SUBSCRIBE was on its way: the subscription is given back.
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_TO_UNSUBSCRIBE);
}

TEST_F(Subscriptions, JsonArrayTagLeavesEveryTopicItEntered)
{
    const std::string tag = R"(["a/one", "a/two"])";
    Enter(tag);
    subs.SubscriptionPass();
    CMQTTPacket ack = SubAck(host.subscribes[0].id, {0x00, 0x00});
    subs.OnSubAck(ack);
    Leave(tag);
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_TO_UNSUBSCRIBE);
    EXPECT_EQ(StateOf("a/two"), MQTT_ITEM_TO_UNSUBSCRIBE);
    EXPECT_EQ(subs.OnTagRemoved(TagAddress("never/entered")), E_FAIL);
}

TEST_F(Subscriptions, WaitingTopicWhoseTagLeftIsNotSubscribed)
{
    Enter("a/one");
    Leave("a/one");
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_IDLE);
    subs.SubscriptionPass();
    EXPECT_TRUE(host.subscribes.empty());
}

TEST_F(Subscriptions, LinkLossTellsTheTagsAndSubscribesEverythingAgain)
{
    Subscribe("a/one");
    Enter("a/two");
    subs.SubscriptionPass(); // a/two: SUBSCRIBE sent, no answer yet
    Subscribe("a/three");
    Leave("a/three");
    subs.SubscriptionPass(); // a/three: UNSUBSCRIBE sent
    ASSERT_EQ(StateOf("a/three"), MQTT_ITEM_UNSUBSCRIBE_SENT);
    subs.OnPublish("a/one", "1");

    host.now += 5000;
    subs.MarkAllItemsBad();
    for (const char* topic : {"a/one", "a/two"})
    {
        const SMQTTItemStatus status = subs.FindItem(topic, false)->Status();
        EXPECT_EQ(status.state, MQTT_ITEM_TO_SUBSCRIBE) << topic;
        EXPECT_TRUE(status.bad) << topic;
        EXPECT_EQ(status.badReason, MQTT_BAD_CONNECTION) << topic;
        EXPECT_FALSE(status.gotData) << topic;
        EXPECT_EQ(status.firstResponseTime, host.now) << topic;
        const std::vector<SDelivered>& values = host.section->Tag(topic).values;
        ASSERT_FALSE(values.empty()) << topic;
        EXPECT_EQ(values.back().type, HV_NULL) << topic;
        EXPECT_EQ(values.back().quality, HV_QUALITY_BAD) << topic;
    }
    // The UNSUBACK of the old session never comes: the new one is asked again.
    EXPECT_EQ(StateOf("a/three"), MQTT_ITEM_TO_UNSUBSCRIBE);
    EXPECT_EQ(subs.PendingCount(), 0u);

    // A second loss before any data came still resubscribes, without telling the tags twice.
    subs.SubscriptionPass();
    const size_t told = host.section->Tag("a/one").values.size();
    subs.MarkAllItemsBad();
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_TO_SUBSCRIBE);
    EXPECT_EQ(host.section->Tag("a/one").values.size(), told);

    // The next message clears the mark.
    subs.OnPublish("a/one", "2");
    EXPECT_FALSE(subs.FindItem("a/one", false)->Status().bad);
}

TEST_F(Subscriptions, MarkingBadWithoutAnOpenSectionStillResubscribes)
{
    Subscribe("a/one");
    host.sectionOpen = false;
    subs.MarkItemBad(*subs.FindItem("a/one", false), MQTT_BAD_CONNECTION);
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_TO_SUBSCRIBE);
}

TEST_F(Subscriptions, ResubscribeTakesAPrefix)
{
    for (const char* topic : {"plant/a", "plant/b", "other/a"})
        Subscribe(topic);
    Enter("plant/c"); // not yet sent: stays to be subscribed
    subs.Resubscribe("plant/");
    EXPECT_EQ(StateOf("plant/a"), MQTT_ITEM_TO_SUBSCRIBE);
    EXPECT_EQ(StateOf("plant/b"), MQTT_ITEM_TO_SUBSCRIBE);
    EXPECT_EQ(StateOf("plant/c"), MQTT_ITEM_TO_SUBSCRIBE);
    EXPECT_EQ(StateOf("other/a"), MQTT_ITEM_SUBSCRIBED);
}

TEST_F(Subscriptions, PeerSubscribeAndUnsubscribe)
{
    Enter("a/one");
    EXPECT_EQ(subs.OnPeerSubscribe("a/one", 1), 1);
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_SUBSCRIBED);
    EXPECT_EQ(subs.FindItem("a/one", false)->Status().grantedQoS, 1);
    EXPECT_EQ(subs.OnPeerSubscribe("no/item", 1), MQTT_SUBACK_FAILURE);
    subs.OnPeerUnsubscribe("a/one");
    EXPECT_EQ(StateOf("a/one"), MQTT_ITEM_IDLE);
}
