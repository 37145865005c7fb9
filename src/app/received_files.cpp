#include "app/received_files.h"

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "rtl/ascii.h"
#include "rtl/exceptions.h"
#include "rtl/file_io.h"

#include <cstdio>
#include <random>

namespace zanpost {

std::optional<std::string> StorableName(std::string_view name)
{
    return platform::storable_file_name(name);
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
    const std::size_t name_a = platform::directory_length(full_a);
    const std::size_t name_b = platform::directory_length(full_b);
    return name_a > 0 && name_b > 0 && ascii_lower(full_a.substr(name_a)) == ascii_lower(full_b.substr(name_b)) &&
           platform::same_file(full_a.substr(0, name_a), full_b.substr(0, name_b));
}

void WriteFileWhole(const std::string& path, std::string_view bytes)
{
    std::random_device random;
    char name[24];
    std::snprintf(name, sizeof name, "~zp%08x.zptmp", unsigned(random()));
    const std::string temporary = path.substr(0, platform::directory_length(path)) + name;
    try {
        write_whole_file(temporary, bytes);
        if (!platform::flush_file(temporary)) throw EFCreateError(path);
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
