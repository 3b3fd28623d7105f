// Integer arithmetic that cannot overflow silently: sizes computed from values a file
// declares go through these before any memory is taken.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>

namespace core {

// a + b, or nothing when the sum does not fit in T.
template <std::integral T> [[nodiscard]] constexpr std::optional<T> checkedAdd(T a, T b) {
    T r;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}

// a × b, or nothing when the product does not fit in T.
template <std::integral T> [[nodiscard]] constexpr std::optional<T> checkedMul(T a, T b) {
    T r;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

// a × b / c rounded to the nearest integer (halves away from zero) and saturated to the
// range of int; 0 when c is 0. The product is formed in 128 bits, so no input overflows.
[[nodiscard]] constexpr int mulDiv(int64_t a, int64_t b, int64_t c) {
    if (c == 0) return 0;
    __int128 p = static_cast<__int128>(a) * b;
    __int128 half = c / 2;
    __int128 q = (p >= 0 ? p + half : p - half) / c;
    return static_cast<int>(std::clamp<__int128>(q, std::numeric_limits<int32_t>::min(),
                                                 std::numeric_limits<int32_t>::max()));
}

} // namespace core
