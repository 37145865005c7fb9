#include "message/date.h"

#include "message/text.h"

#include <array>
#include <chrono>
#include <cstdlib>
#include <string_view>

namespace zanpost {

namespace {

// English whatever the system's language: these texts go into the "Date: " header.
constexpr std::array<std::string_view, 19> name_table{
    "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat",
    "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec",
};

// A value outside 1..count wraps round instead of reading past the table.
std::string_view name_of(int value, int first, int count)
{
    const int index = ((value - 1) % count + count) % count;
    return name_table[static_cast<std::size_t>(first + index)];
}

}  // namespace

std::int32_t timezone_bias(const platform::TimeZoneInfo& zone)
{
    using State = platform::TimeZoneInfo::State;
    switch (zone.state) {
    case State::standard: return zone.bias + zone.standard_bias;
    case State::daylight: return zone.bias + zone.daylight_bias;
    // A zone without daylight-saving rules (Japan, India, ...) still has its base offset;
    // writing GMT for it would put the "Date: " header hours off.
    case State::none: return zone.bias;
    case State::failed: break;
    }
    return 0;
}

std::int32_t timezone_bias()
{
    return timezone_bias(platform::time_zone_info());
}

std::string timezone_text(std::int32_t bias)
{
    if (bias == 0) return "GMT";
    const std::int64_t minutes = std::llabs(static_cast<std::int64_t>(bias));
    // The bias is universal minus local time, so a negative bias means "ahead of GMT".
    std::string text(1, bias < 0 ? '+' : '-');
    text += zero_padded(minutes / 60, 2);
    text += zero_padded(minutes % 60, 2);
    return text;
}

std::string timezone_text()
{
    return timezone_text(timezone_bias());
}

std::string internet_date(const platform::LocalDateTime& when, std::int32_t bias)
{
    std::string text;
    text.reserve(32);
    text += name_of(when.weekday, 0, 7);
    text += ", ";
    text += std::to_string(when.day);
    text += ' ';
    text += name_of(when.month, 7, 12);
    text += ' ';
    text += std::to_string(when.year);
    text += ' ';
    text += zero_padded(when.hour, 2);
    text += ':';
    text += zero_padded(when.minute, 2);
    text += ':';
    text += zero_padded(when.second, 2);
    text += ' ';
    text += timezone_text(bias);
    return text;
}

std::string internet_date(const platform::LocalDateTime& when)
{
    return internet_date(when, timezone_bias());
}

std::int64_t local_seconds_since_1970(const platform::LocalDateTime& when)
{
    using namespace std::chrono;
    const sys_days date{year{when.year} / month{static_cast<unsigned>(when.month)} /
                        day{static_cast<unsigned>(when.day)}};
    const std::int64_t whole = static_cast<std::int64_t>(date.time_since_epoch().count()) * 86400 +
                               std::int64_t{when.hour} * 3600 + std::int64_t{when.minute} * 60 +
                               when.second;
    // The milliseconds always lie after `whole` on the time line, also before 1970.
    if (when.millisecond >= 500) return whole + 1;
    return whole;
}

}  // namespace zanpost
