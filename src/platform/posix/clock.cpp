#include "platform/clock.h"

#include "platform/posix/time_zone_override.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>

namespace zanpost::platform {

namespace {

// Offset of local time east of universal time, in seconds, at `t`; isdst as the C library
// reports it (above 0 while daylight-saving time is in force).
struct Offset {
    long east = 0;
    int isdst = 0;
};

bool offset_at(std::time_t t, Offset& out)
{
    std::tm tm{};
    if (::localtime_r(&t, &tm) == nullptr) return false;
    out.east = tm.tm_gmtoff;
    out.isdst = tm.tm_isdst;
    return true;
}

}  // namespace

TimeZoneInfo time_zone_info()
{
    ::tzset();
    TimeZoneInfo info;
    const std::time_t now = std::time(nullptr);
    Offset current;
    if (now == static_cast<std::time_t>(-1) || !offset_at(now, current)) return info;

    // A zone has daylight-saving rules when some moment within half a year either side of
    // now is in daylight time; probing every two weeks cannot miss a season.
    constexpr std::time_t day = 24 * 60 * 60;
    bool have_standard = false, have_daylight = false;
    Offset standard, daylight;
    for (std::time_t t = now - 183 * day; t <= now + 183 * day; t += 14 * day) {
        Offset probe;
        if (!offset_at(t, probe)) continue;
        if (probe.isdst > 0 && !have_daylight) {
            daylight = probe;
            have_daylight = true;
        } else if (probe.isdst == 0 && !have_standard) {
            standard = probe;
            have_standard = true;
        }
    }
    if (current.isdst > 0 && !have_daylight) {
        daylight = current;
        have_daylight = true;
    }
    if (current.isdst == 0 && !have_standard) {
        standard = current;
        have_standard = true;
    }

    if (!have_daylight) {
        info.state = TimeZoneInfo::State::none;
        info.bias = static_cast<std::int32_t>(-current.east / 60);
        return info;
    }
    // Daylight time all year round: the C library still knows the standard offset.
    const long standard_east = have_standard ? standard.east : -::timezone;
    info.bias = static_cast<std::int32_t>(-standard_east / 60);
    info.standard_bias = 0;
    info.daylight_bias = static_cast<std::int32_t>(-(daylight.east - standard_east) / 60);
    info.state = current.isdst > 0 ? TimeZoneInfo::State::daylight : TimeZoneInfo::State::standard;
    return info;
}

LocalDateTime local_now()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    LocalDateTime result;
    result.year = tm.tm_year + 1900;
    result.month = tm.tm_mon + 1;
    result.day = tm.tm_mday;
    result.weekday = tm.tm_wday + 1;
    result.hour = tm.tm_hour;
    result.minute = tm.tm_min;
    result.second = tm.tm_sec;
    result.millisecond = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    return result;
}

void use_time_zone(const std::string& rule)
{
    ::setenv("TZ", rule.c_str(), 1);
    ::tzset();
}

void sleep_milliseconds(int milliseconds)
{
    timespec left{milliseconds / 1000, long(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace zanpost::platform
