// The running program and the clock, as the Windows backend reports them.

#include "platform/clock.h"
#include "platform/process.h"
#include "rtl/ascii.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace zanpost::platform {
namespace {

TEST(OwnExecutable, IsTheAbsolutePathOfThisTestProgram)
{
    const std::string path = own_executable_path();
    ASSERT_GT(path.size(), 3u);
    EXPECT_EQ(path[1], ':') << path;
    EXPECT_EQ(path[2], '\\') << path;
    const std::string name = "\\test_platform_win32.exe";
    ASSERT_GE(path.size(), name.size());
    EXPECT_EQ(ascii_lower(path.substr(path.size() - name.size())), name) << path;
}

TEST(DirectorySeparators, AreBackslashAndColonOnly)
{
    EXPECT_TRUE(is_directory_separator('\\'));
    EXPECT_TRUE(is_directory_separator(':'));
    EXPECT_FALSE(is_directory_separator('/'));
    EXPECT_FALSE(is_directory_separator('.'));
    EXPECT_FALSE(is_directory_separator('\0'));
}

TEST(CommandLine, GivesTheArgumentsAfterTheProgramName)
{
    // The C runtime split the same command line into argv; without quotes and blanks in
    // the arguments both splits agree.
    const std::vector<std::string> argv = ::testing::internal::GetArgvs();
    ASSERT_FALSE(argv.empty());
    const std::vector<std::string> expected(argv.begin() + 1, argv.end());
    EXPECT_EQ(command_line_arguments(), expected);
}

using namespace std::chrono;

sys_seconds as_sys_time(const LocalDateTime& t)
{
    const year_month_day date{year{t.year}, month{unsigned(t.month)}, day{unsigned(t.day)}};
    return sys_days{date} + hours{t.hour} + minutes{t.minute} + seconds{t.second};
}

TEST(Clock, LocalTimeIsUniversalTimeMinusTheZoneBias)
{
    const auto before = floor<seconds>(system_clock::now());
    const LocalDateTime local = local_now();
    const auto after = ceil<seconds>(system_clock::now());
    const TimeZoneInfo zone = time_zone_info();
    ASSERT_NE(zone.state, TimeZoneInfo::State::failed);

    int bias = zone.bias;
    if (zone.state == TimeZoneInfo::State::standard) bias += zone.standard_bias;
    if (zone.state == TimeZoneInfo::State::daylight) bias += zone.daylight_bias;

    // Universal time = local time + bias, in minutes.
    const sys_seconds universal = as_sys_time(local) + minutes{bias};
    EXPECT_GE(universal, before) << "bias " << bias;
    EXPECT_LE(universal, after) << "bias " << bias;
}

TEST(Clock, FieldsAreInRangeAndWeekdayCountsFromSunday)
{
    const LocalDateTime local = local_now();
    EXPECT_GE(local.month, 1);
    EXPECT_LE(local.month, 12);
    EXPECT_GE(local.day, 1);
    EXPECT_LE(local.day, 31);
    EXPECT_LE(local.hour, 23);
    EXPECT_LE(local.minute, 59);
    EXPECT_LE(local.second, 59);
    EXPECT_LE(local.millisecond, 999);
    const weekday day{sys_days{year_month_day{year{local.year}, month{unsigned(local.month)}, std::chrono::day{unsigned(local.day)}}}};
    EXPECT_EQ(local.weekday, int(day.c_encoding()) + 1);  // c_encoding: Sunday is 0
}

TEST(Clock, ZoneWithDaylightRulesReportsWhichTimeIsInForce)
{
    const TimeZoneInfo zone = time_zone_info();
    if (zone.state == TimeZoneInfo::State::none)
        GTEST_SKIP() << "the zone in use has no daylight-saving rules";
    // Whichever is in force, the other part of the record is there too: Windows zones
    // with rules carry a daylight bias that differs from the standard one.
    EXPECT_NE(zone.daylight_bias, zone.standard_bias);
}

}  // namespace
}  // namespace zanpost::platform
