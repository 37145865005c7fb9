#pragma once
// POSIX only: the zone the C library works in, for tests that need a known zone.

#include <string>

namespace zanpost::platform {

// Sets the zone rule (a TZ value such as "CET-1CEST,M3.5.0,M10.5.0/3") for the rest of
// the process.
void use_time_zone(const std::string& rule);

}  // namespace zanpost::platform
