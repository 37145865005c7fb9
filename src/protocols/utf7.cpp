#include "protocols/utf7.h"

#include <array>
#include <cstdint>
#include <vector>

namespace zanpost {

namespace {

// The characters of CP1250's upper half. The five bytes the code page leaves unassigned
// stand for the C1 controls of their value, as Windows converts them.
constexpr std::array<char16_t, 128> cp1250_upper = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021,
    0x0088, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int digit_value(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == ',') return 63;
    return -1;
}

bool printable(unsigned c) { return c >= 0x20 && c <= 0x7E; }

char to_cp1250(char32_t c)
{
    if (c < 0x80) return char(c);
    for (std::size_t i = 0; i < cp1250_upper.size(); ++i)
        if (cp1250_upper[i] == c) return char(0x80 + i);
    return '_';
}

}  // namespace

std::string imap_utf7_encode(std::string_view cp1250)
{
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;  // bits in `bits` not yet written
    bool in_run = false;
    const auto close_run = [&] {
        if (count > 0) out += alphabet[(bits << (6 - count)) & 0x3F];
        out += '-';
        in_run = false;
        count = 0;
    };
    for (const char byte : cp1250) {
        const auto b = static_cast<unsigned char>(byte);
        if (printable(b)) {
            if (in_run) close_run();
            out += byte;
            if (byte == '&') out += '-';
            continue;
        }
        if (!in_run) out += '&';
        in_run = true;
        const char16_t unit = b < 0x80 ? char16_t(b) : cp1250_upper[b - 0x80];
        bits = (bits << 16) | unit;
        count += 16;
        while (count >= 6) {
            count -= 6;
            out += alphabet[(bits >> count) & 0x3F];
        }
        bits &= (1u << count) - 1;
    }
    if (in_run) close_run();
    return out;
}

std::optional<std::string> imap_utf7_decode(std::string_view utf7)
{
    std::string out;
    std::size_t i = 0;
    while (i < utf7.size()) {
        const auto c = static_cast<unsigned char>(utf7[i]);
        if (!printable(c)) return std::nullopt;
        ++i;
        if (c != '&') {
            out += char(c);
            continue;
        }
        const std::size_t end = utf7.find('-', i);
        if (end == std::string_view::npos) return std::nullopt;
        if (end == i) {
            out += '&';
            ++i;
            continue;
        }
        std::vector<char16_t> units;
        std::uint32_t bits = 0;
        int count = 0;
        for (; i < end; ++i) {
            const int value = digit_value(utf7[i]);
            if (value < 0) return std::nullopt;
            bits = (bits << 6) | std::uint32_t(value);
            count += 6;
            if (count >= 16) {
                count -= 16;
                units.push_back(char16_t(bits >> count));
                bits &= (1u << count) - 1;
            }
        }
        // What is left over is the padding of the last unit: fewer than six zero bits.
        if (count >= 6 || bits != 0 || units.empty()) return std::nullopt;
        ++i;
        for (std::size_t k = 0; k < units.size(); ++k) {
            const char16_t unit = units[k];
            if (unit >= 0xD800 && unit < 0xDC00 && k + 1 < units.size() && units[k + 1] >= 0xDC00 &&
                units[k + 1] < 0xE000) {
                // Beyond the 16-bit plane: nothing CP1250 could hold.
                out += '_';
                ++k;
                continue;
            }
            out += unit >= 0xD800 && unit < 0xE000 ? '_' : to_cp1250(unit);
        }
    }
    return out;
}

}  // namespace zanpost
