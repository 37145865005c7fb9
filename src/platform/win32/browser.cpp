#include "platform/browser.h"

#include "platform/win32/windows_api.h"

#include <shellapi.h>

namespace zanpost::platform {

bool open_in_browser(const std::string& url)
{
    // ShellExecute tells success by a value above 32, squeezed into an HINSTANCE.
    const HINSTANCE result = ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace zanpost::platform
