// One subscribed MQTT topic (`CMQTTItem`) with its subscription fields and the tag references
// that receive its payloads, and the item-string grammar:
//
//   item    := plain | JSON array of plain items (each a JSON string)
//   plain   := topic [ ";" template-name [ ";" filter [ ";" ignored... ] ] ]
//   anywhere in a plain item: "(Deadband:" number ["%"] ")"  (cut out before splitting)
//
// The subscription state machine that drives these fields is CMQTTSubscriptions.
#pragma once
#include "core/IOLog.h"
#include "dravo/hvalue.h"
#include "dravo/status.h"
#include "platform/Lock.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

class CMQTTTemplate;

// Owns one value reference.
struct SMQTTValueRelease
{
    void operator()(HVALUE value) const { hvRelease(value); }
};
using MQTTValuePtr = std::unique_ptr<std::remove_pointer_t<HVALUE>, SMQTTValueRelease>;

// A write deadband. Flags: bit 0 percentage (fraction of |old value|), bit 1 absolute.
struct SMQTTDeadband
{
    static constexpr uint32_t PERCENT = 0x01;
    static constexpr uint32_t ABSOLUTE = 0x02;

    uint32_t flags = 0;
    double fraction = 0; // |percent / 100|
    double absolute = 0; // |value|

    // Whether a write of `next` after `old` is to be published: always without a deadband,
    // when type or quality differ, when either is not a finite number, or when the change
    // reaches one of the configured limits.
    bool Passes(HVALUE old, HVALUE next) const;
};

// Cuts every "(Deadband:value)" clause out of `item` into `deadband` (when not null) and trims
// blanks off both ends. False when a clause has no ")" (the rest stays untouched) or a value
// that is zero or not a number (its clause is cut, the text is not trimmed).
bool MQTTPrepareItem(std::string& item, SMQTTDeadband* deadband);
// Splits at every ";", keeping empty fields ("" gives one empty field).
std::vector<std::string> MQTTSplitFields(std::string_view text);
// The factory's item check: S_OK, or IO_E_INVALID_ITEM for an empty item, a failing
// preparation, or a deadband on an item that also names a template or filter.
HRESULT MQTTValidateItem(const std::string& item);
// The plain items of a JSON-array item string. Returns S_FALSE (and nothing) when `item` is
// not JSON, S_OK with the elements when it is a non-empty array of strings, E_FAIL for every
// other JSON (a number, an object, an empty array, a non-string element).
HRESULT MQTTSplitArrayItem(const std::string& item, std::vector<std::string>& elements);

// The value property that carries the number of the tag a reference belongs to.
constexpr uint16_t MQTT_TAG_NUMBER_PROPERTY = 138;

// Names that never subscribe: write-only commands handled by the host.
bool MQTTIsReservedItem(std::string_view firstField);

// Subscription state of an item.
enum EMQTTItemState : uint8_t
{
    MQTT_ITEM_IDLE = 0,
    MQTT_ITEM_TO_SUBSCRIBE = 1,
    MQTT_ITEM_SUBSCRIBE_SENT = 2,
    MQTT_ITEM_SUBSCRIBED = 3,
    MQTT_ITEM_TO_UNSUBSCRIBE = 4,
    MQTT_ITEM_UNSUBSCRIBE_SENT = 5,
};

// Why an item's tags were told that there is no valid value.
enum EMQTTBadReason : uint8_t
{
    MQTT_BAD_CONNECTION = 0,
    MQTT_BAD_LAST_WILL = 1,
};

// One tag entry that named the item's topic. Kept until the item is destroyed.
class CMQTTTagReference
{
public:
    CMQTTTagReference(std::string address, std::string templateName, std::string filter, CMQTTTemplate* tmpl);

    // The tag's complete item string: its key in the tag cache.
    const std::string address;
    const std::string templateName;
    const std::string filter;
    CMQTTTemplate* const tmpl; // registered template, or none

    // The last decoded or written value; guarded by the owning item's lock.
    HVALUE Value() const { return m_value.get(); }

private:
    MQTTValuePtr m_value;
};

// The subscription fields of an item, read together.
struct SMQTTItemStatus
{
    EMQTTItemState state = MQTT_ITEM_IDLE;
    bool active = false;
    uint32_t activeTags = 0;
    uint32_t stateTime = 0;
    uint16_t requestId = 1;
    uint8_t grantedQoS = 0;
    bool gotData = false;
    uint32_t firstResponseTime = 0;
    bool bad = false;
    EMQTTBadReason badReason = MQTT_BAD_CONNECTION;
    bool lastWillHolder = false;
    size_t references = 0;
};

// One topic. Every field is guarded by the item's own lock; the registry lock, when needed,
// is taken before it. Nothing here calls out (no send, no value delivery, no cache call).
class CMQTTItem
{
public:
    CMQTTItem(std::string topic, uint32_t now);
    CMQTTItem(const CMQTTItem&) = delete;
    CMQTTItem& operator=(const CMQTTItem&) = delete;

    const std::string& Topic() const { return m_topic; }
    CRecursiveLock& Lock() { return m_lock; }

    // S_OK when appended, S_FALSE for a duplicate of address, template name and filter
    // (logged "Duplicated Tag Item found = %s"), E_OUTOFMEMORY when it cannot be made.
    HRESULT AddReference(const std::string& address, const std::string& templateName,
                         const std::string& filter, CMQTTTemplate* tmpl, IIOLogger* logger);
    // References in the order they were added; they stay valid while the item lives.
    std::vector<CMQTTTagReference*> References();

    // A cache tag with item string `address` entered the item: counts it active, stores
    // `tagNumber` in MQTT_TAG_NUMBER_PROPERTY of its references' values and asks for a subscription
    // (idle -> to subscribe; to unsubscribe -> subscribed, since the broker still has it).
    void Enter(const std::string& address, uint16_t tagNumber);
    // A tag left. When it was the last one: a subscribed item is to be unsubscribed and an
    // item still waiting to be subscribed goes idle.
    void Leave();

    SMQTTItemStatus Status();
    EMQTTItemState State();
    void SetState(EMQTTItemState state);

    // Payload decoding into one reference (under the item's lock). Returns a copy of the
    // decoded value for delivery, or null when the decode failed or memory ran out.
    // Without a template: "," reads as a decimal point; a number becomes R64, anything else
    // the payload text; stamped now with good quality.
    MQTTValuePtr Decode(CMQTTTagReference& reference, const std::string& payload, bool applyLocalTZ);
    // Stores a written value as the reference's current value.
    void StoreWritten(CMQTTTagReference& reference, HVALUE value);

private:
    friend class CMQTTSubscriptions;

    const std::string m_topic;
    CRecursiveLock m_lock; // after the registry lock

    EMQTTItemState m_state = MQTT_ITEM_IDLE;
    uint32_t m_activeTags = 0; // tags that entered and have not left
    uint32_t m_stateTime;
    uint16_t m_requestId = 1;
    uint8_t m_grantedQoS = 0;
    bool m_gotData = false;
    uint32_t m_firstResponseTime;
    bool m_bad = false;
    EMQTTBadReason m_badReason = MQTT_BAD_CONNECTION;
    bool m_lastWillHolder = false;
    std::vector<std::unique_ptr<CMQTTTagReference>> m_references;
};
