// Local time for the log's time stamps that the signal handler can take as well. The C library's
// localtime_r takes a lock (which gmtime_r and localtime_r in libraries, e.g. during a TLS
// certificate check, hold as well) and may read the zone file, so a handler must never call it.
// Instead, local time is UTC plus the zone's offset, and the offset comes from a span worked out
// with localtime_r outside any handler: the offset from the moment of the last refresh up to the
// zone's next change (looked up to 400 days ahead), and the offset after that change. The result
// equals localtime_r's as long as the offset changes at most once a day and local_clock_refresh
// runs at least once between two changes (the log module refreshes at every log_append).
#pragma once

#include <ctime>

// A local calendar time: full year, month 1-12, day 1-31, hour, minute, second.
struct local_stamp {
  int year;
  int month;
  int day;
  int hour;
  int minute;
  int second;
};

// Works the span out again when `now` lies outside it; costs one comparison otherwise, about 420
// calls of localtime_r when it works the span out. Not safe in a signal handler; the caller blocks
// the caught signals, so that a handler never reads a half-written span.
void local_clock_refresh(time_t now);

// True when `now` lies inside the span, so that local_clock_refresh would do nothing.
bool local_clock_current(time_t now);

// The local time of `now` from the span (UTC before the first refresh). Safe in a signal handler.
local_stamp local_clock_stamp(time_t now);
