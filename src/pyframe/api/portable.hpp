// pyframe/api/portable.hpp: what standard C++20 leaves to each compiler, spelled
// the way the compiler at hand spells it. The code of the framework and the
// modules is standard C++ throughout; these macros and functions are the one
// place where a vendor spelling appears, each with a fallback for a compiler
// that has none.
#pragma once

#include <limits>
#include <type_traits>

// PF_ALWAYS_INLINE: inline the function at every call (a hint where the
// compiler has no such attribute). PF_NOINLINE: never inline it (keeps a
// rare path out of the callers of a hot one).
#if defined(__GNUC__) || defined(__clang__)
#define PF_ALWAYS_INLINE [[gnu::always_inline]]
#define PF_NOINLINE [[gnu::noinline]]
#elif defined(_MSC_VER)
#define PF_ALWAYS_INLINE __forceinline
#define PF_NOINLINE __declspec(noinline)
#else
#define PF_ALWAYS_INLINE
#define PF_NOINLINE
#endif

namespace pf {

// `*out = a + b` and `*out = a * b` for signed integers; true when the
// result does not fit (then *out is unspecified). PF_PORTABLE_FALLBACKS
// selects the portable code under every compiler (for its tests).
#if (defined(__GNUC__) || defined(__clang__)) && !defined(PF_PORTABLE_FALLBACKS)
#define PF_HAVE_OVERFLOW_BUILTINS 1
#else
#define PF_HAVE_OVERFLOW_BUILTINS 0
#endif

template <class T>
    requires std::is_integral_v<T> && std::is_signed_v<T>
constexpr bool add_overflows(T a, T b, T* out) noexcept {
#if PF_HAVE_OVERFLOW_BUILTINS
    return __builtin_add_overflow(a, b, out);
#else
    using L = std::numeric_limits<T>;
    if ((b > 0 && a > L::max() - b) || (b < 0 && a < L::min() - b)) return true;
    *out = a + b;
    return false;
#endif
}

template <class T>
    requires std::is_integral_v<T> && std::is_signed_v<T>
constexpr bool mul_overflows(T a, T b, T* out) noexcept {
#if PF_HAVE_OVERFLOW_BUILTINS
    return __builtin_mul_overflow(a, b, out);
#else
    using L = std::numeric_limits<T>;
    if (a > 0 ? (b > 0 ? a > L::max() / b : b < L::min() / a)
              : (b > 0 ? a < L::min() / b : a != 0 && b < L::max() / a))
        return true;
    *out = a * b;
    return false;
#endif
}

}  // namespace pf
