#pragma once
// Local time and the time-zone state that the "Date: " header is written from.

#include <cstdint>

namespace zanpost::platform {

struct TimeZoneInfo {
    enum class State {
        failed,    // the query itself failed
        none,      // the zone has no daylight-saving rules: neither state is in force
        standard,  // standard time is in force
        daylight,  // daylight time is in force
    };
    State state = State::failed;
    // Minutes, Windows convention: universal time = local time + bias.
    std::int32_t bias = 0;
    std::int32_t standard_bias = 0;
    std::int32_t daylight_bias = 0;
};

// GetTimeZoneInformation; on POSIX derived from the C library's zone (TZ).
TimeZoneInfo time_zone_info();

struct LocalDateTime {
    int year = 1970;
    int month = 1;    // 1..12
    int day = 1;      // 1..31
    int weekday = 5;  // 1 = Sunday .. 7 = Saturday
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

LocalDateTime local_now();

// Waits that long (a poll interval); nothing can cut it short.
void sleep_milliseconds(int milliseconds);

}  // namespace zanpost::platform
