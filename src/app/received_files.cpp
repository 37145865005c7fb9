#include "app/received_files.h"

#include "platform/files.h"
#include "platform/process.h"
#include "rtl/ascii.h"
#include "rtl/exceptions.h"
#include "rtl/file_io.h"

#include <array>
#include <cstdio>
#include <random>

namespace zanpost {

namespace {

bool IsDeviceName(std::string_view name)
{
    // Windows reserves these names whatever follows the first dot, and ignores trailing
    // blanks and dots before it.
    std::string base = ascii_upper(name.substr(0, name.find('.')));
    while (!base.empty() && (base.back() == ' ' || base.back() == '.')) base.pop_back();
    static constexpr std::array<std::string_view, 4> plain{"CON", "PRN", "AUX", "NUL"};
    for (auto reserved : plain)
        if (base == reserved) return true;
    if (base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '1' && base[3] <= '9')
        return true;
    return false;
}

// Up to and including the last directory separator; 0 when there is none.
std::size_t DirectoryLength(const std::string& path)
{
    for (std::size_t i = path.size(); i > 0; --i)
        if (platform::is_directory_separator(path[i - 1])) return i;
    return 0;
}

}  // namespace

std::optional<std::string> StorableName(std::string_view name)
{
    if (auto slash = name.find_last_of("/\\"); slash != std::string_view::npos) name.remove_prefix(slash + 1);
    if (name.size() >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
        name.remove_prefix(2);
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || c == ':') return std::nullopt;
    if (IsDeviceName(name)) return std::nullopt;
    return std::string(name);
}

bool SamePath(const std::string& a, const std::string& b)
{
    const std::string full_a = platform::full_path(a);
    const std::string full_b = platform::full_path(b);
    if (full_a.empty() || full_b.empty()) return false;
    if (ascii_lower(full_a) == ascii_lower(full_b)) return true;
    // The texts differ, yet the place may be one: a directory reached through a link, a
    // short name. The same existing file, or the same name in the same directory (for a
    // file still to be made, such as the first output file).
    if (platform::same_file(full_a, full_b)) return true;
    const std::size_t name_a = DirectoryLength(full_a);
    const std::size_t name_b = DirectoryLength(full_b);
    return name_a > 0 && name_b > 0 && ascii_lower(full_a.substr(name_a)) == ascii_lower(full_b.substr(name_b)) &&
           platform::same_file(full_a.substr(0, name_a), full_b.substr(0, name_b));
}

void WriteFileWhole(const std::string& path, std::string_view bytes)
{
    std::random_device random;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%08x.zptmp", unsigned(random()));
    const std::string temporary = path + suffix;
    try {
        write_whole_file(temporary, bytes);
    } catch (...) {
        platform::remove_file(temporary);
        throw;
    }
    if (!platform::rename_replacing(temporary, path)) {
        platform::remove_file(temporary);
        throw EFCreateError(path);
    }
}

}  // namespace zanpost
