#include "bridge/backoff.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/random.h>
#include <unistd.h>

#include "bridge/options.h"
#include "log/log.h"
#include "support/monotonic.h"

namespace {

constexpr int kMaxDoublings = 12;  // 2^12 s is beyond the longest wait (3600 s)

enum class phase { idle, trying, up, waiting };

phase state = phase::idle;
int64_t since_ms = 0;  // trying: the attempt's start; up: the acceptance; waiting: the next attempt
int32_t failed = 0;
uint32_t attempts = 0;  // attempts made, for the address of the next one

// 32 random bits from the kernel; /dev/urandom where getrandom is missing.
uint32_t random_bits() {
  uint32_t bits = 0;
  if (getrandom(&bits, sizeof bits, 0) == static_cast<ssize_t>(sizeof bits)) return bits;
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    if (read(fd, &bits, sizeof bits) != static_cast<ssize_t>(sizeof bits)) bits = 0;
    close(fd);
  }
  return bits;
}

// Uniform in [0, min(mqtt_backoff, 2^n)] seconds, in milliseconds.
int64_t draw_wait_ms(int32_t n) {
  const int64_t cap_s = n >= kMaxDoublings ? mqtt_backoff : (int64_t{1} << n);
  const int64_t bound_ms = (cap_s < mqtt_backoff ? cap_s : mqtt_backoff) * 1000;
  return static_cast<int64_t>((static_cast<uint64_t>(random_bits()) * (bound_ms + 1)) >> 32);
}

}  // namespace

void mqtt_attempt_started() {
  if (mqtt_backoff == 0) return;
  ++attempts;
  state = phase::trying;
  since_ms = monotonic_ms();
}

void mqtt_attempt_accepted() {
  if (mqtt_backoff == 0 || state != phase::trying) return;
  state = phase::up;
  since_ms = monotonic_ms();
}

// A session that stayed up long enough starts the count anew; anything shorter is one more
// failed attempt.
void mqtt_attempt_failed() {
  if (mqtt_backoff == 0 || state == phase::waiting || state == phase::idle) return;
  const int64_t now = monotonic_ms();
  if (state == phase::up && now - since_ms >= kStableSessionS * 1000LL)
    failed = 0;
  else
    ++failed;
  state = phase::waiting;
  const int64_t wait_ms = draw_wait_ms(failed);
  since_ms = now + wait_ms;
  log_appendf(kLogInfo, "Backoff: next attempt in %1.1f s (failed attempts: %ld)",
              static_cast<double>(wait_ms) / 1000.0, static_cast<long>(failed));
}

bool mqtt_attempt_overdue() {
  return mqtt_backoff > 0 && state == phase::trying && monotonic_ms() - since_ms >= kAttemptMs;
}

bool mqtt_session_ready() {
  return mqtt_backoff == 0 || state == phase::up;
}

int64_t mqtt_retry_in_ms() {
  if (mqtt_backoff == 0 || state != phase::waiting) return -1;
  const int64_t left = since_ms - monotonic_ms();
  return left > 0 ? left : 0;
}

const char* mqtt_attempt_address(const char* host, bool tls, char (&out)[kAddressSize]) {
  if (mqtt_backoff == 0 || tls) return host;
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0) return host;
  uint32_t count = 0;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) ++count;
  const addrinfo* pick = found;
  for (uint32_t k = count > 0 ? (attempts - 1) % count : 0; k > 0; --k) pick = pick->ai_next;
  const bool numeric = count > 1 && getnameinfo(pick->ai_addr, pick->ai_addrlen, out, sizeof out,
                                                nullptr, 0, NI_NUMERICHOST) == 0;
  freeaddrinfo(found);
  return numeric ? out : host;
}
