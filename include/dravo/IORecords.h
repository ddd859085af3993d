// The packed records that cross the host boundary: the I/O request (TagRequest), the
// tag-validation record (TagInfo) and the tag-browser entry (BrowseEntry).
//
// The host's native layout is 32-bit: pointers and value handles are 4 bytes and the
// offsets are pinned below by static_asserts. On 64-bit targets the same fields in the
// same order are pointer-sized (8 bytes) and the records stay packed, so every field
// before the first pointer keeps its offset and the later ones shift by 4 per pointer.
#pragma once
#include <cstddef>
#include <cstdint>

#include "dravo/hvalue.h"

struct IIOUnknown;

// Operation codes of TagRequest::operation, built from these bits.
enum : uint16_t
{
    IO_OP_BIT_READ = 1,
    IO_OP_BIT_WRITE = 2,
    IO_OP_BIT_VALUE = 4,
    IO_OP_BIT_BLOCK = 8,
    IO_OP_BIT_ELEMENT = 16,
    IO_OP_BIT_MASKED = 32,
};

enum EIOOperation : uint16_t
{
    IO_OP_READ_VALUE = 5,                // "ReadValue"
    IO_OP_WRITE_VALUE = 6,               // "WriteValue"
    IO_OP_READ_BLOCK = 9,                // "ReadBlock"
    IO_OP_WRITE_BLOCK = 10,              // "WriteBlock"
    IO_OP_READ_BLOCK_ELEMENT = 25,       // "ReadBlockElement"
    IO_OP_WRITE_BLOCK_ELEMENT = 26,      // "WriteBlockElement"
    IO_OP_MASK_WRITE_VALUE = 38,         // "MaskWriteValue"
    IO_OP_MASK_WRITE_BLOCK_ELEMENT = 58, // "MaskWriteBlockElement"
};

// TagRequest::version of the current layout; a record rebuilt from an old layout carries 6.
constexpr uint16_t TAG_REQUEST_VERSION_CURRENT = 3;
constexpr uint16_t TAG_REQUEST_VERSION_REBUILT = 6;

// TagRequest::flags: the tag was validated and tagObject is meaningful.
constexpr uint32_t TAG_REQUEST_VALIDATED = 2;

#pragma pack(push, 1)

// One read or write handed to drvIO (layout version 3 and later).
struct TagRequest
{
    uint16_t version;
    uint16_t operation; // EIOOperation
    uint16_t count;     // elements covered by this request
    uint16_t first;     // first element (block element operations)
    uint16_t size;      // block size of the tag
    uint16_t n1;
    uint16_t n2;
    uint16_t n3;
    uint16_t n4;
    uint8_t unused18[2];
    uint32_t andMask; // mask writes only
    uint32_t orMask;  // mask writes only
    uint8_t carried28; // owned by the host, passed through unchanged
    uint8_t carried29;
    uint8_t unused30[2];
    HVALUE value;  // used by the framework's own tags
    HVALUE status; // optional: receives a status or error text; 0 when absent
    uint32_t scan; // scan period in ms (subscriptions)
    uint32_t flags; // TAG_REQUEST_VALIDATED
    IIOUnknown* tagObject;  // from validation; 0 when none
    const char16_t* device; // may be null or empty
    const char16_t* item;   // may be null or empty
};

// Old layouts (versions 0 to 2), accepted by drvIO and rebuilt into TagRequest. Which of
// the two a record uses is decided from its contents, see the request conversion.
struct TagRequestOldA
{
    uint16_t version;
    uint16_t operation;
    uint16_t count;
    uint16_t first;
    uint16_t size;
    uint16_t n1;
    uint16_t n2;
    uint16_t n3;
    uint16_t n4;
    uint32_t andMask;
    uint32_t orMask;
    uint8_t carried26;
    uint8_t carried27;
    HVALUE value;
    HVALUE status; // version 2 only
};

struct TagRequestOldB
{
    uint16_t version;
    uint16_t operation;
    uint16_t count;
    uint16_t first;
    uint16_t size;
    uint16_t n1;
    uint16_t n2;
    uint16_t n3;
    uint16_t n4;
    uint8_t unused18[2];
    uint32_t andMask;
    uint32_t orMask;
    uint8_t carried28;
    uint8_t carried29;
    uint8_t unused30[2];
    HVALUE value;
    HVALUE status; // version 2 only
};

// TagInfo::flags bits; a driver may add its own above these.
constexpr uint32_t TAG_INFO_NOT_READABLE = 1;
constexpr uint32_t TAG_INFO_NOT_WRITABLE = 2;

// Filled by tag validation. The receiver releases tagObject.
struct TagInfo
{
    uint8_t type;  // value type code
    uint16_t size; // block size; 0 for a single value
    uint16_t n1;
    uint16_t n2;
    uint16_t n3;
    uint16_t n4;
    uint32_t flags;
    IIOUnknown* tagObject;
};

enum EBrowseKind : uint32_t
{
    BROWSE_FOLDER = 1,
    BROWSE_TAG = 4,
    BROWSE_BLOCK = 5,
    BROWSE_ELEMENT = 6,
};

// One entry of the tag tree handed to the host's browser. Texts are UTF-16 and only need
// to live for the duration of the add call.
struct BrowseEntry
{
    uint32_t recordSize; // BROWSE_ENTRY_SIZE
    uint32_t kind;       // EBrowseKind
    uint32_t zero8;
    const char16_t* name;
    uint32_t zero16;
    const char16_t* description;
    uint32_t zero24[3];
    const char16_t* item; // tags and blocks: same text as name; else null
    uint32_t zero40;
    uint32_t access;   // tags and blocks: bit 0 not readable, bit 1 not writable
    uint32_t sizeOrIndex; // block: block size; element: index from 0; else 0
    uint8_t zero52[16];
};

#pragma pack(pop)

// 68 on the host's 32-bit layout.
constexpr uint32_t BROWSE_ENTRY_SIZE = sizeof(BrowseEntry);

#define DRAVO_PTR_EXTRA(n) ((n) * (sizeof(void*) - 4))

static_assert(sizeof(HVALUE) == sizeof(void*), "value handles are pointer-sized");

static_assert(offsetof(TagRequest, operation) == 2);
static_assert(offsetof(TagRequest, count) == 4);
static_assert(offsetof(TagRequest, first) == 6);
static_assert(offsetof(TagRequest, size) == 8);
static_assert(offsetof(TagRequest, n1) == 10);
static_assert(offsetof(TagRequest, n4) == 16);
static_assert(offsetof(TagRequest, andMask) == 20);
static_assert(offsetof(TagRequest, orMask) == 24);
static_assert(offsetof(TagRequest, carried28) == 28);
static_assert(offsetof(TagRequest, carried29) == 29);
static_assert(offsetof(TagRequest, value) == 32);
static_assert(offsetof(TagRequest, status) == 36 + DRAVO_PTR_EXTRA(1));
static_assert(offsetof(TagRequest, scan) == 40 + DRAVO_PTR_EXTRA(2));
static_assert(offsetof(TagRequest, flags) == 44 + DRAVO_PTR_EXTRA(2));
static_assert(offsetof(TagRequest, tagObject) == 48 + DRAVO_PTR_EXTRA(2));
static_assert(offsetof(TagRequest, device) == 52 + DRAVO_PTR_EXTRA(3));
static_assert(offsetof(TagRequest, item) == 56 + DRAVO_PTR_EXTRA(4));
static_assert(sizeof(TagRequest) == 60 + DRAVO_PTR_EXTRA(5));

static_assert(offsetof(TagRequestOldA, andMask) == 18);
static_assert(offsetof(TagRequestOldA, orMask) == 22);
static_assert(offsetof(TagRequestOldA, carried26) == 26);
static_assert(offsetof(TagRequestOldA, value) == 28);
static_assert(offsetof(TagRequestOldA, status) == 32 + DRAVO_PTR_EXTRA(1));
static_assert(offsetof(TagRequestOldB, andMask) == 20);
static_assert(offsetof(TagRequestOldB, orMask) == 24);
static_assert(offsetof(TagRequestOldB, carried28) == 28);
static_assert(offsetof(TagRequestOldB, value) == 32);
static_assert(offsetof(TagRequestOldB, status) == 36 + DRAVO_PTR_EXTRA(1));

static_assert(offsetof(TagInfo, size) == 1);
static_assert(offsetof(TagInfo, n1) == 3);
static_assert(offsetof(TagInfo, n2) == 5);
static_assert(offsetof(TagInfo, n3) == 7);
static_assert(offsetof(TagInfo, n4) == 9);
static_assert(offsetof(TagInfo, flags) == 11);
static_assert(offsetof(TagInfo, tagObject) == 15);
static_assert(sizeof(TagInfo) == 19 + DRAVO_PTR_EXTRA(1));

static_assert(offsetof(BrowseEntry, kind) == 4);
static_assert(offsetof(BrowseEntry, name) == 12);
static_assert(offsetof(BrowseEntry, zero16) == 16 + DRAVO_PTR_EXTRA(1));
static_assert(offsetof(BrowseEntry, description) == 20 + DRAVO_PTR_EXTRA(1));
static_assert(offsetof(BrowseEntry, zero24) == 24 + DRAVO_PTR_EXTRA(2));
static_assert(offsetof(BrowseEntry, item) == 36 + DRAVO_PTR_EXTRA(2));
static_assert(offsetof(BrowseEntry, zero40) == 40 + DRAVO_PTR_EXTRA(3));
static_assert(offsetof(BrowseEntry, access) == 44 + DRAVO_PTR_EXTRA(3));
static_assert(offsetof(BrowseEntry, sizeOrIndex) == 48 + DRAVO_PTR_EXTRA(3));
static_assert(offsetof(BrowseEntry, zero52) == 52 + DRAVO_PTR_EXTRA(3));
static_assert(sizeof(BrowseEntry) == 68 + DRAVO_PTR_EXTRA(3));

#undef DRAVO_PTR_EXTRA
