#pragma once
// The user's web browser, for a sign-in page the user must see (an OAuth consent).

#include <string>

namespace zanpost::platform {

// Asks the desktop to open `url` and returns without waiting for the browser: ShellExecute
// "open" on Windows; on POSIX `xdg-open URL`, found on PATH and started without a shell,
// standard input and output on /dev/null. False when it could not be started.
bool open_in_browser(const std::string& url);

}  // namespace zanpost::platform
