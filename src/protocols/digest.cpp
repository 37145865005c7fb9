#include "protocols/digest.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace zanpost {

namespace {

// The per-step left rotations and the sine-derived constants of the four rounds.
constexpr int shifts[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr std::uint32_t sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// MD5 reads its words little-endian whatever the machine.
std::uint32_t little_endian_word(const unsigned char* p) noexcept
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

}  // namespace

Md5::Md5() noexcept : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

void Md5::block(const unsigned char* data) noexcept
{
    std::uint32_t words[16];
    for (int i = 0; i < 16; ++i) words[i] = little_endian_word(data + 4 * i);

    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        const std::uint32_t rotated = std::rotl(a + f + sines[i] + words[g], shifts[i]);
        a = d;
        d = c;
        c = b;
        b += rotated;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void Md5::update(std::string_view bytes) noexcept
{
    total_ += bytes.size();
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t size = bytes.size();
    if (pending_size_ > 0) {
        const std::size_t taken = std::min(size, pending_.size() - pending_size_);
        std::memcpy(pending_.data() + pending_size_, data, taken);
        pending_size_ += taken;
        data += taken;
        size -= taken;
        if (pending_size_ < pending_.size()) return;
        block(pending_.data());
        pending_size_ = 0;
    }
    for (; size >= 64; data += 64, size -= 64) block(data);
    std::memcpy(pending_.data(), data, size);
    pending_size_ = size;
}

std::string Md5::finish()
{
    const std::uint64_t bits = total_ * 8;
    // A one bit, zeros up to 56 bytes into a block, then the length in bits.
    static constexpr char padding[64] = {'\x80'};
    update(std::string_view(padding, pending_size_ < 56 ? 56 - pending_size_ : 120 - pending_size_));
    char length[8];
    for (int i = 0; i < 8; ++i) length[i] = char(bits >> (8 * i));
    update(std::string_view(length, 8));

    std::string digest(16, '\0');
    for (int i = 0; i < 16; ++i) digest[i] = char(state_[i / 4] >> (8 * (i % 4)));
    return digest;
}

std::string md5(std::string_view bytes)
{
    Md5 digest;
    digest.update(bytes);
    return digest.finish();
}

std::string hmac_md5(std::string_view key, std::string_view bytes)
{
    constexpr std::size_t block_size = 64;
    std::string padded_key = key.size() > block_size ? md5(key) : std::string(key);
    padded_key.resize(block_size, '\0');

    std::string inner_pad(block_size, '\0');
    std::string outer_pad(block_size, '\0');
    for (std::size_t i = 0; i < block_size; ++i) {
        inner_pad[i] = char(padded_key[i] ^ 0x36);
        outer_pad[i] = char(padded_key[i] ^ 0x5c);
    }
    Md5 inner;
    inner.update(inner_pad);
    inner.update(bytes);
    Md5 outer;
    outer.update(outer_pad);
    outer.update(inner.finish());
    return outer.finish();
}

}  // namespace zanpost
