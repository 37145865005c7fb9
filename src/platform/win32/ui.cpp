#include "platform/ui.h"

#include "platform/win32/windows_api.h"

#include <shellapi.h>

#include <algorithm>
#include <cstring>

namespace zanpost::platform {

#ifndef _WIN64
// The record handed over is exactly the single-byte first version of the shell's layout.
static_assert(NOTIFYICONDATAA_V1_SIZE == 88);
#endif

void message_box(const std::string& text, const std::string& caption, std::uint32_t flags)
{
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), flags);
}

std::uintptr_t load_main_icon()
{
    return reinterpret_cast<std::uintptr_t>(LoadIconA(GetModuleHandleA(nullptr), "MAINICON"));
}

std::uintptr_t load_small_main_icon()
{
    return reinterpret_cast<std::uintptr_t>(LoadImageA(GetModuleHandleA(nullptr), "MAINICON", IMAGE_ICON,
                                                       GetSystemMetrics(SM_CXSMICON),
                                                       GetSystemMetrics(SM_CYSMICON), LR_SHARED));
}

void notify_icon(std::uint32_t message, const NotifyIconData& data)
{
    NOTIFYICONDATAA record{};
#ifdef _WIN64
    // Callers describe the 32-bit record; its first-version size differs on 64 bits.
    record.cbSize = data.cbSize == 88 ? NOTIFYICONDATAA_V1_SIZE : data.cbSize;
#else
    record.cbSize = data.cbSize;
#endif
    record.hWnd = reinterpret_cast<HWND>(data.hWnd);
    record.uID = data.uID;
    record.uFlags = data.uFlags;
    record.uCallbackMessage = data.uCallbackMessage;
    record.hIcon = reinterpret_cast<HICON>(data.hIcon);
    std::memcpy(record.szTip, data.szTip, std::min(sizeof record.szTip, sizeof data.szTip));
    Shell_NotifyIconA(message, &record);
}

}  // namespace zanpost::platform
