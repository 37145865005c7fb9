#include "message/date.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace zanpost {
namespace {

using platform::LocalDateTime;
using platform::TimeZoneInfo;
using State = TimeZoneInfo::State;

TimeZoneInfo zone(State state, std::int32_t bias, std::int32_t standard_bias, std::int32_t daylight_bias)
{
    TimeZoneInfo info;
    info.state = state;
    info.bias = bias;
    info.standard_bias = standard_bias;
    info.daylight_bias = daylight_bias;
    return info;
}

LocalDateTime at(int year, int month, int day, int weekday, int hour, int minute, int second,
                 int millisecond = 0)
{
    return LocalDateTime{year, month, day, weekday, hour, minute, second, millisecond};
}

TEST(TimezoneBias, StandardAndDaylightAddTheirBias)
{
    EXPECT_EQ(timezone_bias(zone(State::standard, -60, 0, -60)), -60);   // Prague, winter
    EXPECT_EQ(timezone_bias(zone(State::daylight, -60, 0, -60)), -120);  // Prague, summer
    EXPECT_EQ(timezone_bias(zone(State::standard, 300, 0, -60)), 300);   // New York, winter
    EXPECT_EQ(timezone_bias(zone(State::standard, 0, 15, -60)), 15);     // the standard bias counts
}

TEST(TimezoneBias, ZoneWithoutDaylightRulesKeepsItsBaseBias)
{
    EXPECT_EQ(timezone_bias(zone(State::none, -540, 0, 0)), -540);    // Tokyo
    EXPECT_EQ(timezone_bias(zone(State::none, -330, 7, -60)), -330);  // Kolkata; the others unused
}

TEST(TimezoneBias, FailedQueryGivesZero)
{
    EXPECT_EQ(timezone_bias(zone(State::failed, -60, 0, -60)), 0);
    EXPECT_EQ(timezone_bias(TimeZoneInfo{}), 0);
}

TEST(TimezoneText, SignIsTheOppositeOfTheBias)
{
    EXPECT_EQ(timezone_text(-60), "+0100");
    EXPECT_EQ(timezone_text(-120), "+0200");
    EXPECT_EQ(timezone_text(0), "GMT");
    EXPECT_EQ(timezone_text(300), "-0500");
    EXPECT_EQ(timezone_text(-330), "+0530");
    EXPECT_EQ(timezone_text(210), "-0330");
    EXPECT_EQ(timezone_text(-765), "+1245");
    EXPECT_EQ(timezone_text(5), "-0005");
}

TEST(InternetDate, ExampleOfAWinterSunday)
{
    EXPECT_EQ(internet_date(at(2026, 12, 6, 1, 5, 44, 33), -60), "Sun, 6 Dec 2026 05:44:33 +0100");
}

TEST(InternetDate, DayWithoutLeadingZeroTimeAlwaysTwoDigits)
{
    EXPECT_EQ(internet_date(at(1970, 1, 1, 5, 0, 0, 0), 0), "Thu, 1 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(internet_date(at(2024, 2, 29, 5, 9, 5, 7), 300), "Thu, 29 Feb 2024 09:05:07 -0500");
    EXPECT_EQ(internet_date(at(2038, 1, 19, 3, 23, 59, 59), -330), "Tue, 19 Jan 2038 23:59:59 +0530");
}

TEST(InternetDate, MillisecondsAreDroppedNotRounded)
{
    EXPECT_EQ(internet_date(at(2000, 3, 1, 4, 12, 30, 59, 999), -60), "Wed, 1 Mar 2000 12:30:59 +0100");
}

TEST(InternetDate, EnglishNamesInOrder)
{
    constexpr std::string_view days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    constexpr std::string_view months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int weekday = 1; weekday <= 7; ++weekday) {
        const std::string text = internet_date(at(2026, 1, 10, weekday, 0, 0, 0), 0);
        EXPECT_EQ(text.substr(0, 5), std::string(days[weekday - 1]) + ", ") << weekday;
    }
    for (int month = 1; month <= 12; ++month) {
        const std::string text = internet_date(at(2026, month, 10, 1, 0, 0, 0), 0);
        EXPECT_EQ(text.substr(7, 5), " " + std::string(months[month - 1]) + " ") << month;
    }
}

TEST(InternetDate, FieldsOutOfRangeDoNotReadPastTheNames)
{
    EXPECT_EQ(internet_date(at(2026, 13, 1, 8, 0, 0, 0), 0).substr(0, 13), "Sun, 1 Jan 20");
    EXPECT_EQ(internet_date(at(2026, 0, 1, 0, 0, 0, 0), 0).substr(0, 13), "Sat, 1 Dec 20");
}

TEST(LocalSecondsSince1970, CountsLocalTimeAsUniversal)
{
    EXPECT_EQ(local_seconds_since_1970(at(1970, 1, 2, 6, 0, 0, 0)), 86400);
    EXPECT_EQ(local_seconds_since_1970(at(2000, 3, 1, 4, 0, 0, 0)), 951868800);
    EXPECT_EQ(local_seconds_since_1970(at(2024, 2, 29, 5, 12, 0, 0)), 1709208000);
    EXPECT_EQ(local_seconds_since_1970(at(2038, 1, 19, 3, 3, 14, 7)), 2147483647);
    EXPECT_EQ(local_seconds_since_1970(at(1969, 12, 31, 4, 23, 59, 59)), -1);
}

TEST(LocalSecondsSince1970, RoundsToTheNearestSecond)
{
    EXPECT_EQ(local_seconds_since_1970(at(1970, 1, 1, 5, 0, 0, 0, 499)), 0);
    EXPECT_EQ(local_seconds_since_1970(at(1970, 1, 1, 5, 0, 0, 0, 500)), 1);
    EXPECT_EQ(local_seconds_since_1970(at(1969, 12, 31, 4, 23, 59, 59, 600)), 0);
}

}  // namespace
}  // namespace zanpost
