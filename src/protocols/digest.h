#pragma once
// MD5 and HMAC-MD5, for the two logins that still rest on them: POP3 APOP and SASL
// CRAM-MD5. Written here rather than taken from the TLS library, so both logins work in a
// build whatever its TLS backend. Not for anything that needs a secure hash.

#include "rtl/hex.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace zanpost {

// The MD5 digest of a byte string, in pieces as they come.
class Md5 {
public:
    Md5() noexcept;
    void update(std::string_view bytes) noexcept;
    // The 16 digest bytes; the object is spent afterwards.
    std::string finish();

private:
    void block(const unsigned char* data) noexcept;

    std::array<std::uint32_t, 4> state_;
    std::array<unsigned char, 64> pending_{};
    std::size_t pending_size_ = 0;
    std::uint64_t total_ = 0;
};

// The 16 bytes of MD5(bytes).
std::string md5(std::string_view bytes);
// The 16 bytes of HMAC-MD5 with `key` over `bytes`.
std::string hmac_md5(std::string_view key, std::string_view bytes);

}  // namespace zanpost
