#include "app/message_box.h"

#include "app/run_log.h"
#include "platform/ui.h"

namespace zanpost {

void ShowMessageBox(const std::string& text, const std::string& caption, std::uint32_t flags)
{
    platform::message_box(text, caption, flags);
}

void ShowMessageBox(RunLog& log, const std::string& text, const std::string& caption, std::uint32_t flags)
{
    // Logged first: on Windows the box waits for a click that may never come.
    log.Box(caption, text);
    platform::message_box(text, caption, flags);
}

}  // namespace zanpost
