// Reconnection with backoff, for a controller of a fleet (mqtt_backoff, bridge/options.h). Each
// connection attempt is bounded: the broker must accept it within kAttemptMs (options.h), or it
// has failed.
// After a failed attempt or a lost session the next attempt waits a random time, uniform in
// [0, min(mqtt_backoff, 2^n)] seconds, where n counts the failed attempts since the last session
// that stayed up for kStableSessionS; the random numbers come from the kernel (getrandom), so
// controllers that started in the same second draw different waits. A refused login, a name that
// does not resolve and a failed TLS handshake count as failed attempts; the daemon never gives up.
//
// Without mqtt_backoff every routine here does nothing and reports a session that may always be
// used and never waits: the daemon rebuilds a lost session at its next publish cycle, as always.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kStableSessionS = 30;

// A connection attempt has begun (mqtt_open).
void mqtt_attempt_started();
// The broker accepted the attempt (connect_callback).
void mqtt_attempt_accepted();
// The attempt failed or the session was lost: draws the wait before the next attempt and logs it
// ("Backoff: next attempt in %1.1f s (failed attempts: %ld)", level 3). Once per attempt; later
// calls until the next mqtt_attempt_started change nothing.
void mqtt_attempt_failed();
// True while an attempt has gone on for kAttemptMs without the broker's acceptance.
bool mqtt_attempt_overdue();

// True when the publish cycle may publish: without backoff always; with it once the broker
// accepted the current attempt and nothing has failed since.
bool mqtt_session_ready();

// Milliseconds until the next attempt is due: -1 while none is waited for (without backoff, or a
// session is up or being tried), 0 when it is due now.
int64_t mqtt_retry_in_ms();

// Where an attempt connects: a host name with several addresses is tried one address per attempt,
// in turn, so that an address that does not answer cannot keep the daemon from the others.
// Writes the numeric address of this attempt into out and returns out; returns `host` itself
// without backoff, when the name does not resolve (the connect call then reports it), when it has
// one address only, and with TLS (the certificate check needs the name, so the connect call
// resolves it itself and takes its first address).
constexpr size_t kAddressSize = 64;  // an IPv6 address with its scope
const char* mqtt_attempt_address(const char* host, bool tls, char (&out)[kAddressSize]);
