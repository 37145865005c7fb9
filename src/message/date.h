#pragma once
// RFC 822 date, time and zone texts of the local clock.

#include "platform/clock.h"

#include <cstdint>
#include <string>

namespace zanpost {

// Minutes, universal time = local time + bias, from the platform's current zone state.
std::int32_t timezone_bias();
std::int32_t timezone_bias(const platform::TimeZoneInfo& zone);

// "GMT" for 0, else "+hhmm" / "-hhmm" (local time ahead of / behind universal time).
std::string timezone_text();
std::string timezone_text(std::int32_t bias);

// "Sun, 6 Dec 2026 05:44:33 +0100".
std::string internet_date(const platform::LocalDateTime& when);
std::string internet_date(const platform::LocalDateTime& when, std::int32_t bias);

// Seconds from 1970-01-01 00:00:00 to the given local date and time, read as if it were
// universal time (no zone correction), rounded to the nearest second.
std::int64_t local_seconds_since_1970(const platform::LocalDateTime& when);

}  // namespace zanpost
