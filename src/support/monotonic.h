// Milliseconds on the monotonic clock, for the waits and ages that must not jump with the wall
// clock (the session's services, the scan period, a value's age for the heartbeat, the uptime,
// the segment check).
#pragma once

#include <cerrno>
#include <cstdint>
#include <ctime>

inline int64_t monotonic_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Sleeps until monotonic_ms() reaches `end_ms` (at once when it has); a signal does not shorten it.
// (The remainder is taken by subtraction: a 64-bit % costs the 32-bit target a library routine.)
inline void sleep_until_ms(int64_t end_ms) {
  const int64_t seconds = end_ms / 1000;
  const struct timespec end = {static_cast<time_t>(seconds),
                               static_cast<long>(end_ms - seconds * 1000) * 1000000L};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
  }
}
