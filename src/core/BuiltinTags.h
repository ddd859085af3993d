// The framework's own tags (N1 = 0xFFFF, N2 = 0) that every driver instance offers:
// their table, the matching of a tag address against it by item name or by numbers,
// the folder and help texts, and the import of the tree into the host's tag browser.
#pragma once
#include "dravo/IOInterfaces.h"
#include "dravo/IORecords.h"

#include <cstddef>
#include <cstdint>
#include <span>

// Folders of the browser tree, numbered as in the table.
enum EBuiltinFolder : uint8_t
{
    BUILTIN_FOLDER_GENERAL = 1,
    BUILTIN_FOLDER_MODEM = 2,
    BUILTIN_FOLDER_ETHERNET = 3,
    BUILTIN_FOLDER_PARAMETERS = 4,
    BUILTIN_FOLDER_STATISTICS = 5,
};

// Row flags. Bits 3 to 5 travel with the rows for the I/O host and are not interpreted here.
enum : uint8_t
{
    BUILTIN_READABLE = 0x01,
    BUILTIN_WRITABLE = 0x02,
    // The numeric match accepts the address with or without a block size.
    BUILTIN_ANY_SIZE = 0x04,
};

// The fixed first number and second number of every framework tag.
constexpr uint16_t BUILTIN_N1 = 0xFFFF;
constexpr uint16_t BUILTIN_N2 = 0;

struct SBuiltinElement
{
    const char* name;
    uint32_t helpText;
};

struct SBuiltinTag
{
    uint8_t folder;    // EBuiltinFolder
    const char* name;  // also the item text that addresses the tag
    uint32_t helpText; // text number
    uint8_t type;      // value type code (HV_*)
    uint8_t flags;     // BUILTIN_* bits
    uint16_t size;     // 0 for a single value, else the block size
    uint16_t n1, n2, n3, n4;
    std::span<const SBuiltinElement> elements; // the elements of a block, in order

    bool IsBlock() const { return size != 0; }
};

class CBuiltinTags
{
public:
    // Every row in table order.
    static std::span<const SBuiltinTag> Rows();

    // By item name, without regard to ASCII case. When two rows share a name the later
    // row wins (a configuration key shadows the modem tag of the same name).
    static const SBuiltinTag* FindByName(const char* name);
    static const SBuiltinTag* FindByName(const char16_t* name);
    // By the pair N3, N4; the later row wins as above.
    static const SBuiltinTag* FindByNumbers(uint16_t n3, uint16_t n4);

    // Fills N1 to N4, size, type and flags (bit 0: not readable, bit 1: not writable) of
    // `info` from the row named `item`. E_POINTER for null arguments, E_FAIL when no row
    // has that name.
    static HRESULT MatchName(const char* item, TagInfo* info);
    static HRESULT MatchName(const char16_t* item, TagInfo* info);
    // Accepts `info`'s numbers when they address a row and its size fits the row (both
    // sizes zero, both non-zero, or a row that takes either); leaves `info` unchanged.
    static HRESULT MatchNumbers(const TagInfo* info);

    // The folder, description or help text of a number; "" for an unknown number.
    static const char* Text(uint32_t number);

    // Adds the tree "Dravo" with its folders, tags, the block and its elements under
    // `root`. A folder or block that cannot be added is skipped with its entries.
    static HRESULT ImportTags(IIOTagBrowser* root);
};
