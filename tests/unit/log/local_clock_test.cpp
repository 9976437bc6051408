#include "log/local_clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

// After one refresh, the stamp of every whole UTC hour of 150 days and of the second before it
// equals localtime_r's, across the zone's change on 2026-10-25.
TEST(LocalClock, StampsEqualTheCLibraryAcrossAChange) {
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  const time_t start = 1789948800;  // 2026-09-21 00:00:00 UTC
  local_clock_refresh(start);
  for (time_t t = start; t < start + 150 * 86400; t += t % 3600 == 0 ? 3599 : 1) {
    struct tm c;
    local_stamp s = local_clock_stamp(t);
    ASSERT_TRUE(localtime_r(&t, &c) && s.year == c.tm_year + 1900 && s.month == c.tm_mon + 1 &&
                s.day == c.tm_mday && s.hour == c.tm_hour && s.minute == c.tm_min &&
                s.second == c.tm_sec)
        << t;
  }
  unsetenv("TZ");
  tzset();
}

}  // namespace
