// The zone texts end to end: the C library's zone through the platform's zone query.

#include "message/date.h"
#include "platform/posix/time_zone_override.h"

#include <gtest/gtest.h>

#include <string>

namespace zanpost {
namespace {

using State = platform::TimeZoneInfo::State;

std::string zone_of_date(const std::string& date)
{
    return date.substr(date.rfind(' ') + 1);
}

TEST(ZoneFromPlatform, ZonesWithoutDaylightRulesKeepTheirOffset)
{
    platform::use_time_zone("JST-9");
    EXPECT_EQ(platform::time_zone_info().state, State::none);
    EXPECT_EQ(timezone_bias(), -540);
    EXPECT_EQ(timezone_text(), "+0900");
    EXPECT_EQ(zone_of_date(internet_date(platform::local_now())), "+0900");

    platform::use_time_zone("IST-5:30");
    EXPECT_EQ(timezone_text(), "+0530");

    platform::use_time_zone("EST5");
    EXPECT_EQ(timezone_text(), "-0500");

    platform::use_time_zone("UTC0");
    EXPECT_EQ(timezone_text(), "GMT");
    EXPECT_EQ(zone_of_date(internet_date(platform::local_now())), "GMT");
}

TEST(ZoneFromPlatform, DaylightZonesFollowTheSeasonInForce)
{
    struct Case {
        const char* rule;
        const char* standard;
        const char* daylight;
    };
    const Case cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", "+0100", "+0200"},
        {"EST5EDT,M3.2.0,M11.1.0", "-0500", "-0400"},
        {"NZST-12NZDT,M9.5.0,M4.1.0/3", "+1200", "+1300"},  // summer at the turn of the year
    };
    for (const Case& c : cases) {
        platform::use_time_zone(c.rule);
        const State state = platform::time_zone_info().state;
        ASSERT_TRUE(state == State::standard || state == State::daylight) << c.rule;
        const std::string expected = state == State::daylight ? c.daylight : c.standard;
        EXPECT_EQ(timezone_text(), expected) << c.rule;
        EXPECT_EQ(zone_of_date(internet_date(platform::local_now())), expected) << c.rule;
    }
}

}  // namespace
}  // namespace zanpost
