// The session's client: the daemon's one libmosquitto handle, and the one routine that services
// it. Everything here runs on the daemon's only thread (no network thread is ever started), and
// libmosquitto's callbacks run inside mqtt_service.
#pragma once

#include <cstdint>

struct mosquitto;

// The client handle; null before the first mqtt_open, after a failed client creation and after
// mqtt_close (so a destroyed client is never used). Written by mqtt_open and mqtt_close
// (bridge/session.h).
extern struct mosquitto* mqtt_mosq;

// Non-zero once a service saw the session fail (no client, no connection, connection lost, TLS or
// keepalive failure): mqtt_service sets it, mqtt_reopen clears it.
extern int32_t mqtt_session_lost;

// How mqtt_service spends its time; the flags combine.
constexpr unsigned kServiceUntil = 0;  // wait until `done` holds, a call fails or the time is up,
                                       // handling each packet as it arrives
constexpr unsigned kServiceOnce = 1;   // instead: one mosquitto_loop call, waiting up to the
                                       // time for one packet
constexpr unsigned kServiceDrain = 2;  // then handle what already waits on the socket, without
                                       // waiting, up to kServiceMaxDrain packets in all
constexpr unsigned kServiceFullTime = 4;  // take the whole time: what a failure leaves is slept
// One step of the main loop: a wait of up to 100 ms for traffic, then what else already waits.
constexpr unsigned kServiceStep = kServiceOnce | kServiceDrain;
constexpr int kServiceStepMs = 100;

// Most packets one service handles in its drain, so that a flood of messages cannot hold up the
// main loop.
constexpr int kServiceMaxDrain = 100;

// Services `mosq` (mqtt_mosq, or a client of the caller's own) for at most `milliseconds` on the
// monotonic clock, as `how` says. `done` (may be null: never) is looked at before each wait.
// libmosquitto handles at most one packet per call. Any result other than success ends the
// service and, for mqtt_mosq, sets mqtt_session_lost, as does an attempt that is overdue
// (mqtt_attempt_overdue, with backoff): that is the one rule by which the daemon notices a lost
// session, and the failure it reports to the backoff (mqtt_attempt_failed). Returns libmosquitto's
// last result (success when done, when the time is up, or when nothing was called).
int mqtt_service(struct mosquitto* mosq, int milliseconds, unsigned how,
                 bool (*done)(struct mosquitto*) = nullptr);

// Gives a new session its time: one service of kServiceStepMs (kServiceOnce) per started 100 ms of
// `milliseconds`, at least one; each returns early when it handled something or when there is no
// connection, so the whole wait is short without a broker.
void mqtt_loop_wait(int milliseconds);

// For a retained message that nothing waits for (announcements, the diagnostics message, a
// command's state): hands `payload` to the session at `qos`, retained, without servicing it.
// Returns libmosquitto's result, MOSQ_ERR_NO_CONN when there is no client.
int mqtt_publish_retained(const char* topic, const char* payload, int qos);
