// The tray tip during long transfers: what it says, that it fits, and how often it changes.

#include "app/tray.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

namespace zanpost {
namespace {

using std::chrono::milliseconds;

TEST(TrayTip, StandardTextThenTheStep)
{
    struct Case {
        std::string step;
        std::string tip;
    } const cases[] = {
        {SendingStep(12u << 20, 50u << 20), "ZanPost pro Tabulix \x96 odes\xEDl\xE1n\xED 12 / 50 MB"},
        // A part of a megabyte still counts as one in the total, so 0 / 0 never shows.
        {SendingStep(0, 1), "ZanPost pro Tabulix \x96 odes\xEDl\xE1n\xED 0 / 1 MB"},
        {MessageStep(3, 7), "ZanPost pro Tabulix \x96 zpr\xE1va 3 z 7"},
        {"", "ZanPost pro Tabulix"},
    };
    for (const Case& c : cases) EXPECT_EQ(TrayTip(c.step), c.tip);
}

TEST(TrayTip, NeverOverrunsTheRecord)
{
    const std::string tip = TrayTip(SendingStep(~0ull, ~0ull) + std::string(100, 'x'));
    EXPECT_EQ(tip.size(), sizeof platform::NotifyIconData{}.szTip - 1);
}

TEST(TrayTip, ChangesAtMostOnceASecond)
{
    TrayIcon icon;
    const auto start = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    const auto shown = [&icon] { return std::string(icon.TrayIconData.szTip); };

    icon.ShowProgress(MessageStep(1, 3), start);
    EXPECT_EQ(shown(), TrayTip(MessageStep(1, 3)));
    icon.ShowProgress(MessageStep(2, 3), start + milliseconds(999));
    EXPECT_EQ(shown(), TrayTip(MessageStep(1, 3)));
    icon.ShowProgress(MessageStep(3, 3), start + milliseconds(1000));
    EXPECT_EQ(shown(), TrayTip(MessageStep(3, 3)));
    // A shorter tip leaves nothing of the longer one behind.
    icon.ShowProgress("", start + milliseconds(2500));
    EXPECT_EQ(std::memcmp(icon.TrayIconData.szTip, "ZanPost pro Tabulix\0\0\0", 22), 0);
}

}  // namespace
}  // namespace zanpost
