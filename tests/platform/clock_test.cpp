#include "platform/clock.h"

#include "platform/posix/time_zone_override.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

namespace zanpost::platform {
namespace {

using State = TimeZoneInfo::State;

// The offset of local time that the clock itself shows right now, in the Windows
// sign convention (universal time = local time + bias): local_now against the system clock.
int observed_bias_minutes()
{
    using namespace std::chrono;
    const auto before = system_clock::now();
    const LocalDateTime local = local_now();
    const sys_seconds local_as_utc = sys_days{year{local.year} / local.month / local.day} + hours{local.hour} +
                                      minutes{local.minute} + seconds{local.second};
    const double offset = duration<double>(local_as_utc - time_point_cast<seconds>(before)).count() / 60.0;
    return -static_cast<int>(std::lround(offset));
}

int bias_in_force(const TimeZoneInfo& info)
{
    return info.bias + (info.state == State::daylight ? info.daylight_bias : info.standard_bias);
}

TEST(TimeZone, ZoneWithoutDaylightRulesReportsNeitherState)
{
    use_time_zone("UTC0");
    TimeZoneInfo info = time_zone_info();
    EXPECT_EQ(info.state, State::none);
    EXPECT_EQ(info.bias, 0);

    use_time_zone("JST-9");
    info = time_zone_info();
    EXPECT_EQ(info.state, State::none);
    EXPECT_EQ(info.bias, -540);
    EXPECT_EQ(info.standard_bias, 0);
    EXPECT_EQ(info.daylight_bias, 0);

    use_time_zone("<-03>3");
    info = time_zone_info();
    EXPECT_EQ(info.state, State::none);
    EXPECT_EQ(info.bias, 180);

    use_time_zone("<+0530>-5:30");
    EXPECT_EQ(time_zone_info().bias, -330);
}

TEST(TimeZone, CentralEuropeanZoneUsesWindowsBiases)
{
    use_time_zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const TimeZoneInfo info = time_zone_info();
    ASSERT_TRUE(info.state == State::standard || info.state == State::daylight);
    EXPECT_EQ(info.bias, -60);
    EXPECT_EQ(info.standard_bias, 0);
    EXPECT_EQ(info.daylight_bias, -60);
    // The state must be the one in force now, so the sum is the offset the clock shows.
    EXPECT_EQ(bias_in_force(info), observed_bias_minutes());
}

TEST(TimeZone, ZoneWestOfGreenwichHasAPositiveBias)
{
    use_time_zone("EST5EDT,M3.2.0,M11.1.0");
    const TimeZoneInfo info = time_zone_info();
    ASSERT_TRUE(info.state == State::standard || info.state == State::daylight);
    EXPECT_EQ(info.bias, 300);
    EXPECT_EQ(info.daylight_bias, -60);
    EXPECT_EQ(bias_in_force(info), observed_bias_minutes());
}

TEST(TimeZone, SouthernHemisphereSeasonsAreFound)
{
    use_time_zone("AEST-10AEDT,M10.1.0,M4.1.0/3");
    const TimeZoneInfo info = time_zone_info();
    ASSERT_TRUE(info.state == State::standard || info.state == State::daylight);
    EXPECT_EQ(info.bias, -600);
    EXPECT_EQ(info.daylight_bias, -60);
    EXPECT_EQ(bias_in_force(info), observed_bias_minutes());
}

TEST(TimeZone, HalfHourDaylightShift)
{
    // Lord Howe Island moves its clocks by thirty minutes.
    use_time_zone("<+1030>-10:30<+11>-11,M10.1.0,M4.1.0");
    const TimeZoneInfo info = time_zone_info();
    EXPECT_EQ(info.bias, -630);
    EXPECT_EQ(info.daylight_bias, -30);
    EXPECT_EQ(bias_in_force(info), observed_bias_minutes());
}

TEST(LocalNow, FieldsAreInRangeAndTheWeekdayFitsTheDate)
{
    using namespace std::chrono;
    use_time_zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const LocalDateTime now = local_now();
    EXPECT_GE(now.year, 2020);
    EXPECT_TRUE(now.month >= 1 && now.month <= 12);
    EXPECT_TRUE(now.day >= 1 && now.day <= 31);
    EXPECT_TRUE(now.hour >= 0 && now.hour <= 23);
    EXPECT_TRUE(now.minute >= 0 && now.minute <= 59);
    EXPECT_TRUE(now.second >= 0 && now.second <= 60);
    EXPECT_TRUE(now.millisecond >= 0 && now.millisecond <= 999);
    const weekday wd{sys_days{year{now.year} / now.month / now.day}};
    EXPECT_EQ(now.weekday, static_cast<int>(wd.c_encoding()) + 1);
}

}  // namespace
}  // namespace zanpost::platform
