#pragma once
// Version information of an executable file (the version resource on Windows, a
// dedicated ELF section on POSIX).

#include <optional>
#include <string>
#include <vector>

namespace zanpost::platform {

// The file's whole version-information block, empty when the file has none or cannot
// be read (GetFileVersionInfoSizeA / GetFileVersionInfoA).
std::vector<char> version_info_block(const std::string& path);

// VerQueryValueA on a block: the value's bytes as reported (length included), or nothing
// when the query fails. `sub_block` is a Windows query path such as
// "\StringFileInfo\040504E2\FileVersion\".
std::optional<std::string> version_query_value(const std::vector<char>& block, const std::string& sub_block);

}  // namespace zanpost::platform
