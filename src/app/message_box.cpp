#include "app/message_box.h"

#include "platform/ui.h"

namespace zanpost {

void ShowMessageBox(const std::string& text, const std::string& caption, std::uint32_t flags)
{
    platform::message_box(text, caption, flags);
}

}  // namespace zanpost
