#include "log/local_clock.h"

#include <chrono>
#include <limits>

namespace {

constexpr time_t kDay = 24 * 60 * 60;
// How far ahead the next change of the zone's offset is looked for.
constexpr time_t kHorizon = 400 * kDay;

// The zone's offset from UTC holds from `from` up to (not including) `change`, `after` from then
// on. Written by local_clock_refresh only; read by the handler, never while it is written.
struct zone_span {
  time_t from;
  time_t change;
  long before;
  long after;
};
zone_span span = {0, 0, 0, 0};

// Seconds east of UTC at `when`, 0 when the C library cannot convert it.
long offset_at(time_t when) {
  struct tm local;
  return localtime_r(&when, &local) != nullptr ? local.tm_gmtoff : 0;
}

}  // namespace

bool local_clock_current(time_t now) {
  return now >= span.from && now < span.change;
}

// Daily steps find the day of the next change, halving finds its second.
void local_clock_refresh(time_t now) {
  if (local_clock_current(now)) return;
  long offset = offset_at(now);
  // A 32-bit time_t ends in 2038: the horizon stops there.
  constexpr time_t kLast = std::numeric_limits<time_t>::max();
  time_t end = now > kLast - kHorizon ? kLast : now + kHorizon;
  time_t same = now;
  time_t changed = end;
  bool found = false;
  for (time_t t = now; !found && end - t >= kDay;) {
    t += kDay;
    if (offset_at(t) != offset) {
      changed = t;
      found = true;
    } else {
      same = t;
    }
  }
  while (found && changed - same > 1) {
    time_t middle = same + (changed - same) / 2;
    if (offset_at(middle) == offset)
      same = middle;
    else
      changed = middle;
  }
  span = {now, changed, offset, found ? offset_at(changed) : offset};
}

// Plain calendar arithmetic on the local seconds.
local_stamp local_clock_stamp(time_t now) {
  using namespace std::chrono;
  long offset = now < span.change ? span.before : span.after;
  sys_seconds local{seconds{static_cast<long long>(now) + offset}};
  sys_days day = floor<days>(local);
  year_month_day date{day};
  hh_mm_ss<seconds> time{local - day};
  return {static_cast<int>(date.year()),
          static_cast<int>(static_cast<unsigned>(date.month())),
          static_cast<int>(static_cast<unsigned>(date.day())),
          static_cast<int>(time.hours().count()),
          static_cast<int>(time.minutes().count()),
          static_cast<int>(time.seconds().count())};
}
