#pragma once
// What the user sees: message boxes and the notification-area icon.

#include <cstdint>
#include <string>

namespace zanpost::platform {

// Message-box type flags the program uses (Windows values).
inline constexpr std::uint32_t mb_iconerror = 0x10;
inline constexpr std::uint32_t mb_iconinformation = 0x40;
inline constexpr std::uint32_t mb_taskmodal = 0x2000;
inline constexpr std::uint32_t mb_right = 0x00080000;

// Shows a box with no owner window and waits until it is closed (Windows). On POSIX it
// does not block: it prints caption, ": " and the text, converted from CP1250 to UTF-8,
// and a newline; to standard error when the flags carry the error icon, else to
// standard output. Texts are CP1250 byte strings.
void message_box(const std::string& text, const std::string& caption, std::uint32_t flags);

// The notification-icon record in the 88-byte single-byte layout of 32-bit Windows
// (on a 64-bit POSIX build the handles are wider; nothing reads the size there).
struct NotifyIconData {
    std::uint32_t cbSize = 88;
    std::uintptr_t hWnd = 0;
    std::uint32_t uID = 0;
    std::uint32_t uFlags = 0;
    std::uint32_t uCallbackMessage = 0;
    std::uintptr_t hIcon = 0;
    char szTip[64] = {};
};

inline constexpr std::uint32_t nim_add = 0;
inline constexpr std::uint32_t nim_modify = 1;
inline constexpr std::uint32_t nim_delete = 2;
inline constexpr std::uint32_t nif_icon = 2;
inline constexpr std::uint32_t nif_tip = 4;

// The icon resource "MAINICON" of the program's own module; 0 where there is none.
std::uintptr_t load_main_icon();
// The same resource at the system's small-icon size (16 x 16 at normal DPI), for the
// notification area; 0 where there is none. Shared: nobody destroys it.
std::uintptr_t load_small_main_icon();

// Shell_NotifyIconA; the answer is ignored by every caller, so none is returned.
// On POSIX there is no notification area and nothing visible happens.
void notify_icon(std::uint32_t message, const NotifyIconData& data);

}  // namespace zanpost::platform
