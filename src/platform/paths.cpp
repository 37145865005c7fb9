#include "platform/paths.h"

#include "platform/process.h"
#include "rtl/ascii.h"

#include <array>

namespace zanpost::platform {

namespace {

bool is_device_name(std::string_view name)
{
    // Windows reserves these names whatever follows the first dot, and ignores trailing
    // blanks and dots before it.
    std::string base = ascii_upper(name.substr(0, name.find('.')));
    while (!base.empty() && (base.back() == ' ' || base.back() == '.')) base.pop_back();
    static constexpr std::array<std::string_view, 4> plain{"CON", "PRN", "AUX", "NUL"};
    for (auto reserved : plain)
        if (base == reserved) return true;
    return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '1' &&
           base[3] <= '9';
}

bool is_drive_letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

std::size_t directory_length(std::string_view path) noexcept
{
    for (std::size_t i = path.size(); i > 0; --i)
        if (is_directory_separator(path[i - 1])) return i;
    return 0;
}

std::string_view final_component(std::string_view path) noexcept { return path.substr(directory_length(path)); }

std::string_view windows_final_component(std::string_view path) noexcept
{
    std::size_t cut = path.rfind('\\');
    if (cut == std::string_view::npos) cut = path.rfind(':');
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::string_view attachment_file_name(std::string_view path) noexcept
{
    std::string_view name = windows_final_component(path);
    for (std::size_t i = name.size(); i > 0; --i) {
        const char c = name[i - 1];
        if (c != '\\' && c != ':' && is_directory_separator(c)) return name.substr(i);
    }
    return name;
}

std::optional<std::string> storable_file_name(std::string_view name)
{
    if (auto slash = name.find_last_of("/\\"); slash != std::string_view::npos) name.remove_prefix(slash + 1);
    if (name.size() >= 2 && name[1] == ':' && is_drive_letter(name[0])) name.remove_prefix(2);
    // Stripped before any check: "CON." or "Zan_Post.ini." would otherwise pass them and
    // then, on Windows, open the device or the very file they were checked against.
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.remove_suffix(1);
    if (name.empty()) return std::nullopt;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || c == ':') return std::nullopt;
    if (is_device_name(name)) return std::nullopt;
    return std::string(name);
}

}  // namespace zanpost::platform
