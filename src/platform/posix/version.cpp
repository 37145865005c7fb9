#include "platform/version.h"

#include "platform/version_values.h"
#include "rtl/ascii.h"

#include <array>
#include <cstdint>
#include <fstream>
#include <string_view>

// The executable carries its version strings in a section of its own, ".zanpost_version",
// laid out as: the magic "ZPV1"; entries of a query path (NUL-terminated, without the
// final backslash), a 16-bit little-endian length and that many value bytes; an empty
// path ends the block. String values keep their NUL, so a length counts it as the
// Windows version resource does.

namespace zanpost::platform {

namespace {

constexpr std::string_view section_name = ".zanpost_version";
constexpr std::string_view magic = "ZPV1";

struct Entry {
    std::string_view path;
    std::string_view value;
};

template <std::size_t N>
constexpr std::string_view with_nul(const char (&text)[N])
{
    return {text, N};
}

namespace vv = version_values;

constexpr Entry entries[] = {
    {"\\StringFileInfo\\040504E2\\CompanyName", with_nul(vv::company_name)},
    {"\\StringFileInfo\\040504E2\\FileDescription", with_nul(vv::file_description)},
    {"\\StringFileInfo\\040504E2\\FileVersion", with_nul(vv::file_version)},
    {"\\StringFileInfo\\040504E2\\InternalName", with_nul(vv::internal_name)},
    {"\\StringFileInfo\\040504E2\\LegalCopyright", with_nul(vv::legal_copyright)},
    {"\\StringFileInfo\\040504E2\\OriginalFilename", with_nul(vv::original_filename)},
    {"\\StringFileInfo\\040504E2\\ProductName", with_nul(vv::product_name)},
    {"\\StringFileInfo\\040504E2\\ProductVersion", with_nul(vv::product_version)},
    {"\\StringFileInfo\\040504E2\\Comments", with_nul(vv::comments)},
    // Language 0x0405 and code page 0x04E2 as two little-endian 16-bit words.
    {"\\VarFileInfo\\Translation", {"\x05\x04\xE2\x04", 4}},
};

constexpr std::size_t block_size()
{
    std::size_t size = magic.size();
    for (const Entry& e : entries) size += e.path.size() + 1 + 2 + e.value.size();
    return size + 1;
}

constexpr std::array<char, block_size()> make_block()
{
    std::array<char, block_size()> block{};
    std::size_t at = 0;
    for (char c : magic) block[at++] = c;
    for (const Entry& e : entries) {
        for (char c : e.path) block[at++] = c;
        block[at++] = '\0';
        block[at++] = static_cast<char>(e.value.size() & 0xFF);
        block[at++] = static_cast<char>(e.value.size() >> 8);
        for (char c : e.value) block[at++] = c;
    }
    block[at] = '\0';
    return block;
}

// "used" keeps the block although nothing in the program refers to it.
[[gnu::used, gnu::section(".zanpost_version")]] const std::array<char, block_size()> embedded_block = make_block();

// Reads integers of either byte order from arbitrary offsets of a file.
class ElfReader {
public:
    ElfReader(const std::string& path, bool big_endian) : in_(path, std::ios::binary), big_(big_endian) {}

    bool read(std::uint64_t offset, std::size_t count, std::string& out)
    {
        out.assign(count, '\0');
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(offset));
        if (!in_) return false;
        in_.read(out.data(), static_cast<std::streamsize>(count));
        return static_cast<std::size_t>(in_.gcount()) == count;
    }

    std::uint64_t number(std::string_view bytes, std::size_t at, std::size_t width) const
    {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            const auto byte = static_cast<unsigned char>(bytes[big_ ? at + i : at + width - 1 - i]);
            value = (value << 8) | byte;
        }
        return value;
    }

private:
    std::ifstream in_;
    bool big_;
};

// Corrupt headers must not make us allocate without bound.
constexpr std::uint64_t max_section_size = 1 << 20;
constexpr std::uint64_t max_section_count = 1 << 16;

}  // namespace

std::vector<char> version_info_block(const std::string& path)
{
    std::string ident(16, '\0');
    {
        std::ifstream probe(path, std::ios::binary);
        if (!probe.read(ident.data(), 16)) return {};
    }
    if (ident.compare(0, 4, "\x7F" "ELF") != 0) return {};
    const bool wide = ident[4] == 2;
    if (!wide && ident[4] != 1) return {};
    if (ident[5] != 1 && ident[5] != 2) return {};
    ElfReader elf(path, ident[5] == 2);

    // Offsets of the header fields and of the section-header fields for either class.
    const std::size_t header_size = wide ? 64 : 52;
    const std::size_t addr = wide ? 8 : 4;
    const std::size_t at_shoff = wide ? 0x28 : 0x20;
    const std::size_t at_shentsize = wide ? 0x3A : 0x2E;
    const std::size_t sh_size_min = wide ? 64 : 40;
    const std::size_t sh_offset = wide ? 0x18 : 0x10;
    const std::size_t sh_size = wide ? 0x20 : 0x14;
    const std::size_t sh_link = wide ? 0x28 : 0x18;

    std::string header;
    if (!elf.read(0, header_size, header)) return {};
    const std::uint64_t shoff = elf.number(header, at_shoff, addr);
    const std::uint64_t shentsize = elf.number(header, at_shentsize, 2);
    std::uint64_t shnum = elf.number(header, at_shentsize + 2, 2);
    std::uint64_t shstrndx = elf.number(header, at_shentsize + 4, 2);
    if (shoff == 0 || shentsize < sh_size_min) return {};

    auto section = [&](std::uint64_t index, std::string& out) {
        return elf.read(shoff + index * shentsize, sh_size_min, out);
    };
    std::string sh;
    if (shnum == 0 || shstrndx == 0xFFFF) {
        // Extended numbering: the real values sit in the first section header.
        if (!section(0, sh)) return {};
        if (shnum == 0) shnum = elf.number(sh, sh_size, addr);
        if (shstrndx == 0xFFFF) shstrndx = elf.number(sh, sh_link, 4);
    }
    if (shnum > max_section_count || shstrndx >= shnum) return {};

    if (!section(shstrndx, sh)) return {};
    const std::uint64_t names_offset = elf.number(sh, sh_offset, addr);
    const std::uint64_t names_size = elf.number(sh, sh_size, addr);
    if (names_size > max_section_size) return {};
    std::string names;
    if (!elf.read(names_offset, names_size, names)) return {};

    for (std::uint64_t i = 1; i < shnum; ++i) {
        if (!section(i, sh)) return {};
        const std::uint64_t name = elf.number(sh, 0, 4);
        if (name >= names.size()) continue;
        const std::string_view found(names.c_str() + name);
        if (found != section_name) continue;
        constexpr std::uint64_t sht_nobits = 8;
        if (elf.number(sh, 4, 4) == sht_nobits) return {};
        const std::uint64_t size = elf.number(sh, sh_size, addr);
        if (size > max_section_size) return {};
        std::string bytes;
        if (!elf.read(elf.number(sh, sh_offset, addr), size, bytes)) return {};
        return {bytes.begin(), bytes.end()};
    }
    return {};
}

std::optional<std::string> version_query_value(const std::vector<char>& block, const std::string& sub_block)
{
    std::string_view wanted = sub_block;
    if (wanted.ends_with('\\')) wanted.remove_suffix(1);

    const std::string_view bytes(block.data(), block.size());
    if (!bytes.starts_with(magic)) return std::nullopt;
    std::size_t at = magic.size();
    while (at < bytes.size()) {
        const std::size_t end = bytes.find('\0', at);
        if (end == std::string_view::npos || end == at) break;
        const std::string_view path = bytes.substr(at, end - at);
        if (end + 3 > bytes.size()) break;
        const std::size_t length = static_cast<unsigned char>(bytes[end + 1]) |
                                   (static_cast<std::size_t>(static_cast<unsigned char>(bytes[end + 2])) << 8);
        const std::size_t value_at = end + 3;
        if (value_at + length > bytes.size()) break;
        if (ascii_upper(path) == ascii_upper(wanted)) return std::string(bytes.substr(value_at, length));
        at = value_at + length;
    }
    return std::nullopt;
}

}  // namespace zanpost::platform
