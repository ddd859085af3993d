// Serialisation of values into a self-describing little-endian byte layout:
//   stream  = 'H' 'V' version(1) value
//   value   = type(u8) quality(u8) timestamp(f64) propertyCount(u16) {id(u16) value} payload
//   payload = nothing for null; the number for I8..R64; length(u32) bytes for STR; a value for
//             HVAL; seconds(u32) milliseconds(i16) for TIME; count(u16) {value} for LIST;
//             count(u16) {element} for arrays, each element written like the scalar payload.
#include "ValueRecord.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace
{
constexpr uint8_t kMagic[3] = {'H', 'V', 1};
constexpr unsigned kMaxDepth = 64;
constexpr size_t kValueHeaderSize = 1 + 1 + 8 + 2;

template <class Vec> using ElementOf = typename std::decay_t<Vec>::value_type;

// Counts when out is null, writes otherwise.
class CByteWriter
{
public:
    explicit CByteWriter(uint8_t* out) : m_out(out) {}
    uint64_t size() const noexcept { return m_size; }

    void Bytes(const void* data, size_t n) noexcept
    {
        if (m_out && n)
            std::memcpy(m_out + m_size, data, n);
        m_size += n;
    }
    template <class U> void Uint(U x) noexcept
    {
        static_assert(std::is_unsigned_v<U>);
        uint8_t bytes[sizeof(U)];
        for (size_t i = 0; i < sizeof(U); ++i)
            bytes[i] = static_cast<uint8_t>(x >> (8 * i));
        Bytes(bytes, sizeof bytes);
    }
    template <class T> void Number(T x) noexcept
    {
        if constexpr (std::is_same_v<T, float>)
            Uint(std::bit_cast<uint32_t>(x));
        else if constexpr (std::is_same_v<T, double>)
            Uint(std::bit_cast<uint64_t>(x));
        else
            Uint(static_cast<std::make_unsigned_t<T>>(x));
    }

private:
    uint8_t* m_out;
    uint64_t m_size = 0;
};

class CByteReader
{
public:
    CByteReader(const uint8_t* data, size_t size) : m_p(data), m_left(size) {}
    size_t left() const noexcept { return m_left; }

    bool Bytes(void* out, size_t n) noexcept
    {
        if (n > m_left)
            return false;
        if (n)
            std::memcpy(out, m_p, n);
        m_p += n;
        m_left -= n;
        return true;
    }
    template <class U> bool Uint(U& x) noexcept
    {
        uint8_t bytes[sizeof(U)];
        if (!Bytes(bytes, sizeof bytes))
            return false;
        x = 0;
        for (size_t i = 0; i < sizeof(U); ++i)
            x = static_cast<U>(x | static_cast<U>(static_cast<U>(bytes[i]) << (8 * i)));
        return true;
    }
    template <class T> bool Number(T& x) noexcept
    {
        if constexpr (std::is_same_v<T, float>)
        {
            uint32_t bits = 0;
            const bool ok = Uint(bits);
            x = std::bit_cast<float>(bits);
            return ok;
        }
        else if constexpr (std::is_same_v<T, double>)
        {
            uint64_t bits = 0;
            const bool ok = Uint(bits);
            x = std::bit_cast<double>(bits);
            return ok;
        }
        else
        {
            std::make_unsigned_t<T> bits = 0;
            const bool ok = Uint(bits);
            x = static_cast<T>(bits);
            return ok;
        }
    }

private:
    const uint8_t* m_p;
    size_t m_left;
};

bool WriteValue(CByteWriter& w, const hvValueRecord& r, unsigned depth);

template <class E> bool WriteElement(CByteWriter& w, const E& e, unsigned depth)
{
    if constexpr (std::is_same_v<E, std::string>)
    {
        if (e.size() > std::numeric_limits<uint32_t>::max())
            return false;
        w.Uint(static_cast<uint32_t>(e.size()));
        w.Bytes(e.data(), e.size());
    }
    else if constexpr (std::is_same_v<E, CValueRef>)
    {
        return WriteValue(w, *e, depth + 1);
    }
    else if constexpr (std::is_same_v<E, TIME>)
    {
        const TIME t = e;
        w.Uint(uint32_t{t.seconds});
        w.Number(int16_t{t.milliseconds});
    }
    else
    {
        w.Number(e);
    }
    return true;
}

bool WriteValue(CByteWriter& w, const hvValueRecord& r, unsigned depth)
{
    if (depth > kMaxDepth)
        return false;
    w.Uint(PayloadType(r.payload));
    w.Uint(r.quality);
    w.Number(r.timestamp);
    w.Uint(static_cast<uint16_t>(r.properties.size()));
    for (const auto& [id, value] : r.properties)
    {
        w.Uint(id);
        if (!WriteValue(w, *value, depth + 1))
            return false;
    }
    return std::visit(
        [&](const auto& x) -> bool
        {
            using X = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<X, std::monostate>)
            {
                return true;
            }
            else if constexpr (std::is_same_v<X, ValueList>)
            {
                w.Uint(static_cast<uint16_t>(x.entries.size()));
                for (const CValueRef& e : x.entries)
                {
                    if (!WriteValue(w, *e, depth + 1))
                        return false;
                }
                return true;
            }
            else if constexpr (std::is_same_v<X, ValueArray>)
            {
                return std::visit(
                    [&](const auto& vec) -> bool
                    {
                        w.Uint(static_cast<uint16_t>(vec.size()));
                        for (const auto& e : vec)
                        {
                            if (!WriteElement(w, e, depth))
                                return false;
                        }
                        return true;
                    },
                    x.elements);
            }
            else
            {
                return WriteElement(w, x, depth);
            }
        },
        r.payload);
}

// Total size, or 0 when the value cannot be serialised.
uint64_t SerializedSize(const hvValueRecord& r)
{
    CByteWriter counter(nullptr);
    counter.Bytes(kMagic, sizeof kMagic);
    if (!WriteValue(counter, r, 0) || counter.size() > std::numeric_limits<uint32_t>::max())
        return 0;
    return counter.size();
}

bool ReadValue(CByteReader& in, hvValueRecord& r, unsigned depth);

template <class E> constexpr size_t MinElementSize() noexcept
{
    if constexpr (std::is_same_v<E, std::string>)
        return 4;
    else if constexpr (std::is_same_v<E, CValueRef>)
        return kValueHeaderSize;
    else if constexpr (std::is_same_v<E, TIME>)
        return 6;
    else
        return sizeof(E);
}

template <class E> bool ReadElement(CByteReader& in, E& e, unsigned depth)
{
    if constexpr (std::is_same_v<E, std::string>)
    {
        uint32_t length = 0;
        if (!in.Uint(length) || length > in.left())
            return false;
        e.resize(length);
        return in.Bytes(e.data(), length);
    }
    else if constexpr (std::is_same_v<E, CValueRef>)
    {
        e = CValueRef(new hvValueRecord);
        return ReadValue(in, *e, depth + 1);
    }
    else if constexpr (std::is_same_v<E, TIME>)
    {
        uint32_t seconds = 0;
        int16_t ms = 0;
        if (!in.Uint(seconds) || !in.Number(ms))
            return false;
        e = TIME{seconds, ms};
        return IsValidTime(e);
    }
    else
    {
        return in.Number(e);
    }
}

template <class Vec> bool ReadElements(CByteReader& in, Vec& vec, unsigned depth)
{
    using E = ElementOf<Vec>;
    uint16_t count = 0;
    if (!in.Uint(count) || count > in.left() / MinElementSize<E>())
        return false;
    vec.resize(count);
    for (E& e : vec)
    {
        if (!ReadElement(in, e, depth))
            return false;
    }
    return true;
}

bool ReadPayload(CByteReader& in, uint8_t type, Payload& payload, unsigned depth)
{
    if (type & HV_ARRAY)
    {
        const uint8_t elementType = type & 0x7F;
        if (elementType < HV_I8 || elementType > HV_TIME)
            return false;
        ArrayElements elements;
        const bool ok = WithAlternative<ArrayElements>(elementType - 1u,
                                                       [&](auto tag)
                                                       {
                                                           typename decltype(tag)::type vec;
                                                           if (!ReadElements(in, vec, depth))
                                                               return false;
                                                           elements = std::move(vec);
                                                           return true;
                                                       });
        if (ok)
            payload = Payload(std::in_place_type<ValueArray>, ValueArray{std::move(elements)});
        return ok;
    }
    if (type == HV_LIST)
    {
        ValueList list;
        if (!ReadElements(in, list.entries, depth))
            return false;
        payload = Payload(std::in_place_type<ValueList>, std::move(list));
        return true;
    }
    return WithAlternative<Payload>(type,
                                    [&](auto tag)
                                    {
                                        using X = typename decltype(tag)::type;
                                        if constexpr (std::is_same_v<X, ValueList> ||
                                                      std::is_same_v<X, ValueArray>)
                                        {
                                            return false;
                                        }
                                        else
                                        {
                                            X x{};
                                            if constexpr (!std::is_same_v<X, std::monostate>)
                                            {
                                                if (!ReadElement(in, x, depth))
                                                    return false;
                                            }
                                            payload = Payload(std::in_place_type<X>, std::move(x));
                                            return true;
                                        }
                                    });
}

bool ReadValue(CByteReader& in, hvValueRecord& r, unsigned depth)
{
    if (depth > kMaxDepth)
        return false;
    uint8_t type = 0;
    uint16_t propertyCount = 0;
    if (!in.Uint(type) || !in.Uint(r.quality) || !in.Number(r.timestamp) || !std::isfinite(r.timestamp) ||
        !in.Uint(propertyCount) || propertyCount > in.left() / (2 + kValueHeaderSize))
        return false;
    r.properties.reserve(propertyCount);
    for (uint16_t i = 0; i < propertyCount; ++i)
    {
        uint16_t id = 0;
        if (!in.Uint(id) || (!r.properties.empty() && id <= r.properties.back().first))
            return false;
        CValueRef value(new hvValueRecord);
        if (!ReadValue(in, *value, depth + 1))
            return false;
        r.properties.emplace_back(id, std::move(value));
    }
    return ReadPayload(in, type, r.payload, depth);
}
} // namespace

uint32_t hvSerializeSize(HVALUE v)
{
    if (!v)
        return 0;
    return static_cast<uint32_t>(Guarded<uint64_t>(0, [&] { return SerializedSize(*v); }));
}

uint32_t hvSerialize(HVALUE v, void* buffer, uint32_t size)
{
    if (!v || !buffer)
        return 0;
    const uint64_t needed = Guarded<uint64_t>(0, [&] { return SerializedSize(*v); });
    if (needed == 0 || needed > size)
        return 0;
    CByteWriter writer(static_cast<uint8_t*>(buffer));
    writer.Bytes(kMagic, sizeof kMagic);
    if (!Guarded(false, [&] { return WriteValue(writer, *v, 0); }))
        return 0;
    return static_cast<uint32_t>(writer.size());
}

int hvDeserialize(HVALUE v, const void* buffer, uint32_t size)
{
    if (!v || !buffer)
        return 0;
    return Guarded(0,
                   [&]
                   {
                       CByteReader in(static_cast<const uint8_t*>(buffer), size);
                       uint8_t magic[sizeof kMagic];
                       if (!in.Bytes(magic, sizeof magic) || std::memcmp(magic, kMagic, sizeof magic) != 0)
                           return 0;
                       CValueRef decoded(new hvValueRecord);
                       if (!ReadValue(in, *decoded, 0) || in.left() != 0)
                           return 0;
                       v->payload = std::move(decoded->payload);
                       v->properties = std::move(decoded->properties);
                       v->quality = decoded->quality;
                       v->timestamp = decoded->timestamp;
                       return 1;
                   });
}
