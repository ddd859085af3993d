// Numeric conversions shared by scalar gets, typed element access and type changes.
#pragma once
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

template <class T>
inline constexpr bool kIsNumber =
    std::is_arithmetic_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>;

// Integers convert exactly or clamp; reals truncate toward zero, then clamp; NaN converts to
// no integer. Reals narrow to float with clamping to the largest finite float.
template <class To, class From> bool ConvertNumber(From x, To& out) noexcept
{
    static_assert(kIsNumber<To> && kIsNumber<From>);
    if constexpr (std::is_floating_point_v<To>)
    {
        if constexpr (std::is_same_v<To, float> && std::is_same_v<From, double>)
        {
            constexpr double maxFloat = std::numeric_limits<float>::max();
            if (x > maxFloat && !std::isinf(x))
                x = maxFloat;
            else if (x < -maxFloat && !std::isinf(x))
                x = -maxFloat;
        }
        out = static_cast<To>(x);
        return true;
    }
    else if constexpr (std::is_floating_point_v<From>)
    {
        const double d = static_cast<double>(x);
        if (std::isnan(d))
            return false;
        // Both limits are exactly representable for every integer type up to 32 bits.
        constexpr double lo = static_cast<double>(std::numeric_limits<To>::min());
        constexpr double hi = static_cast<double>(std::numeric_limits<To>::max());
        if (d <= lo)
            out = std::numeric_limits<To>::min();
        else if (d >= hi)
            out = std::numeric_limits<To>::max();
        else
            out = static_cast<To>(d);
        return true;
    }
    else
    {
        if (std::cmp_less(x, std::numeric_limits<To>::min()))
            out = std::numeric_limits<To>::min();
        else if (std::cmp_greater(x, std::numeric_limits<To>::max()))
            out = std::numeric_limits<To>::max();
        else
            out = static_cast<To>(x);
        return true;
    }
}
