#include "platform/clock.h"

#include "platform/win32/windows_api.h"

namespace zanpost::platform {

TimeZoneInfo time_zone_info()
{
    TIME_ZONE_INFORMATION zone{};
    TimeZoneInfo info;
    switch (GetTimeZoneInformation(&zone)) {
    case TIME_ZONE_ID_STANDARD: info.state = TimeZoneInfo::State::standard; break;
    case TIME_ZONE_ID_DAYLIGHT: info.state = TimeZoneInfo::State::daylight; break;
    case TIME_ZONE_ID_UNKNOWN: info.state = TimeZoneInfo::State::none; break;
    default: return info;  // TIME_ZONE_ID_INVALID: nothing in the record can be trusted
    }
    info.bias = zone.Bias;
    info.standard_bias = zone.StandardBias;
    info.daylight_bias = zone.DaylightBias;
    return info;
}

LocalDateTime local_now()
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    LocalDateTime result;
    result.year = now.wYear;
    result.month = now.wMonth;
    result.day = now.wDay;
    result.weekday = now.wDayOfWeek + 1;  // Windows counts Sunday as 0
    result.hour = now.wHour;
    result.minute = now.wMinute;
    result.second = now.wSecond;
    result.millisecond = now.wMilliseconds;
    return result;
}

void sleep_milliseconds(int milliseconds) { Sleep(DWORD(milliseconds)); }

}  // namespace zanpost::platform
