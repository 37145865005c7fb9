#include "app/tray.h"

#include "app/config.h"
#include "app/message_box.h"

#include <cstring>

namespace zanpost {

namespace {

constexpr char tip[] = "ZanPost pro Tabulix";

}  // namespace

void AddTrayIcon(platform::NotifyIconData& TrayIconData)
{
    TrayIconData = platform::NotifyIconData{};
    TrayIconData.cbSize = 88;
    TrayIconData.hWnd = 0;
    TrayIconData.uID = 1;
    TrayIconData.uFlags = platform::nif_icon | platform::nif_tip;
    TrayIconData.uCallbackMessage = 0;
    TrayIconData.hIcon = platform::load_main_icon();
    static_assert(sizeof tip <= sizeof TrayIconData.szTip);
    std::memcpy(TrayIconData.szTip, tip, sizeof tip);
    platform::notify_icon(platform::nim_add, TrayIconData);
}

void RemoveTrayIcon(const platform::NotifyIconData& TrayIconData)
{
    platform::notify_icon(platform::nim_delete, TrayIconData);
}

void FinishNotice()
{
    if (Upozorneni.Upozornovat) ShowMessageBox(Upozorneni.Text, "ZanPost", platform::mb_iconinformation);
}

}  // namespace zanpost
