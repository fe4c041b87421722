// Whether this test program runs under AddressSanitizer or ThreadSanitizer. Their shadow
// memory and quarantine inflate the resident size and slow every step down, so figures of
// memory and time mean nothing there: such assertions are skipped under them.
#pragma once

namespace th::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kUnderSanitizer = true;
#else
inline constexpr bool kUnderSanitizer = false;
#endif
#else
inline constexpr bool kUnderSanitizer = false;
#endif

}  // namespace th::test
