// The host's value library: reference-counted value handles with a C API.
// A get returns nonzero on success and fills its out-argument; every call accepts the
// null handle and then fails (or does nothing). A failed call leaves the value unchanged;
// running out of memory is an ordinary failure (0 or a null handle), never an exception.
//
// Threads: adding and releasing references is safe from any thread. A value's contents may
// be read by several threads at once, but must not be changed while another thread uses it.
//
// Numeric conversion (every numeric get, typed element access, hvChangeType): integers
// convert exactly when the target can hold them and otherwise clamp to the target's range;
// reals convert to integers by truncation toward zero and then clamp; NaN converts to no
// integer (failure); R64 to R32 rounds to nearest and clamps to the largest finite float.
#pragma once
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(VALCORE_BUILDING)
#define HV_API __declspec(dllexport)
#else
#define HV_API __declspec(dllimport)
#endif
#else
#define HV_API __attribute__((visibility("default")))
#endif

typedef struct hvValueRecord* HVALUE; // 0 = no value

// Type codes; HV_ARRAY (bit 7) marks an array of the type in bits 0-6.
enum
{
    HV_NULL = 0,
    HV_I8 = 1,
    HV_U8 = 2,
    HV_I16 = 3,
    HV_U16 = 4,
    HV_I32 = 5,
    HV_U32 = 6,
    HV_R32 = 7,
    HV_R64 = 8,
    HV_STR = 9,
    HV_HVAL = 10,
    HV_TIME = 11,
    HV_LIST = 12,
    HV_ARRAY = 0x80
};

#define HV_QUALITY_GOOD 192
#define HV_QUALITY_BAD 0

#pragma pack(push, 1)
typedef struct TIME
{
    uint32_t seconds;     // since 1970-01-01 UTC
    int16_t milliseconds;
} TIME;

typedef struct TIMEX
{
    uint16_t year;
    uint8_t month;  // 1-12
    uint8_t day;    // 1-31
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
    uint16_t millisecond;
    uint16_t dayOfYear; // 0-365 (0 = 1 January), as in the C library's tm_yday
    uint8_t weekday;    // 0 = Sunday
} TIMEX;
#pragma pack(pop)

// Lifetime. A new value is null-typed, quality good (192), timestamp 0, no properties.
// Copies are deep: nested values, list entries and properties are copied, never shared.
HV_API HVALUE hvCreate(void);
HV_API HVALUE hvAddRef(HVALUE v);               // returns v
HV_API void hvRelease(HVALUE v);
HV_API HVALUE hvDuplicate(HVALUE v);            // new handle: own payload, quality and properties, timestamp 0
HV_API int hvCopy(HVALUE dst, HVALUE src);      // payload, timestamp, quality and properties
HV_API void hvClear(HVALUE v);                  // back to null (timestamp, quality and properties kept)
HV_API uint8_t hvGetQuality(HVALUE v);          // 0 (bad) for the null handle
HV_API void hvSetQuality(HVALUE v, uint8_t quality);

// Type.
HV_API uint8_t hvGetType(HVALUE v);
HV_API uint16_t hvGetCount(HVALUE v);           // elements of an array, entries of a list, else 0
HV_API int hvIsArray(HVALUE v);
// The predicates look at the type of a scalar or at the element type of an array.
HV_API int hvIsNumeric(HVALUE v);               // I8..R64
HV_API int hvIsInteger(HVALUE v);               // I8..U32
HV_API int hvIsSigned(HVALUE v);                // I8, I16, I32, R32, R64
HV_API int hvIsReal(HVALUE v);                  // R32, R64
HV_API int hvIsText(HVALUE v);                  // STR

// Scalars. Numeric gets convert from any numeric scalar type by the rules above; they fail
// on every other type (texts are not parsed here: see hvChangeType).
HV_API int hvSetI8(HVALUE v, int8_t x);
HV_API int hvSetU8(HVALUE v, uint8_t x);
HV_API int hvSetI16(HVALUE v, int16_t x);
HV_API int hvSetU16(HVALUE v, uint16_t x);
HV_API int hvSetI32(HVALUE v, int32_t x);
HV_API int hvSetU32(HVALUE v, uint32_t x);
HV_API int hvSetR32(HVALUE v, float x);
HV_API int hvSetR64(HVALUE v, double x);
HV_API int hvGetI32(HVALUE v, int32_t* x);
HV_API int hvGetU32(HVALUE v, uint32_t* x);
HV_API int hvGetR64(HVALUE v, double* x);
HV_API int hvGetU8(HVALUE v, uint8_t* x);
HV_API int hvGetI8(HVALUE v, int8_t* x);
HV_API int hvGetI16(HVALUE v, int16_t* x);
HV_API int hvGetU16(HVALUE v, uint16_t* x);
HV_API int hvGetR32(HVALUE v, float* x);
// Text is narrow (UTF-8 on Linux). The pointer belongs to the value and stays valid while
// the value lives unchanged. Get fails unless the value is a text.
HV_API int hvSetText(HVALUE v, const char* text);
HV_API int hvSetTextN(HVALUE v, const char* text, size_t length);
HV_API int hvGetText(HVALUE v, const char** text);
// The same with the length in bytes; a text may hold zero bytes when set with hvSetTextN.
HV_API int hvGetTextN(HVALUE v, const char** text, size_t* length);
// A scalar TIME value (type 11). Milliseconds must lie in 0-999 wherever a TIME is accepted.
HV_API int hvSetTimeValue(HVALUE v, const TIME* t);
HV_API int hvGetTimeValue(HVALUE v, TIME* t);
// A scalar HVAL value (type 10): set stores a copy of item; get returns a new reference to the
// nested value itself (changes through it change v), 0 unless v is of type 10.
HV_API int hvSetNestedValue(HVALUE v, HVALUE item);
HV_API HVALUE hvGetNestedValue(HVALUE v);

// Conversions.
// hvChangeType converts the payload in place to type (timestamp, quality, properties kept):
//  - to the same type: nothing changes; to null (0): the payload is dropped;
//  - numeric -> numeric: by the numeric rules above;
//  - numeric -> STR: integers in decimal; reals in the shortest text that reads back to the
//    same number ("0.1", "1e+20", "nan", "inf");
//  - STR -> numeric: the whole text, blanks around it allowed, must be one decimal number
//    with an optional sign ("42", "-1.5", "2.5e3"); it is read as a real when it has a
//    fraction or exponent and then converted by the numeric rules ("3.7" -> I32 3);
//  - TIME -> STR: "YYYY-MM-DDTHH:MM:SS.mmmZ" (UTC); STR -> TIME: "YYYY-MM-DD", then "T" or
//    a blank and "HH:MM:SS", optionally ".f" with 1-3 digits and "Z";
//  - TIME -> numeric: seconds since 1970 (reals keep the milliseconds as a fraction);
//    numeric -> TIME: seconds since 1970, rounded to the millisecond, refused outside TIME;
//  - HVAL (type 10) -> other: the nested value's payload, converted; other -> HVAL: a nested
//    value holding the converted payload (its quality good, timestamp 0);
//  - array -> array: every element by the rules above (HVAL elements as just said);
//    one failing element fails the whole change;
//  - everything else (null to a type, lists, scalar <-> array) fails.
HV_API int hvChangeType(HVALUE v, uint8_t type);
// Writes the value as text (hvChangeType's rules to STR) into buffer, zero-terminated. Fails,
// leaving an empty text when size allows, when the value has no text form or it does not fit.
HV_API int hvGetTextAs(HVALUE v, char* buffer, size_t size);

// Arrays. Make turns the value into an array of elementType (bits 0-6: I8 .. TIME; null and
// LIST are refused) with count elements, zeroed (empty texts, null nested values, TIME 0).
// Element access checks the index. Typed element access converts: numeric gets and sets work
// on every numeric element type by the numeric rules; texts only on STR elements; TIME only on
// TIME elements. On an array of HVAL every typed get or set acts on the nested value as the
// scalar get or set of that type would (so hvGetElementText reads a nested text).
HV_API int hvMakeArray(HVALUE v, uint8_t elementType, uint16_t count);
HV_API int hvSetElementI32(HVALUE v, uint16_t index, int32_t x);
HV_API int hvGetElementI32(HVALUE v, uint16_t index, int32_t* x);
HV_API int hvSetElementU32(HVALUE v, uint16_t index, uint32_t x);
HV_API int hvGetElementU32(HVALUE v, uint16_t index, uint32_t* x);
HV_API int hvSetElementR32(HVALUE v, uint16_t index, float x);
HV_API int hvGetElementR32(HVALUE v, uint16_t index, float* x);
HV_API int hvSetElementR64(HVALUE v, uint16_t index, double x);
HV_API int hvGetElementR64(HVALUE v, uint16_t index, double* x);
HV_API int hvSetElementText(HVALUE v, uint16_t index, const char* text);
HV_API int hvGetElementText(HVALUE v, uint16_t index, const char** text);
HV_API int hvSetElementTime(HVALUE v, uint16_t index, const TIME* t);
HV_API int hvGetElementTime(HVALUE v, uint16_t index, TIME* t);
HV_API int hvSetElementU8(HVALUE v, uint16_t index, uint8_t x);   // booleans as 1/0
HV_API int hvGetElementU8(HVALUE v, uint16_t index, uint8_t* x);
HV_API int hvSetElementI8(HVALUE v, uint16_t index, int8_t x);
HV_API int hvGetElementI8(HVALUE v, uint16_t index, int8_t* x);
HV_API int hvSetElementI16(HVALUE v, uint16_t index, int16_t x);
HV_API int hvGetElementI16(HVALUE v, uint16_t index, int16_t* x);
HV_API int hvSetElementU16(HVALUE v, uint16_t index, uint16_t x);
HV_API int hvGetElementU16(HVALUE v, uint16_t index, uint16_t* x);
// Zero, empty text or TIME 0; a nested value is reset to a new value's state.
HV_API int hvSetElementEmpty(HVALUE v, uint16_t index);
// For arrays of HVAL (138) the element keeps its own copy of item (payload, timestamp, quality,
// properties). For other arrays item must be a scalar that the element type accepts by the
// rules of typed element access (a number for numeric elements, a text, a TIME).
HV_API int hvSetElementValue(HVALUE v, uint16_t index, HVALUE item);
// A new reference the caller releases: the nested value itself for HVAL elements (changes
// through it change the array), else a new scalar value holding the element, with the array's
// quality and timestamp. 0 when the index is out of range.
HV_API HVALUE hvGetElementValue(HVALUE v, uint16_t index);

// Lists (type 12). reserve is only a capacity hint; a new list is empty. A list holds at most
// 65535 entries. Any value that is not a list reads as a list of one entry, itself, so a
// reader can treat a single value and a list of values alike.
HV_API int hvMakeList(HVALUE v, uint16_t reserve);
HV_API uint16_t hvGetListCount(HVALUE v);
// Borrowed handles, valid while the list lives unchanged: the caller does not release them.
// *position is opaque (0 before the first entry); both return 0 after the last entry.
HV_API HVALUE hvListFirst(HVALUE list, uintptr_t* position);
HV_API HVALUE hvListNext(HVALUE list, uintptr_t* position);
HV_API int hvListAppend(HVALUE list, HVALUE item); // the list keeps its own copy of item

// Properties: numbered values attached to a value (for example 138, the tag number). Set
// stores a copy of value, replacing any earlier one; a null value removes the property.
// Get returns a new reference to the stored property, 0 when there is none.
HV_API int hvSetProperty(HVALUE v, uint16_t id, HVALUE value);
HV_API HVALUE hvGetProperty(HVALUE v, uint16_t id);
HV_API uint16_t hvGetPropertyCount(HVALUE v);
HV_API int hvGetPropertyId(HVALUE v, uint16_t n, uint16_t* id); // n-th id in ascending order

// Timestamps. A TIME is made from seconds by adding 0.0005, taking the whole seconds and the
// truncated thousandths of the rest (rounding to the millisecond); outside 0 .. 2^32 - 1
// seconds there is no TIME. A timestamp must be finite.
// TIMEX: TimeToTimeX fills every field, day of year and weekday included; on failure it
// zeroes *x (an all-zero TIMEX means no time). TimeXToTime checks year 1970-2106, month, day
// (leap years included), hour, minute, second 0-59, millisecond 0-999 and the TIME range,
// ignores dayOfYear and weekday, and zeroes *t on failure.
HV_API int hvGetTimestamp(HVALUE v, double* secondsSince1970);
HV_API int hvGetTimestampTime(HVALUE v, TIME* t);
HV_API int hvSetTimestamp(HVALUE v, double secondsSince1970);
HV_API int hvSetTimestampTime(HVALUE v, const TIME* t);
HV_API int hvSetTimestampTimeX(HVALUE v, const TIMEX* t); // TIMEX in UTC
HV_API double hvNow(void);
HV_API void hvNowTime(TIME* t);
HV_API int hvTimeToTimeX(const TIME* t, TIMEX* x);        // false when impossible
HV_API int hvTimeXToTime(const TIMEX* x, TIME* t);        // false when impossible

// Serialisation: size first, then the bytes; Deserialize replaces the value's contents
// (payload, timestamp, quality, properties). The bytes hold everything, nested values, list
// entries and properties included, in a fixed little-endian layout that does not depend on
// the machine. Values nested deeper than 64 levels (nested values, list entries, properties)
// are refused on both sides. Deserialize checks every byte it reads: malformed, truncated or
// over-long input fails and leaves the value unchanged.
HV_API uint32_t hvSerializeSize(HVALUE v);                          // 0 on failure
HV_API uint32_t hvSerialize(HVALUE v, void* buffer, uint32_t size); // bytes written, 0 on failure
HV_API int hvDeserialize(HVALUE v, const void* buffer, uint32_t size);

#ifdef __cplusplus
}
#endif
