#pragma once
// The program's version, as the file itself carries it.

#include <string>

namespace zanpost {

// The "FileVersion" text of the version information of the file at `path`; empty when the
// file has none.
std::string ReadVersion(const std::string& path);

}  // namespace zanpost
