#pragma once
// The notification-area icon that stands while a job runs, and the completion notice.

#include "platform/ui.h"

#include <chrono>
#include <string>

namespace zanpost {

// Fills the record (icon id 1, the small icon, tip "ZanPost pro Tabulix") and asks the shell
// to add the icon; the shell's answer is ignored.
void AddTrayIcon(platform::NotifyIconData& TrayIconData);
// Asks the shell to delete the icon described by the same record.
void RemoveTrayIcon(const platform::NotifyIconData& TrayIconData);

// The icon for the life of one job: added when the job starts, removed on every way out of
// it, also when a failure ends the program.
class TrayIcon {
public:
    TrayIcon() { AddTrayIcon(TrayIconData); }
    ~TrayIcon() { RemoveTrayIcon(TrayIconData); }
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    // Shows what the job is doing after the standard tip ("ZanPost pro Tabulix - odesilani
    // 12 / 50 MB"). The shell is asked at most once a second, so a caller may report every
    // block it moves; `now` is for the tests.
    void ShowProgress(const std::string& step,
                      std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());

    platform::NotifyIconData TrayIconData;

private:
    std::chrono::steady_clock::time_point shown_{};
    bool shown_once_ = false;
};

// The tip with the step after the standard text, cut to what the record's 64 bytes hold
// (the last one is the terminating zero).
std::string TrayTip(const std::string& step);

// The steps the tip names, in CP1250: " - odesilani 12 / 50 MB", " - zprava 3 z 7".
std::string SendingStep(std::uint64_t sent_bytes, std::uint64_t total_bytes);
std::string MessageStep(std::size_t number, std::size_t count);

struct TUpozorneni;
class RunLog;

// The notice "the transfer is over" at the end of a job, when [Upozorneni] asks for it.
void FinishNotice(const TUpozorneni& notice, RunLog& log);

}  // namespace zanpost
