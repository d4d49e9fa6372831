// What differs between the compilers the project builds with (GCC, Clang,
// MSVC), behind one set of names: attributes that only steer code placement,
// the SSE2 feature test, the byte swap and the prefetch hint. Each has a plain fallback, so a
// compiler that knows none of the extensions builds the same program; only
// its speed may differ.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <stdlib.h>  // _byteswap_uint64
#endif

// PELM_COLD: the function runs rarely (error builders); keep it out of the
// hot code's way. PELM_NOINLINE: keep a slow path out of line so its caller
// stays small. PELM_ALWAYS_INLINE: includes `inline`.
#if defined(__GNUC__) || defined(__clang__)
#define PELM_COLD [[gnu::cold]]
#define PELM_NOINLINE [[gnu::noinline]]
#define PELM_ALWAYS_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define PELM_COLD
#define PELM_NOINLINE __declspec(noinline)
#define PELM_ALWAYS_INLINE __forceinline
#else
#define PELM_COLD
#define PELM_NOINLINE
#define PELM_ALWAYS_INLINE inline
#endif

// PELM_TLS_INITIAL_EXEC: a thread_local read on a hot path; the module is
// loaded at start-up or by dlopen with spare static TLS, so the cheaper
// initial-exec model holds. Other compilers use their default model.
#if defined(__GNUC__) || defined(__clang__)
#define PELM_TLS_INITIAL_EXEC [[gnu::tls_model("initial-exec")]]
#else
#define PELM_TLS_INITIAL_EXEC
#endif

// SSE2 is guaranteed on the target. GCC and Clang say so with __SSE2__; MSVC
// has no such macro, but every x64 target has SSE2 (ARM64EC also defines
// _M_X64, with the intrinsics only emulated: it takes the word loops).
#if defined(__SSE2__) || (defined(_M_X64) && !defined(_M_ARM64EC)) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define PELM_HAVE_SSE2 1
#else
#define PELM_HAVE_SSE2 0
#endif

// AddressSanitizer is on (GCC says so with __SANITIZE_ADDRESS__, Clang with
// __has_feature). Fixed-size storage inside larger objects, which ASan cannot
// see the bounds of, poisons guard bytes behind it in such builds.
#if defined(__SANITIZE_ADDRESS__)
#define PELM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PELM_ASAN 1
#endif
#endif
#ifndef PELM_ASAN
#define PELM_ASAN 0
#endif

// PELM_NO_UBSAN_NULL: the function binds a reference that UBSan's null check
// flags although nothing is read through it. glibc's forced unwind (a thread
// ended at interpreter exit) is a foreign exception with no object, so the
// `catch (abi::__forced_unwind&)` that must let it pass binds null.
#if defined(__GNUC__) || defined(__clang__)
#define PELM_NO_UBSAN_NULL __attribute__((no_sanitize("null")))
#else
#define PELM_NO_UBSAN_NULL
#endif

namespace pelm {

// Asks for the cache line at `p` ahead of its use (a hint: it never faults,
// and compilers without the builtin do nothing).
inline void prefetch(const void* p) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

// The bytes of `x` in reverse order (std::byteswap arrives only in C++23).
[[nodiscard]] inline std::uint64_t byteswap64(std::uint64_t x) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap64(x);
#elif defined(_MSC_VER)
  return _byteswap_uint64(x);
#else
  x = ((x & 0x00FF00FF00FF00FFULL) << 8) | ((x >> 8) & 0x00FF00FF00FF00FFULL);
  x = ((x & 0x0000FFFF0000FFFFULL) << 16) | ((x >> 16) & 0x0000FFFF0000FFFFULL);
  return (x << 32) | (x >> 32);
#endif
}

}  // namespace pelm
