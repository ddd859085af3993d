// The host's value library: reference-counted value handles with a C API.
// A get returns nonzero on success and fills its out-argument; every call accepts the
// null handle and then fails (or does nothing).
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
    uint16_t dayOfYear; // 1-366
    uint8_t weekday;    // 0 = Sunday
} TIMEX;
#pragma pack(pop)

// Lifetime. A new value is null-typed, quality good (192), timestamp 0.
HV_API HVALUE hvCreate(void);
HV_API HVALUE hvAddRef(HVALUE v);               // returns v
HV_API void hvRelease(HVALUE v);
HV_API HVALUE hvDuplicate(HVALUE v);            // new handle: own payload and quality, timestamp 0
HV_API int hvCopy(HVALUE dst, HVALUE src);      // payload, timestamp and quality
HV_API void hvClear(HVALUE v);                  // back to null (timestamp and quality kept)
HV_API uint8_t hvGetQuality(HVALUE v);
HV_API void hvSetQuality(HVALUE v, uint8_t quality);

// Type.
HV_API uint8_t hvGetType(HVALUE v);
HV_API uint16_t hvGetCount(HVALUE v);           // elements of an array, entries of a list, else 0
HV_API int hvIsArray(HVALUE v);
HV_API int hvIsNumeric(HVALUE v);               // I8..R64 (scalar or array element type)
HV_API int hvIsInteger(HVALUE v);
HV_API int hvIsSigned(HVALUE v);
HV_API int hvIsReal(HVALUE v);
HV_API int hvIsText(HVALUE v);

// Scalars. Numeric gets convert from any numeric scalar type (reals are truncated toward
// zero, out-of-range values clamp); they fail on non-numeric values.
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
// Text is narrow (UTF-8 on Linux). The pointer belongs to the value and stays valid while
// the value lives unchanged. Get fails unless the value is a text.
HV_API int hvSetText(HVALUE v, const char* text);
HV_API int hvSetTextN(HVALUE v, const char* text, size_t length);
HV_API int hvGetText(HVALUE v, const char** text);
// A scalar TIME value (type 11).
HV_API int hvSetTimeValue(HVALUE v, const TIME* t);
HV_API int hvGetTimeValue(HVALUE v, TIME* t);

// Arrays. Make turns the value into an array of elementType (bits 0-6) with count elements,
// zeroed (empty texts, null nested values). Element access checks the index.
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
HV_API int hvSetElementEmpty(HVALUE v, uint16_t index);
// For arrays of HVAL (138) the element keeps its own copy of item (payload, timestamp, quality).
HV_API int hvSetElementValue(HVALUE v, uint16_t index, HVALUE item);
// A new reference the caller releases: the nested value for HVAL elements, else a new
// scalar value holding the element. 0 when the index is out of range.
HV_API HVALUE hvGetElementValue(HVALUE v, uint16_t index);

// Lists (type 12). reserve is only a capacity hint; a new list is empty.
HV_API int hvMakeList(HVALUE v, uint16_t reserve);
HV_API uint16_t hvGetListCount(HVALUE v);
// Borrowed handles: the caller does not release them. *position is opaque, 0 before First.
HV_API HVALUE hvListFirst(HVALUE list, uintptr_t* position);
HV_API HVALUE hvListNext(HVALUE list, uintptr_t* position);
HV_API int hvListAppend(HVALUE list, HVALUE item); // the list keeps its own copy

// Timestamps.
HV_API int hvGetTimestamp(HVALUE v, double* secondsSince1970);
HV_API int hvGetTimestampTime(HVALUE v, TIME* t);
HV_API int hvSetTimestamp(HVALUE v, double secondsSince1970);
HV_API int hvSetTimestampTime(HVALUE v, const TIME* t);
HV_API int hvSetTimestampTimeX(HVALUE v, const TIMEX* t); // TIMEX in UTC
HV_API double hvNow(void);
HV_API void hvNowTime(TIME* t);
HV_API int hvTimeToTimeX(const TIME* t, TIMEX* x);        // false when impossible
HV_API int hvTimeXToTime(const TIMEX* x, TIME* t);        // false when impossible

// Serialisation: size first, then the bytes; Deserialize replaces the value's contents.
HV_API uint32_t hvSerializeSize(HVALUE v);
HV_API uint32_t hvSerialize(HVALUE v, void* buffer, uint32_t size); // bytes written, 0 on failure
HV_API int hvDeserialize(HVALUE v, const void* buffer, uint32_t size);

#ifdef __cplusplus
}
#endif
