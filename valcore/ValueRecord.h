// Internal representation of a value behind the HVALUE handle.
#pragma once
#include "dravo/hvalue.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// Counted reference to a value record. Copying adds a reference, destruction releases one.
class CValueRef
{
public:
    CValueRef() noexcept = default;
    explicit CValueRef(hvValueRecord* adopted) noexcept : m_p(adopted) {}
    CValueRef(const CValueRef& other) noexcept;
    CValueRef(CValueRef&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    CValueRef& operator=(CValueRef other) noexcept
    {
        std::swap(m_p, other.m_p);
        return *this;
    }
    ~CValueRef();

    hvValueRecord* get() const noexcept { return m_p; }
    hvValueRecord* operator->() const noexcept { return m_p; }
    hvValueRecord& operator*() const noexcept { return *m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }
    // Hands the reference to the caller.
    hvValueRecord* release() noexcept { return std::exchange(m_p, nullptr); }

private:
    hvValueRecord* m_p = nullptr;
};

struct ValueList
{
    std::vector<CValueRef> entries;
};

// Alternative i holds elements of type code i + 1 (I8 .. TIME). Every HVAL slot always
// holds a record of its own, so a nested element can be fetched and changed in place.
using ArrayElements =
    std::variant<std::vector<int8_t>, std::vector<uint8_t>, std::vector<int16_t>, std::vector<uint16_t>,
                 std::vector<int32_t>, std::vector<uint32_t>, std::vector<float>, std::vector<double>,
                 std::vector<std::string>, std::vector<CValueRef>, std::vector<TIME>>;

struct ValueArray
{
    ArrayElements elements;
};

// Alternatives 0 .. 12 are in type-code order; the last one is an array.
using Payload = std::variant<std::monostate, int8_t, uint8_t, int16_t, uint16_t, int32_t, uint32_t, float,
                             double, std::string, CValueRef, TIME, ValueList, ValueArray>;

inline constexpr size_t kArrayIndex = 13;

struct hvValueRecord
{
    std::atomic<uint32_t> refs{1};
    uint8_t quality = HV_QUALITY_GOOD;
    double timestamp = 0.0;
    Payload payload;
    // Sorted by id, ids unique.
    std::vector<std::pair<uint16_t, CValueRef>> properties;
};

inline CValueRef::CValueRef(const CValueRef& other) noexcept : m_p(other.m_p)
{
    if (m_p)
        m_p->refs.fetch_add(1, std::memory_order_relaxed);
}

inline CValueRef::~CValueRef()
{
    if (m_p && m_p->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete m_p;
}

// Type code of a payload (bit 7 set for arrays).
uint8_t PayloadType(const Payload& p) noexcept;
// Deep copies; they throw std::bad_alloc, which the C entry points turn into failures.
Payload ClonePayload(const Payload& p);
CValueRef CloneRecord(const hvValueRecord& r, bool withTimestamp);
// Copies payload, quality, timestamp and properties of src into dst; strong guarantee.
void AssignRecord(hvValueRecord& dst, const hvValueRecord& src);

bool IsValidTime(const TIME& t) noexcept;
// Seconds since 1970 -> TIME, rounded to the millisecond; false outside the TIME range.
bool SecondsToTime(double seconds, TIME& t) noexcept;
double TimeToSeconds(const TIME& t) noexcept;

// Runs f, turning any exception into the failure result.
template <class R, class F> R Guarded(R failure, F&& f) noexcept
{
    try
    {
        return f();
    }
    catch (...)
    {
        return failure;
    }
}

// "YYYY-MM-DDTHH:MM:SS.mmmZ" and its reading (see hvChangeType).
bool FormatTimeText(const TIME& t, std::string& text);
bool ParseTimeText(const char* text, size_t length, TIME& t) noexcept;

template <class T> struct TypeTag
{
    using type = T;
};

// Calls f(TypeTag<alternative>{}) for the alternative with the given index.
template <class Variant, size_t I = 0, class F> bool WithAlternative(size_t index, F&& f)
{
    if constexpr (I < std::variant_size_v<Variant>)
    {
        if (index == I)
            return f(TypeTag<std::variant_alternative_t<I, Variant>>{});
        return WithAlternative<Variant, I + 1>(index, std::forward<F>(f));
    }
    else
    {
        (void)index;
        (void)f;
        return false;
    }
}
