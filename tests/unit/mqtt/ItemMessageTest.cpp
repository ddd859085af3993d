// Items as the tag cache and the broker see them: tags entering, payloads becoming tag values
// (directly or through a template), writes with their deadband, and the last-will rule.
#include "SubscriptionTestSupport.h"

#include <gtest/gtest.h>

namespace
{
class ItemMessages : public ItemFixture
{
protected:
    // A tag of the cache with this item string that has entered the driver's section.
    CFakeCacheTag& AddTag(const std::string& item)
    {
        CFakeCacheTag& tag = host.section->Tag(item);
        EXPECT_EQ(subs.OnTagAdded(TagAddress(item)), S_OK) << item;
        return tag;
    }

    HRESULT Write(const std::string& item, double x)
    {
        MQTTValuePtr value(hvCreate());
        hvSetR64(value.get(), x);
        return subs.WriteTag(item, value.get());
    }

    std::vector<std::string> Payloads()
    {
        std::vector<std::string> payloads;
        for (const SPublished& p : host.published)
            payloads.push_back(p.payload);
        return payloads;
    }
};
} // namespace

TEST_F(ItemMessages, PlainPayloadsBecomeNumbersOrTexts)
{
    struct SCase
    {
        const char* payload;
        uint8_t type;
        double number;
        const char* text;
    };
    const SCase cases[] = {
        {"21,5", HV_R64, 21.5, ""},
        {"abc", HV_STR, 0, "abc"},
        {"7 units", HV_R64, 7, ""},
        {"", HV_R64, 0, ""},
        {"-1.5e3", HV_R64, -1500, ""},
        {"0 units", HV_STR, 0, "0 units"},
        // The decimal comma is a number's business: a text keeps its own bytes.
        {"a,b", HV_STR, 0, "a,b"},
        {"nan", HV_STR, 0, "nan"},
    };
    CFakeCacheTag& tag = AddTag("plant/temp");
    for (const SCase& c : cases)
    {
        tag.values.clear();
        subs.OnPublish("plant/temp", c.payload);
        ASSERT_EQ(tag.values.size(), 1u) << c.payload;
        const SDelivered& got = tag.values[0];
        EXPECT_EQ(got.type, c.type) << c.payload;
        EXPECT_EQ(got.quality, HV_QUALITY_GOOD) << c.payload;
        EXPECT_GT(got.timestamp, 0) << c.payload;
        if (c.type == HV_R64)
            EXPECT_DOUBLE_EQ(got.number, c.number) << c.payload;
        else
            EXPECT_EQ(got.text, c.text) << c.payload;
    }
    EXPECT_TRUE(Logged("Parsing from plant/temp.."));
    EXPECT_TRUE(Logged("Msg: 21,5"));
}

TEST_F(ItemMessages, EveryReferenceOfTheTopicReceivesThePayload)
{
    CFakeCacheTag& plain = AddTag("plant/temp");
    CFakeCacheTag& deadband = AddTag("plant/temp (Deadband:1)");
    subs.OnPublish("plant/temp", "3");
    EXPECT_EQ(plain.values.size(), 1u);
    EXPECT_EQ(deadband.values.size(), 1u);
    EXPECT_EQ(subs.FindItem("plant/temp", false)->Status().references, 2u);
}

TEST_F(ItemMessages, UnknownTopicsAndMissingTagsAreLogged)
{
    subs.OnPublish("nobody/home", "1");
    EXPECT_TRUE(Logged("Item nobody/home does not exist!"));

    // The item exists, but its tag is no longer in the section.
    ASSERT_EQ(subs.OnTagAdded(TagAddress("plant/gone")), S_OK);
    subs.OnPublish("plant/gone", "1");
    EXPECT_TRUE(Logged("SendCallBack: failed to get tag 'plant/gone'(80004005)"));
}

TEST_F(ItemMessages, JsonArrayItemEntersEveryTopicWithTheWholeAddress)
{
    const std::string address = R"(["plant/a", "plant/b"])";
    CFakeCacheTag& tag = AddTag(address);
    for (const char* topic : {"plant/a", "plant/b"})
    {
        CMQTTItem* item = subs.FindItem(topic, false);
        ASSERT_NE(item, nullptr) << topic;
        const std::vector<CMQTTTagReference*> references = item->References();
        ASSERT_EQ(references.size(), 1u);
        EXPECT_EQ(references[0]->address, address);
        EXPECT_EQ(item->State(), MQTT_ITEM_TO_SUBSCRIBE);
    }
    subs.OnPublish("plant/b", "5");
    ASSERT_EQ(tag.values.size(), 1u);
    EXPECT_DOUBLE_EQ(tag.values[0].number, 5);
}

TEST_F(ItemMessages, InvalidItemsAreRefusedAndLogged)
{
    EXPECT_EQ(subs.OnTagAdded(TagAddress("12")), E_FAIL);
    EXPECT_TRUE(Logged("Error: Invalid Item format = 12!"));
    EXPECT_EQ(subs.OnTagAdded(TagAddress("[]")), E_FAIL);
    EXPECT_TRUE(Logged("Error: Invalid Item format = []!"));
    EXPECT_EQ(subs.OnTagAdded(TagAddress(R"(["ok/topic", ";J1"])")), IO_E_INVALID_ITEM);
    EXPECT_TRUE(Logged("Error: Invalid Item format = ;J1!"));
    EXPECT_TRUE(subs.Items().size() == 1 && subs.Items()[0]->Topic() == "ok/topic");
}

TEST_F(ItemMessages, ReservedItemsNeverBecomeTopics)
{
    EXPECT_EQ(subs.OnTagAdded(TagAddress("MosqClientCtrl")), S_OK);
    EXPECT_EQ(subs.OnTagAdded(TagAddress("acceptdeviceenrollment;x")), S_OK);
    EXPECT_TRUE(subs.Items().empty());
}

TEST_F(ItemMessages, SameTagTwiceIsOneReference)
{
    AddTag("plant/temp;J1;V2");
    AddTag("plant/temp;J1;V2");
    EXPECT_TRUE(Logged("Duplicated Tag Item found = plant/temp;J1;V2"));
    const SMQTTItemStatus status = subs.FindItem("plant/temp", false)->Status();
    EXPECT_EQ(status.references, 1u);
    EXPECT_EQ(status.activeTags, 2u);
}

TEST_F(ItemMessages, TagNumberIsStoredInTheReferenceValue)
{
    ASSERT_EQ(subs.OnTagAdded(TagAddress("plant/temp", 4711)), S_OK);
    CMQTTTagReference* reference = subs.FindItem("plant/temp", false)->References()[0];
    MQTTValuePtr number(hvGetProperty(reference->Value(), MQTT_TAG_NUMBER_PROPERTY));
    uint32_t got = 0;
    ASSERT_TRUE(hvGetU32(number.get(), &got));
    EXPECT_EQ(got, 4711u);
}

TEST_F(ItemMessages, TemplateDecodesWithTheFilterAndAFailureMarksTheItemBad)
{
    host.templates.Add("J1", std::make_unique<CStubTemplate>());
    CFakeCacheTag& tag = AddTag("plant/temp;J1;V2");
    CFakeCacheTag& unknown = AddTag("plant/temp;NoSuchTemplate");

    subs.OnPublish("plant/temp", "{}");
    ASSERT_EQ(tag.values.size(), 1u);
    EXPECT_EQ(tag.values[0].text, "{}|V2");
    ASSERT_EQ(unknown.values.size(), 1u);
    EXPECT_EQ(unknown.values[0].text, "{}"); // decoded without a template

    subs.FindItem("plant/temp", false)->SetState(MQTT_ITEM_SUBSCRIBED);
    subs.OnPublish("plant/temp", "bad");
    ASSERT_EQ(tag.values.size(), 2u);
    EXPECT_EQ(tag.values[1].type, HV_NULL); // told: no valid value
    EXPECT_EQ(tag.values[1].quality, HV_QUALITY_BAD);
    const SMQTTItemStatus status = subs.FindItem("plant/temp", false)->Status();
    EXPECT_EQ(status.state, MQTT_ITEM_TO_SUBSCRIBE);
    // The reference without a template still took the payload, which clears the mark.
    EXPECT_EQ(unknown.values.back().text, "bad");
    EXPECT_FALSE(status.bad);
}

TEST_F(ItemMessages, WriteDeadbandHoldsBackSmallChanges)
{
    for (const char* item : {"plant/setpoint (Deadband:5%)", "plant/setpoint"})
    {
        SCOPED_TRACE(item);
        SMQTTItemSettings settings;
        settings.writeDeadbandFraction = 0.05; // "MQTT.WriteDeadBand" 5, used when the item has none
        CFakeItemHost writer;
        CMQTTSubscriptions items(writer, settings);
        for (double x : {98.0, 100.0, 104.0})
        {
            MQTTValuePtr value(hvCreate());
            hvSetR64(value.get(), x);
            EXPECT_EQ(items.WriteTag(item, value.get()), S_OK);
        }
        ASSERT_EQ(writer.published.size(), 2u);
        EXPECT_EQ(writer.published[0].payload, "98.000000");
        EXPECT_EQ(writer.published[1].payload, "104.000000");
        EXPECT_EQ(writer.published[1].topic, "plant/setpoint");
        EXPECT_EQ(writer.published[1].qos, MQTT_QOS_CONFIGURED);
    }
}

TEST_F(ItemMessages, AReceivedValueIsTheDeadbandsOldValue)
{
    AddTag("plant/setpoint (Deadband:5%)");
    subs.OnPublish("plant/setpoint", "98,0");
    EXPECT_EQ(Write("plant/setpoint (Deadband:5%)", 100), S_OK);
    EXPECT_TRUE(host.published.empty());
}

TEST_F(ItemMessages, OneWritePublishesOncePerReference)
{
    AddTag("plant/temp");
    AddTag("plant/temp;;V1");
    EXPECT_EQ(Write("plant/temp", 1.5), S_OK);
    EXPECT_EQ(Payloads(), (std::vector<std::string>{"1.500000", "1.500000"}));
}

TEST_F(ItemMessages, WritesOfTextsTemplatesAndOtherTypes)
{
    host.templates.Add("J1", std::make_unique<CStubTemplate>());
    MQTTValuePtr text(hvCreate());
    hvSetText(text.get(), "on");
    EXPECT_EQ(subs.WriteTag("plant/mode", text.get()), S_OK);

    MQTTValuePtr number(hvCreate());
    hvSetI32(number.get(), 7);
    EXPECT_EQ(subs.WriteTag("plant/json;J1", number.get()), S_OK);
    EXPECT_EQ(subs.WriteTag("plant/json;J1", text.get()), E_FAIL);
    EXPECT_TRUE(Logged("Failed parsing write data against template J1"));

    // A null value publishes an empty payload; a value without a text form is refused
    // rather than published as nothing.
    MQTTValuePtr empty(hvCreate());
    EXPECT_EQ(subs.WriteTag("plant/clear", empty.get()), S_OK);
    MQTTValuePtr list(hvCreate());
    hvMakeList(list.get(), 0);
    EXPECT_EQ(subs.WriteTag("plant/list", list.get()), IO_E_INVALID_TAG_TYPE);
    EXPECT_TRUE(Logged("Invalid DataType!"));

    EXPECT_EQ(Payloads(), (std::vector<std::string>{"on", "{\"v\":7}", ""}));
    // Write-only items never subscribe.
    EXPECT_EQ(StateOf("plant/mode"), MQTT_ITEM_IDLE);
    subs.SubscriptionPass();
    EXPECT_TRUE(host.subscribes.empty());
}

TEST_F(ItemMessages, WriteFailuresAreReturned)
{
    EXPECT_EQ(Write("plant/x (Deadband:0)", 1), E_UNEXPECTED);
    EXPECT_TRUE(Logged("Failed to extract deadband from Item parameter"));

    EXPECT_EQ(Write(" ;J1", 1), E_FAIL);
    EXPECT_TRUE(Logged("Invalid Item !"));

    host.publishResult = E_FAIL;
    EXPECT_EQ(Write("plant/x", 1), E_FAIL);
    host.publishResult = S_OK;
    // The failed write did not become the old value: the same value goes out now.
    EXPECT_EQ(Write("plant/x (Deadband:50%)", 1), S_OK);
    EXPECT_EQ(Payloads(), (std::vector<std::string>{"1.000000"}));
}

TEST_F(ItemMessages, HostRoutedWritesDoNotReachItems)
{
    EXPECT_EQ(Write("MosqClientCtrl", 1), S_OK);
    EXPECT_EQ(host.routed, 1);
    EXPECT_TRUE(host.published.empty());
    EXPECT_TRUE(subs.Items().empty());
}

namespace
{
class LastWill : public ItemFixture
{
protected:
    static SMQTTItemSettings WillSettings()
    {
        SMQTTItemSettings settings;
        settings.useLastWillForQuality = true;
        settings.willMessage = "offline";
        return settings;
    }
    LastWill() : ItemFixture(WillSettings()) {}

    void Subscribed(const std::string& topic)
    {
        host.section->Tag(topic);
        ASSERT_EQ(subs.OnTagAdded(TagAddress(topic)), S_OK);
        subs.FindItem(topic, false)->SetState(MQTT_ITEM_SUBSCRIBED);
    }
};
} // namespace

TEST_F(LastWill, WillPayloadMarksTheSubtreeBadAndTheNextPayloadReleasesIt)
{
    for (const char* topic : {"dev1", "dev1/temp", "dev10", "dev2/temp"})
        Subscribed(topic);

    subs.OnPublish("dev1", "offline");
    for (const char* topic : {"dev1", "dev1/temp", "dev10"})
    {
        const SMQTTItemStatus status = subs.FindItem(topic, false)->Status();
        EXPECT_TRUE(status.bad) << topic;
        EXPECT_EQ(status.badReason, MQTT_BAD_LAST_WILL) << topic;
        EXPECT_EQ(status.state, MQTT_ITEM_SUBSCRIBED) << topic;
        const std::vector<SDelivered>& values = host.section->Tag(topic).values;
        ASSERT_FALSE(values.empty()) << topic;
        EXPECT_EQ(values.back().quality, HV_QUALITY_BAD) << topic;
    }
    EXPECT_TRUE(subs.FindItem("dev1", false)->Status().lastWillHolder);
    EXPECT_FALSE(subs.FindItem("dev1/temp", false)->Status().lastWillHolder);
    EXPECT_FALSE(subs.FindItem("dev2/temp", false)->Status().bad);

    // Only the exact will text triggers the rule.
    subs.OnPublish("dev2/temp", "offline ");
    EXPECT_FALSE(subs.FindItem("dev2/temp", false)->Status().bad);

    subs.OnPublish("dev1", "online");
    EXPECT_FALSE(subs.FindItem("dev1", false)->Status().lastWillHolder);
    for (const char* topic : {"dev1", "dev1/temp", "dev10"})
        EXPECT_EQ(StateOf(topic), MQTT_ITEM_TO_SUBSCRIBE) << topic;
    EXPECT_EQ(StateOf("dev2/temp"), MQTT_ITEM_SUBSCRIBED);
}
