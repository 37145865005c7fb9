#pragma once
// The one way the program tells its user anything.

#include <cstdint>
#include <string>

namespace zanpost {

// Shows a message box with no owner window and waits until it is closed (on POSIX it
// prints instead and returns at once). Texts are CP1250.
void ShowMessageBox(const std::string& text, const std::string& caption, std::uint32_t flags);

}  // namespace zanpost
