// Milliseconds on the monotonic clock, for the waits and ages that must not jump with the wall
// clock (the scan period, a value's age for the heartbeat, the uptime, the segment check).
#pragma once

#include <cstdint>
#include <ctime>

inline int64_t monotonic_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
