#include "log/local_clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

// After one refresh, the stamp of every whole UTC hour of 150 days (and of the second before it)
// equals localtime_r's, across the zone's change. Each case starts before the one above, so the
// clock works its span out anew for the new zone.
TEST(LocalClock, StampsEqualTheCLibraryAcrossAChange) {
  const std::pair<const char*, time_t> cases[] = {
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1789948800},    // 2026-09-21, change on 10-25
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", 1772323200},  // 2026-03-01, change on 04-05
      {"EST5EDT,M3.2.0,M11.1.0", 1759276800},        // 2025-10-01, change on 11-02
      {"IST-5:30", 1748736000}};                     // 2025-06-01, no change
  for (const auto& [zone, start] : cases) {
    setenv("TZ", zone, 1);
    tzset();
    local_clock_refresh(start);
    for (time_t t = start; t < start + 150 * 86400; t += t % 3600 == 0 ? 3599 : 1) {
      struct tm c;
      ASSERT_NE(localtime_r(&t, &c), nullptr);
      local_stamp s = local_clock_stamp(t);
      ASSERT_EQ((std::vector<int>{s.year, s.month, s.day, s.hour, s.minute, s.second}),
                (std::vector<int>{c.tm_year + 1900, c.tm_mon + 1, c.tm_mday, c.tm_hour, c.tm_min,
                                  c.tm_sec}))
          << zone << " at " << t;
    }
  }
  unsetenv("TZ");
  tzset();
}

}  // namespace
