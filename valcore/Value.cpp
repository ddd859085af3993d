// Lifetime, type, scalars, arrays, lists and properties of values.
#include "Numeric.h"
#include "ValueRecord.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

namespace
{
constexpr size_t kMaxCount = std::numeric_limits<uint16_t>::max();
constexpr size_t kTextIndex = 9;

template <class Vec> using ElementOf = typename std::decay_t<Vec>::value_type;

template <class T> Payload MakePayload(T x)
{
    return Payload(std::in_place_type<T>, std::move(x));
}

void ResetRecord(hvValueRecord& r) noexcept
{
    r.payload = Payload();
    r.quality = HV_QUALITY_GOOD;
    r.timestamp = 0.0;
    r.properties.clear();
}

std::vector<std::pair<uint16_t, CValueRef>> CloneProperties(const hvValueRecord& r)
{
    std::vector<std::pair<uint16_t, CValueRef>> out;
    out.reserve(r.properties.size());
    for (const auto& [id, value] : r.properties)
        out.emplace_back(id, CloneRecord(*value, true));
    return out;
}

// ---- scalar reads -------------------------------------------------------------------------

template <class T> bool ReadNumber(const Payload& p, T& out) noexcept
{
    return std::visit(
        [&](const auto& x) -> bool
        {
            using X = std::decay_t<decltype(x)>;
            if constexpr (kIsNumber<X>)
                return ConvertNumber(x, out);
            else
                return false;
        },
        p);
}

template <class T> int GetNumber(HVALUE v, T* out) noexcept
{
    if (!v || !out)
        return 0;
    T x{};
    if (!ReadNumber(v->payload, x))
        return 0;
    *out = x;
    return 1;
}

template <class T> int SetScalar(HVALUE v, T x) noexcept
{
    if (!v)
        return 0;
    v->payload = MakePayload(x);
    return 1;
}

int SetTextPayload(hvValueRecord& r, const char* text, size_t length)
{
    if (!text && length)
        return 0;
    r.payload = MakePayload(std::string(text ? text : "", length));
    return 1;
}

// ---- arrays ------------------------------------------------------------------------------

ValueArray* ArrayOf(HVALUE v) noexcept
{
    return v ? std::get_if<ValueArray>(&v->payload) : nullptr;
}

// Runs f(elements, index) on a checked element of v.
template <class F> int WithElement(HVALUE v, uint16_t index, F&& f)
{
    ValueArray* a = ArrayOf(v);
    if (!a)
        return 0;
    return std::visit(
        [&](auto& vec) -> int
        {
            if (index >= vec.size())
                return 0;
            return f(vec, index);
        },
        a->elements);
}

template <class T> int GetElementNumber(HVALUE v, uint16_t index, T* out) noexcept
{
    if (!out)
        return 0;
    return WithElement(v, index,
                       [&](auto& vec, size_t i) -> int
                       {
                           using E = ElementOf<decltype(vec)>;
                           T x{};
                           bool ok = false;
                           if constexpr (kIsNumber<E>)
                               ok = ConvertNumber(vec[i], x);
                           else if constexpr (std::is_same_v<E, CValueRef>)
                               ok = ReadNumber(vec[i]->payload, x);
                           if (ok)
                               *out = x;
                           return ok;
                       });
}

template <class T> int SetElementNumber(HVALUE v, uint16_t index, T x) noexcept
{
    return WithElement(v, index,
                       [&](auto& vec, size_t i) -> int
                       {
                           using E = ElementOf<decltype(vec)>;
                           if constexpr (kIsNumber<E>)
                           {
                               E e{};
                               if (!ConvertNumber(x, e))
                                   return 0;
                               vec[i] = e;
                               return 1;
                           }
                           else if constexpr (std::is_same_v<E, CValueRef>)
                           {
                               vec[i]->payload = MakePayload(x);
                               return 1;
                           }
                           else
                           {
                               return 0;
                           }
                       });
}

// The element as a scalar payload; HVAL elements share the nested record.
template <class Vec> Payload ElementPayload(const Vec& vec, size_t i)
{
    return MakePayload(vec[i]);
}

// ---- conversions ------------------------------------------------------------------------

template <class T> bool FormatNumber(T x, std::string& text)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, x);
    if (result.ec != std::errc())
        return false;
    text.assign(buffer, result.ptr);
    return true;
}

bool IsBlank(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

template <class T> bool ParseNumber(const std::string& text, T& out) noexcept
{
    const char* first = text.data();
    const char* last = first + text.size();
    while (first < last && IsBlank(*first))
        ++first;
    while (last > first && IsBlank(last[-1]))
        --last;
    // from_chars takes a leading '-' but not '+'.
    if (first < last && *first == '+')
    {
        ++first;
        if (first == last || *first == '-' || *first == '+')
            return false;
    }
    if (first == last)
        return false;
    int64_t whole = 0;
    auto r = std::from_chars(first, last, whole);
    if (r.ec == std::errc() && r.ptr == last)
        return ConvertNumber(whole, out);
    double real = 0;
    r = std::from_chars(first, last, real);
    if (r.ec != std::errc() || r.ptr != last)
        return false;
    return ConvertNumber(real, out);
}

// Converts a scalar payload (types 0-11) to the scalar type with the given index.
bool ConvertScalar(const Payload& src, size_t target, Payload& out)
{
    if (target == 0)
    {
        out = Payload();
        return true;
    }
    if (const CValueRef* nested = std::get_if<CValueRef>(&src))
    {
        if (target == src.index())
        {
            out = ClonePayload(src);
            return true;
        }
        return ConvertScalar((*nested)->payload, target, out);
    }
    if (src.index() == 0 || src.index() >= std::variant_size_v<Payload> - 2)
        return false;
    return WithAlternative<Payload>(target,
                                    [&](auto tag) -> bool
                                    {
                                        using To = typename decltype(tag)::type;
                                        return std::visit(
                                            [&](const auto& x) -> bool
                                            {
                                                using From = std::decay_t<decltype(x)>;
                                                if constexpr (std::is_same_v<To, CValueRef>)
                                                {
                                                    CValueRef wrapped(new hvValueRecord);
                                                    wrapped->payload = ClonePayload(src);
                                                    out = MakePayload(std::move(wrapped));
                                                    return true;
                                                }
                                                else if constexpr (std::is_same_v<To, From>)
                                                {
                                                    out = MakePayload(x);
                                                    return true;
                                                }
                                                else if constexpr (kIsNumber<To>)
                                                {
                                                    To y{};
                                                    bool ok = false;
                                                    if constexpr (kIsNumber<From>)
                                                        ok = ConvertNumber(x, y);
                                                    else if constexpr (std::is_same_v<From, std::string>)
                                                        ok = ParseNumber(x, y);
                                                    else if constexpr (std::is_same_v<From, TIME>)
                                                        ok = std::is_floating_point_v<To>
                                                                 ? ConvertNumber(TimeToSeconds(x), y)
                                                                 : ConvertNumber(
                                                                       static_cast<uint32_t>(x.seconds), y);
                                                    if (ok)
                                                        out = MakePayload(y);
                                                    return ok;
                                                }
                                                else if constexpr (std::is_same_v<To, std::string>)
                                                {
                                                    std::string text;
                                                    bool ok = false;
                                                    if constexpr (kIsNumber<From>)
                                                        ok = FormatNumber(x, text);
                                                    else if constexpr (std::is_same_v<From, TIME>)
                                                        ok = FormatTimeText(x, text);
                                                    if (ok)
                                                        out = MakePayload(std::move(text));
                                                    return ok;
                                                }
                                                else if constexpr (std::is_same_v<To, TIME>)
                                                {
                                                    TIME t{};
                                                    bool ok = false;
                                                    if constexpr (kIsNumber<From>)
                                                        ok = SecondsToTime(static_cast<double>(x), t);
                                                    else if constexpr (std::is_same_v<From, std::string>)
                                                        ok = ParseTimeText(x.data(), x.size(), t);
                                                    if (ok)
                                                        out = MakePayload(t);
                                                    return ok;
                                                }
                                                else
                                                {
                                                    return false;
                                                }
                                            },
                                            src);
                                    });
}

bool ConvertArray(const ValueArray& src, size_t elementIndex, Payload& out)
{
    ArrayElements converted;
    const bool ok = WithAlternative<ArrayElements>(
        elementIndex,
        [&](auto tag) -> bool
        {
            using To = typename decltype(tag)::type;
            To target;
            const bool all = std::visit(
                [&](const auto& vec) -> bool
                {
                    target.reserve(vec.size());
                    for (size_t i = 0; i < vec.size(); ++i)
                    {
                        Payload element;
                        if (!ConvertScalar(ElementPayload(vec, i), elementIndex + 1, element))
                            return false;
                        target.push_back(std::get<ElementOf<To>>(std::move(element)));
                    }
                    return true;
                },
                src.elements);
            if (all)
                converted = std::move(target);
            return all;
        });
    if (ok)
        out = MakePayload(ValueArray{std::move(converted)});
    return ok;
}

bool IsArrayElementType(uint8_t type) noexcept
{
    return type >= HV_I8 && type <= HV_TIME;
}

uint8_t ElementType(HVALUE v) noexcept
{
    return v ? static_cast<uint8_t>(PayloadType(v->payload) & 0x7F) : uint8_t{HV_NULL};
}

// ---- lists ------------------------------------------------------------------------------

HVALUE ListEntry(HVALUE list, uintptr_t* position) noexcept
{
    if (!list || !position)
        return nullptr;
    const uintptr_t index = *position;
    if (const ValueList* l = std::get_if<ValueList>(&list->payload))
    {
        if (index >= l->entries.size())
            return nullptr;
        *position = index + 1;
        return l->entries[index].get();
    }
    if (index != 0)
        return nullptr;
    *position = 1;
    return list;
}
} // namespace

// ---- internal helpers shared with the other sources ------------------------------------

uint8_t PayloadType(const Payload& p) noexcept
{
    if (const ValueArray* a = std::get_if<ValueArray>(&p))
        return static_cast<uint8_t>(HV_ARRAY | (a->elements.index() + 1));
    return static_cast<uint8_t>(p.index());
}

Payload ClonePayload(const Payload& p)
{
    return std::visit(
        [](const auto& x) -> Payload
        {
            using X = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<X, CValueRef>)
            {
                return MakePayload(CloneRecord(*x, true));
            }
            else if constexpr (std::is_same_v<X, ValueList>)
            {
                ValueList list;
                list.entries.reserve(x.entries.size());
                for (const CValueRef& e : x.entries)
                    list.entries.push_back(CloneRecord(*e, true));
                return MakePayload(std::move(list));
            }
            else if constexpr (std::is_same_v<X, ValueArray>)
            {
                return std::visit(
                    [](const auto& vec) -> Payload
                    {
                        using Vec = std::decay_t<decltype(vec)>;
                        if constexpr (std::is_same_v<ElementOf<Vec>, CValueRef>)
                        {
                            Vec copy;
                            copy.reserve(vec.size());
                            for (const CValueRef& e : vec)
                                copy.push_back(CloneRecord(*e, true));
                            return MakePayload(ValueArray{ArrayElements(std::move(copy))});
                        }
                        else
                        {
                            return MakePayload(ValueArray{ArrayElements(vec)});
                        }
                    },
                    x.elements);
            }
            else
            {
                return MakePayload(x);
            }
        },
        p);
}

CValueRef CloneRecord(const hvValueRecord& r, bool withTimestamp)
{
    CValueRef out(new hvValueRecord);
    out->quality = r.quality;
    if (withTimestamp)
        out->timestamp = r.timestamp;
    out->payload = ClonePayload(r.payload);
    out->properties = CloneProperties(r);
    return out;
}

void AssignRecord(hvValueRecord& dst, const hvValueRecord& src)
{
    if (&dst == &src)
        return;
    // src may live inside dst's payload: take everything before dst lets go of it.
    Payload payload = ClonePayload(src.payload);
    auto properties = CloneProperties(src);
    const uint8_t quality = src.quality;
    const double timestamp = src.timestamp;
    dst.payload = std::move(payload);
    dst.properties = std::move(properties);
    dst.quality = quality;
    dst.timestamp = timestamp;
}

// ---- lifetime ----------------------------------------------------------------------------

HVALUE hvCreate(void)
{
    return new (std::nothrow) hvValueRecord;
}

HVALUE hvAddRef(HVALUE v)
{
    if (v)
        v->refs.fetch_add(1, std::memory_order_relaxed);
    return v;
}

void hvRelease(HVALUE v)
{
    CValueRef dropped(v);
}

HVALUE hvDuplicate(HVALUE v)
{
    if (!v)
        return nullptr;
    return Guarded<HVALUE>(nullptr, [&] { return CloneRecord(*v, false).release(); });
}

int hvCopy(HVALUE dst, HVALUE src)
{
    if (!dst || !src)
        return 0;
    return Guarded(0,
                   [&]
                   {
                       AssignRecord(*dst, *src);
                       return 1;
                   });
}

void hvClear(HVALUE v)
{
    if (v)
        v->payload = Payload();
}

uint8_t hvGetQuality(HVALUE v)
{
    return v ? v->quality : static_cast<uint8_t>(HV_QUALITY_BAD);
}

void hvSetQuality(HVALUE v, uint8_t quality)
{
    if (v)
        v->quality = quality;
}

// ---- type --------------------------------------------------------------------------------

uint8_t hvGetType(HVALUE v)
{
    return v ? PayloadType(v->payload) : static_cast<uint8_t>(HV_NULL);
}

uint16_t hvGetCount(HVALUE v)
{
    if (const ValueArray* a = ArrayOf(v))
        return static_cast<uint16_t>(std::visit([](const auto& vec) { return vec.size(); }, a->elements));
    if (const ValueList* l = v ? std::get_if<ValueList>(&v->payload) : nullptr)
        return static_cast<uint16_t>(l->entries.size());
    return 0;
}

int hvIsArray(HVALUE v)
{
    return ArrayOf(v) != nullptr;
}

int hvIsNumeric(HVALUE v)
{
    const uint8_t t = ElementType(v);
    return t >= HV_I8 && t <= HV_R64;
}

int hvIsInteger(HVALUE v)
{
    const uint8_t t = ElementType(v);
    return t >= HV_I8 && t <= HV_U32;
}

int hvIsSigned(HVALUE v)
{
    const uint8_t t = ElementType(v);
    return t == HV_I8 || t == HV_I16 || t == HV_I32 || t == HV_R32 || t == HV_R64;
}

int hvIsReal(HVALUE v)
{
    const uint8_t t = ElementType(v);
    return t == HV_R32 || t == HV_R64;
}

int hvIsText(HVALUE v)
{
    return ElementType(v) == HV_STR;
}

// ---- scalars -----------------------------------------------------------------------------

int hvSetI8(HVALUE v, int8_t x)
{
    return SetScalar(v, x);
}
int hvSetU8(HVALUE v, uint8_t x)
{
    return SetScalar(v, x);
}
int hvSetI16(HVALUE v, int16_t x)
{
    return SetScalar(v, x);
}
int hvSetU16(HVALUE v, uint16_t x)
{
    return SetScalar(v, x);
}
int hvSetI32(HVALUE v, int32_t x)
{
    return SetScalar(v, x);
}
int hvSetU32(HVALUE v, uint32_t x)
{
    return SetScalar(v, x);
}
int hvSetR32(HVALUE v, float x)
{
    return SetScalar(v, x);
}
int hvSetR64(HVALUE v, double x)
{
    return SetScalar(v, x);
}
int hvGetI32(HVALUE v, int32_t* x)
{
    return GetNumber(v, x);
}
int hvGetU32(HVALUE v, uint32_t* x)
{
    return GetNumber(v, x);
}
int hvGetR64(HVALUE v, double* x)
{
    return GetNumber(v, x);
}
int hvGetU8(HVALUE v, uint8_t* x)
{
    return GetNumber(v, x);
}
int hvGetI8(HVALUE v, int8_t* x)
{
    return GetNumber(v, x);
}
int hvGetI16(HVALUE v, int16_t* x)
{
    return GetNumber(v, x);
}
int hvGetU16(HVALUE v, uint16_t* x)
{
    return GetNumber(v, x);
}
int hvGetR32(HVALUE v, float* x)
{
    return GetNumber(v, x);
}

int hvSetText(HVALUE v, const char* text)
{
    if (!v || !text)
        return 0;
    return hvSetTextN(v, text, std::strlen(text));
}

int hvSetTextN(HVALUE v, const char* text, size_t length)
{
    if (!v)
        return 0;
    return Guarded(0, [&] { return SetTextPayload(*v, text, length); });
}

int hvGetTextN(HVALUE v, const char** text, size_t* length)
{
    const std::string* s = v ? std::get_if<std::string>(&v->payload) : nullptr;
    if (!s || !text)
        return 0;
    *text = s->c_str();
    if (length)
        *length = s->size();
    return 1;
}

int hvGetText(HVALUE v, const char** text)
{
    return hvGetTextN(v, text, nullptr);
}

int hvSetTimeValue(HVALUE v, const TIME* t)
{
    if (!t || !IsValidTime(*t))
        return 0;
    return SetScalar(v, *t);
}

int hvGetTimeValue(HVALUE v, TIME* t)
{
    const TIME* stored = v ? std::get_if<TIME>(&v->payload) : nullptr;
    if (!stored || !t)
        return 0;
    *t = *stored;
    return 1;
}

int hvSetNestedValue(HVALUE v, HVALUE item)
{
    if (!v || !item)
        return 0;
    return Guarded(0,
                   [&]
                   {
                       v->payload = MakePayload(CloneRecord(*item, true));
                       return 1;
                   });
}

HVALUE hvGetNestedValue(HVALUE v)
{
    const CValueRef* nested = v ? std::get_if<CValueRef>(&v->payload) : nullptr;
    return nested ? hvAddRef(nested->get()) : nullptr;
}

// ---- conversions -------------------------------------------------------------------------

int hvChangeType(HVALUE v, uint8_t type)
{
    if (!v)
        return 0;
    const uint8_t current = PayloadType(v->payload);
    if (type == current)
        return 1;
    return Guarded(0,
                   [&]
                   {
                       Payload converted;
                       bool ok = false;
                       if (type == HV_NULL)
                           ok = true;
                       else if ((type & HV_ARRAY) && (current & HV_ARRAY) && IsArrayElementType(type & 0x7F))
                           ok = ConvertArray(std::get<ValueArray>(v->payload), (type & 0x7F) - 1u, converted);
                       else if (!(type & HV_ARRAY) && type < HV_LIST && current < HV_LIST)
                           ok = ConvertScalar(v->payload, type, converted);
                       if (ok)
                           v->payload = std::move(converted);
                       return ok ? 1 : 0;
                   });
}

int hvGetTextAs(HVALUE v, char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return 0;
    buffer[0] = '\0';
    if (!v || PayloadType(v->payload) >= HV_LIST)
        return 0;
    return Guarded(0,
                   [&]
                   {
                       Payload text;
                       if (!ConvertScalar(v->payload, kTextIndex, text))
                           return 0;
                       const std::string& s = std::get<std::string>(text);
                       if (s.size() >= size)
                           return 0;
                       std::memcpy(buffer, s.c_str(), s.size() + 1);
                       return 1;
                   });
}

// ---- arrays ------------------------------------------------------------------------------

int hvMakeArray(HVALUE v, uint8_t elementType, uint16_t count)
{
    const uint8_t type = elementType & 0x7F;
    if (!v || !IsArrayElementType(type))
        return 0;
    return Guarded(0,
                   [&]
                   {
                       ArrayElements elements;
                       WithAlternative<ArrayElements>(
                           type - 1u,
                           [&](auto tag)
                           {
                               using Vec = typename decltype(tag)::type;
                               Vec vec(count);
                               if constexpr (std::is_same_v<ElementOf<Vec>, CValueRef>)
                               {
                                   for (CValueRef& e : vec)
                                       e = CValueRef(new hvValueRecord);
                               }
                               elements = std::move(vec);
                               return true;
                           });
                       v->payload = MakePayload(ValueArray{std::move(elements)});
                       return 1;
                   });
}

int hvSetElementI32(HVALUE v, uint16_t index, int32_t x)
{
    return SetElementNumber(v, index, x);
}
int hvGetElementI32(HVALUE v, uint16_t index, int32_t* x)
{
    return GetElementNumber(v, index, x);
}
int hvSetElementU32(HVALUE v, uint16_t index, uint32_t x)
{
    return SetElementNumber(v, index, x);
}
int hvGetElementU32(HVALUE v, uint16_t index, uint32_t* x)
{
    return GetElementNumber(v, index, x);
}
int hvSetElementR32(HVALUE v, uint16_t index, float x)
{
    return SetElementNumber(v, index, x);
}
int hvGetElementR32(HVALUE v, uint16_t index, float* x)
{
    return GetElementNumber(v, index, x);
}
int hvSetElementR64(HVALUE v, uint16_t index, double x)
{
    return SetElementNumber(v, index, x);
}
int hvGetElementR64(HVALUE v, uint16_t index, double* x)
{
    return GetElementNumber(v, index, x);
}
int hvSetElementU8(HVALUE v, uint16_t index, uint8_t x)
{
    return SetElementNumber(v, index, x);
}
int hvGetElementU8(HVALUE v, uint16_t index, uint8_t* x)
{
    return GetElementNumber(v, index, x);
}
int hvSetElementI8(HVALUE v, uint16_t index, int8_t x)
{
    return SetElementNumber(v, index, x);
}
int hvGetElementI8(HVALUE v, uint16_t index, int8_t* x)
{
    return GetElementNumber(v, index, x);
}
int hvSetElementI16(HVALUE v, uint16_t index, int16_t x)
{
    return SetElementNumber(v, index, x);
}
int hvGetElementI16(HVALUE v, uint16_t index, int16_t* x)
{
    return GetElementNumber(v, index, x);
}
int hvSetElementU16(HVALUE v, uint16_t index, uint16_t x)
{
    return SetElementNumber(v, index, x);
}
int hvGetElementU16(HVALUE v, uint16_t index, uint16_t* x)
{
    return GetElementNumber(v, index, x);
}

int hvSetElementText(HVALUE v, uint16_t index, const char* text)
{
    if (!text)
        return 0;
    return Guarded(0,
                   [&]
                   {
                       return WithElement(v, index,
                                          [&](auto& vec, size_t i) -> int
                                          {
                                              using E = ElementOf<decltype(vec)>;
                                              if constexpr (std::is_same_v<E, std::string>)
                                              {
                                                  vec[i] = std::string(text);
                                                  return 1;
                                              }
                                              else if constexpr (std::is_same_v<E, CValueRef>)
                                              {
                                                  return SetTextPayload(*vec[i], text, std::strlen(text));
                                              }
                                              else
                                              {
                                                  return 0;
                                              }
                                          });
                   });
}

int hvGetElementText(HVALUE v, uint16_t index, const char** text)
{
    if (!text)
        return 0;
    return WithElement(v, index,
                       [&](auto& vec, size_t i) -> int
                       {
                           using E = ElementOf<decltype(vec)>;
                           if constexpr (std::is_same_v<E, std::string>)
                           {
                               *text = vec[i].c_str();
                               return 1;
                           }
                           else if constexpr (std::is_same_v<E, CValueRef>)
                           {
                               return hvGetText(vec[i].get(), text);
                           }
                           else
                           {
                               return 0;
                           }
                       });
}

int hvSetElementTime(HVALUE v, uint16_t index, const TIME* t)
{
    if (!t || !IsValidTime(*t))
        return 0;
    return WithElement(v, index,
                       [&](auto& vec, size_t i) -> int
                       {
                           using E = ElementOf<decltype(vec)>;
                           if constexpr (std::is_same_v<E, TIME>)
                           {
                               vec[i] = *t;
                               return 1;
                           }
                           else if constexpr (std::is_same_v<E, CValueRef>)
                           {
                               return hvSetTimeValue(vec[i].get(), t);
                           }
                           else
                           {
                               return 0;
                           }
                       });
}

int hvGetElementTime(HVALUE v, uint16_t index, TIME* t)
{
    if (!t)
        return 0;
    return WithElement(v, index,
                       [&](auto& vec, size_t i) -> int
                       {
                           using E = ElementOf<decltype(vec)>;
                           if constexpr (std::is_same_v<E, TIME>)
                           {
                               *t = vec[i];
                               return 1;
                           }
                           else if constexpr (std::is_same_v<E, CValueRef>)
                           {
                               return hvGetTimeValue(vec[i].get(), t);
                           }
                           else
                           {
                               return 0;
                           }
                       });
}

int hvSetElementEmpty(HVALUE v, uint16_t index)
{
    return WithElement(v, index,
                       [&](auto& vec, size_t i) -> int
                       {
                           using E = ElementOf<decltype(vec)>;
                           if constexpr (std::is_same_v<E, CValueRef>)
                               ResetRecord(*vec[i]);
                           else
                               vec[i] = E{};
                           return 1;
                       });
}

int hvSetElementValue(HVALUE v, uint16_t index, HVALUE item)
{
    if (!item)
        return 0;
    return Guarded(0,
                   [&]
                   {
                       return WithElement(v, index,
                                          [&](auto& vec, size_t i) -> int
                                          {
                                              using E = ElementOf<decltype(vec)>;
                                              if constexpr (std::is_same_v<E, CValueRef>)
                                              {
                                                  AssignRecord(*vec[i], *item);
                                                  return 1;
                                              }
                                              else
                                              {
                                                  if (std::holds_alternative<CValueRef>(item->payload) ||
                                                      PayloadType(item->payload) >= HV_LIST)
                                                      return 0;
                                                  Payload element;
                                                  if constexpr (kIsNumber<E>)
                                                  {
                                                      E x{};
                                                      if (!ReadNumber(item->payload, x))
                                                          return 0;
                                                      element = MakePayload(x);
                                                  }
                                                  else
                                                  {
                                                      if (!std::holds_alternative<E>(item->payload))
                                                          return 0;
                                                      element = item->payload;
                                                  }
                                                  vec[i] = std::get<E>(std::move(element));
                                                  return 1;
                                              }
                                          });
                   });
}

HVALUE hvGetElementValue(HVALUE v, uint16_t index)
{
    HVALUE result = nullptr;
    Guarded(0,
            [&]
            {
                return WithElement(v, index,
                                   [&](auto& vec, size_t i) -> int
                                   {
                                       using E = ElementOf<decltype(vec)>;
                                       if constexpr (std::is_same_v<E, CValueRef>)
                                       {
                                           result = hvAddRef(vec[i].get());
                                       }
                                       else
                                       {
                                           CValueRef element(new hvValueRecord);
                                           element->payload = MakePayload(vec[i]);
                                           element->quality = v->quality;
                                           element->timestamp = v->timestamp;
                                           result = element.release();
                                       }
                                       return 1;
                                   });
            });
    return result;
}

// ---- lists -------------------------------------------------------------------------------

int hvMakeList(HVALUE v, uint16_t reserve)
{
    if (!v)
        return 0;
    return Guarded(0,
                   [&]
                   {
                       ValueList list;
                       list.entries.reserve(reserve);
                       v->payload = MakePayload(std::move(list));
                       return 1;
                   });
}

uint16_t hvGetListCount(HVALUE v)
{
    if (!v)
        return 0;
    if (const ValueList* l = std::get_if<ValueList>(&v->payload))
        return static_cast<uint16_t>(l->entries.size());
    return 1;
}

HVALUE hvListFirst(HVALUE list, uintptr_t* position)
{
    if (!position)
        return nullptr;
    *position = 0;
    return ListEntry(list, position);
}

HVALUE hvListNext(HVALUE list, uintptr_t* position)
{
    return ListEntry(list, position);
}

int hvListAppend(HVALUE list, HVALUE item)
{
    ValueList* l = list ? std::get_if<ValueList>(&list->payload) : nullptr;
    if (!l || !item || l->entries.size() >= kMaxCount)
        return 0;
    return Guarded(0,
                   [&]
                   {
                       CValueRef copy = CloneRecord(*item, true);
                       l->entries.push_back(std::move(copy));
                       return 1;
                   });
}

// ---- properties --------------------------------------------------------------------------

int hvSetProperty(HVALUE v, uint16_t id, HVALUE value)
{
    if (!v)
        return 0;
    auto& props = v->properties;
    auto it = std::lower_bound(props.begin(), props.end(), id,
                               [](const auto& p, uint16_t key) { return p.first < key; });
    const bool found = it != props.end() && it->first == id;
    if (!value)
    {
        if (found)
            props.erase(it);
        return 1;
    }
    if (!found && props.size() >= kMaxCount)
        return 0;
    return Guarded(0,
                   [&]
                   {
                       CValueRef copy = CloneRecord(*value, true);
                       if (found)
                           it->second = std::move(copy);
                       else
                           props.emplace(it, id, std::move(copy));
                       return 1;
                   });
}

HVALUE hvGetProperty(HVALUE v, uint16_t id)
{
    if (!v)
        return nullptr;
    for (const auto& [key, value] : v->properties)
    {
        if (key == id)
            return hvAddRef(value.get());
    }
    return nullptr;
}

uint16_t hvGetPropertyCount(HVALUE v)
{
    return v ? static_cast<uint16_t>(v->properties.size()) : 0;
}

int hvGetPropertyId(HVALUE v, uint16_t n, uint16_t* id)
{
    if (!v || !id || n >= v->properties.size())
        return 0;
    *id = v->properties[n].first;
    return 1;
}
