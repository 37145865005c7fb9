#pragma once
// The one way the program tells its user anything.

#include <cstdint>
#include <string>

namespace zanpost {

class RunLog;

// Shows a message box with no owner window and waits until it is closed (on POSIX it
// prints instead and returns at once). Texts are CP1250. Outside a job: no log is told.
void ShowMessageBox(const std::string& text, const std::string& caption, std::uint32_t flags);

// The same within a job: the box goes to the job's run log first.
void ShowMessageBox(RunLog& log, const std::string& text, const std::string& caption, std::uint32_t flags);

}  // namespace zanpost
