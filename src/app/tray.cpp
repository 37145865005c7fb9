#include "app/tray.h"

#include "app/config.h"
#include "app/message_box.h"

#include <cstring>
#include <string>

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
    // The notification area shows a small icon; the large one scaled down loses its outline.
    TrayIconData.hIcon = platform::load_small_main_icon();
    if (TrayIconData.hIcon == 0) TrayIconData.hIcon = platform::load_main_icon();
    static_assert(sizeof tip <= sizeof TrayIconData.szTip);
    std::memcpy(TrayIconData.szTip, tip, sizeof tip);
    platform::notify_icon(platform::nim_add, TrayIconData);
}

void RemoveTrayIcon(const platform::NotifyIconData& TrayIconData)
{
    platform::notify_icon(platform::nim_delete, TrayIconData);
}

std::string TrayTip(const std::string& step)
{
    std::string text = tip + step;
    constexpr std::size_t room = sizeof platform::NotifyIconData{}.szTip - 1;
    if (text.size() > room) text.resize(room);
    return text;
}

std::string SendingStep(std::uint64_t sent_bytes, std::uint64_t total_bytes)
{
    constexpr std::uint64_t mb = 1024 * 1024;
    // CP1250: "\x96" is the en dash; the word is "odesilani" with its accents.
    return " \x96 odes\xEDl\xE1n\xED " + std::to_string(sent_bytes / mb) + " / " +
           std::to_string((total_bytes + mb - 1) / mb) + " MB";
}

std::string MessageStep(std::size_t number, std::size_t count)
{
    return " \x96 zpr\xE1va " + std::to_string(number) + " z " + std::to_string(count);
}

void TrayIcon::ShowProgress(const std::string& step, std::chrono::steady_clock::time_point now)
{
    if (shown_once_ && now - shown_ < std::chrono::seconds(1)) return;
    shown_once_ = true;
    shown_ = now;
    const std::string text = TrayTip(step);
    std::memset(TrayIconData.szTip, 0, sizeof TrayIconData.szTip);
    std::memcpy(TrayIconData.szTip, text.data(), text.size());
    TrayIconData.uFlags = platform::nif_tip;
    platform::notify_icon(platform::nim_modify, TrayIconData);
    TrayIconData.uFlags = platform::nif_icon | platform::nif_tip;
}

void FinishNotice(const TUpozorneni& notice, RunLog& log)
{
    if (notice.Upozornovat) ShowMessageBox(log, notice.Text, "ZanPost", platform::mb_iconinformation);
}

}  // namespace zanpost
