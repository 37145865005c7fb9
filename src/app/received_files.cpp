#include "app/received_files.h"

#include "platform/files.h"
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
    return !full_a.empty() && ascii_lower(full_a) == ascii_lower(full_b);
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
