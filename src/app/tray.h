#pragma once
// The notification-area icon that stands while a job runs, and the completion notice.

#include "platform/ui.h"

namespace zanpost {

// Fills the record (icon id 1, icon and tip given, "ZanPost pro Tabulix") and asks the shell
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

    platform::NotifyIconData TrayIconData;
};

// The notice "the transfer is over" at the end of a job, when Upozorneni asks for it.
void FinishNotice();

}  // namespace zanpost
