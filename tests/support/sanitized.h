#pragma once
// Whether this test binary runs under AddressSanitizer: such a build runs several times
// slower, and its bookkeeping would dominate any measure of the program's memory.

namespace zanpost::testing {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif
#else
inline constexpr bool sanitized = false;
#endif

}  // namespace zanpost::testing
