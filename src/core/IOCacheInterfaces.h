// The tag cache as the driver sees it: the tag address a subscription carries, the cache
// tag and subscription interfaces, the named section with its event sink, and the visitor
// of EnumTags. Host callbacks never run while the cache is locked; the sink's operations
// do (see CIOCache).
#pragma once
#include "dravo/IOUnknown.h"
#include "dravo/hvalue.h"

#include <cstdint>
#include <string>

// Where a subscribed tag lives: copied from the host's request into the subscription and
// from the first subscription of a key into its cache tag. Texts are narrow (UTF-8).
struct SCacheTagAddress
{
    std::string device;
    std::string item;
    TIOPtr<IIOUnknown> tagObject;
    uint16_t n1 = 0;
    uint16_t n2 = 0;
    uint16_t n3 = 0;
    uint16_t n4 = 0;
    uint16_t size = 0;
    // Milliseconds. A subscription changes it atomically; read it there through
    // CIOCacheAdvise::ScanPeriod.
    uint32_t scan = 0;
};

// One subscription of the host.
struct IIOCacheAdvise : IIOUnknown
{
    static constexpr IOGUID IID = {
        0x3B0E6A52, 0x1C4F, 0x4D8E, {0x9B, 0x20, 0x71, 0x5A, 0xC3, 0x8E, 0x02, 0xD4}};
    virtual const SCacheTagAddress* GetAddress() = 0;

protected:
    ~IIOCacheAdvise() = default;
};

// A value slot that collects every subscription whose address maps to the same key.
struct IIOCacheTag : IIOUnknown
{
    static constexpr IOGUID IID = {
        0x8D41C7E3, 0x5A02, 0x4B19, {0xA6, 0x7C, 0x0E, 0x93, 0x2F, 0x51, 0xB8, 0x6A}};
    // Publishes `value` (a list counts as one update per entry, in order; null as one
    // update without a value). 1 when nobody is subscribed, 0 when notifications were
    // queued, else the first failure of the last update.
    virtual HRESULT UpdateValues(HVALUE value, uint32_t flags) = 0;
    virtual const SCacheTagAddress* GetAddress() = 0;

protected:
    ~IIOCacheTag() = default;
};

// Walks the tags of a section (EnumTags).
struct IIOCacheTagVisitor
{
    virtual void Begin(uint32_t tagCount) = 0;
    // A negative status ends the walk and is returned by EnumTags.
    virtual HRESULT Visit(IIOCacheTag* tag) = 0;

protected:
    ~IIOCacheTagVisitor() = default;
};

// EnumTags option bits.
enum : uint32_t
{
    CACHE_ENUM_ACTIVE_ONLY = 0x01, // skip tags without subscriptions
    CACHE_ENUM_PREFIX = 0x02,      // key starts with the filter (an empty filter matches all)
    CACHE_ENUM_CONTAINS = 0x04,    // key contains the filter (an empty filter matches all)
    CACHE_ENUM_EXACT = 0x08,       // key equals the filter
};

// A named part of the cache owned by one driver host. The last release closes it: its tags
// are deactivated and its subscriptions wait for the next section that takes them.
struct IIOCacheSection : IIOUnknown
{
    static constexpr IOGUID IID = {
        0x1F7A3D90, 0x6E2B, 0x4C85, {0x8E, 0x14, 0xB2, 0x6D, 0x47, 0xA9, 0x3C, 0x05}};
    // 0 and a counted tag; E_FAIL when absent or the section is detached; E_POINTER for a
    // null out.
    virtual HRESULT FindTag(const char* key, IIOCacheTag** tag) = 0;
    // 1 when the tag existed, 0 when it was made now with `address`; E_FAIL when detached.
    virtual HRESULT FindOrCreateTag(const char* key, const SCacheTagAddress* address, IIOCacheTag** tag) = 0;
    // Visits the tags in key order that pass `filter` under the CACHE_ENUM_* options.
    // Returns the last visit status, 1 when nothing was visited.
    virtual HRESULT EnumTags(const char* filter, uint32_t options, IIOCacheTagVisitor* visitor) = 0;

protected:
    ~IIOCacheSection() = default;
};

// Implemented by the driver that owns a section. Called with the cache locked: an
// implementation must not wait for another thread that uses the cache.
struct IIOCacheSectionEventSink : IIOUnknown
{
    static constexpr IOGUID IID = {
        0xC5209E17, 0x3D6A, 0x4F0B, {0xB4, 0x58, 0x2A, 0xE1, 0x6C, 0x97, 0x0D, 0x3F}};
    // A negative status declines the subscription; otherwise `key` names its cache tag.
    virtual HRESULT MakeKey(const SCacheTagAddress* address, std::string* key) = 0;
    // The tag got its first subscription.
    virtual void OnTagActivated(IIOCacheTag* tag) = 0;
    // The tag lost its last subscription, or its section closes while it had some.
    // `keep` starts at 0; left at 0 the cached value is dropped.
    virtual void OnTagDeactivated(IIOCacheTag* tag, int* keep) = 0;

protected:
    ~IIOCacheSectionEventSink() = default;
};
