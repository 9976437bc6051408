// The daemon's entry: start-up in a fixed order, then the endless main loop that services the
// broker session, counts down to the next publish cycle, reacts to reload requests and reports
// every step in the daemon's status entry.
#include "daemon/daemon.h"

#include <sqlite3.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "bridge/backoff.h"
#include "bridge/client.h"
#include "bridge/config.h"
#include "bridge/hooks.h"
#include "bridge/options.h"
#include "bridge/publish.h"
#include "check/check.h"
#include "homeassistant/diagnostics.h"
#include "homeassistant/discovery.h"
#include "log/log.h"
#include "log/signal.h"
#include "shm/demonstatus.h"
#include "shm/shm.h"
#include "support/identity.h"
#include "support/monotonic.h"
#include "support/paths.h"
#include "support/sqldb.h"

sqlite3* sql_config_handle = nullptr;

namespace {

// Countdown ticks per second of polling interval: one tick per session-loop call of 100 ms.
constexpr int32_t kTicksPerSecond = 10;
// Pause after a publish cycle.
constexpr int kPauseAfterCycleMs = 1000;

// The countdown for the current polling interval. The interval is at least 5 s; a huge one is
// held at the int32 range instead of overflowing.
int32_t interval_ticks() {
  int64_t ticks = static_cast<int64_t>(mqtt_interval) * kTicksPerSecond;
  return ticks > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ticks);
}

// The wait for the next publish cycle, set before every cycle (and at start-up), so a reload's
// new settings take effect from the next cycle on. Without a scan period it counts session-loop
// calls: interval x 10 of them, each up to 100 ms, shorter when traffic arrives. With one it is a
// time on the monotonic clock, mqtt_scan seconds after the start of the last cycle, and each pass
// services the session for 100 ms (the rest at the end), so the period holds whatever traffic
// comes and a daemon without a connection does not spin.
struct countdown {
  int32_t ticks = 0;
  int64_t due_ms = 0;  // with a scan period; 0: counting ticks
};

void countdown_set(countdown* c) {
  c->ticks = interval_ticks();
  c->due_ms = mqtt_scan > 0 ? monotonic_ms() + static_cast<int64_t>(mqtt_scan) * 1000 : 0;
}

// One counting-down pass: services the session and returns the tenths of a second still to
// wait (0 or more), or -1 when the publish cycle is due.
int32_t countdown_pass(countdown* c) {
  if (c->due_ms == 0) {
    --c->ticks;
    mqtt_service(mqtt_mosq, kServiceStepMs, kServiceStep);
    return c->ticks >= 0 ? c->ticks : -1;
  }
  constexpr int64_t kPassMs = 1000 / kTicksPerSecond;
  const int64_t left = c->due_ms - monotonic_ms();
  const int64_t pass = left < 1 ? 1 : left > kPassMs ? kPassMs : left;
  mqtt_service(mqtt_mosq, static_cast<int>(pass), kServiceFullTime);
  const int64_t rest = c->due_ms - monotonic_ms();
  return rest > 0 ? static_cast<int32_t>(rest / kPassMs) : -1;
}

// Waits, one second at a time, until the controller has released its start-up lock. Only the
// state text shows the wait ("SHM_LOCK23"); time, counter and state number stay as they are.
// While waiting it checks every second that the segments are still the controller's live ones;
// returns the name of one that is not (the wait is then over), or null once the lock is free.
const char* wait_for_startup_lock() {
  static constexpr char kLockText[] = "SHM_LOCK23";
  while (reload_startup_lock() != 1) {
    if (status_entry* entry = demonstatus_entry())
      memcpy(entry->state_text, kLockText, sizeof kLockText);
    sleep(1);
    if (const char* stale = shm_stale_segment()) return stale;
  }
  return nullptr;
}

// Name of a segment that the controller removed or re-created, looked for at most once a second
// (a few system calls: the check must not cost the idle daemon anything worth measuring); null
// when none is found or the check is not due.
const char* stale_segment_due() {
  static int64_t last_check = 0;  // monotonic seconds of the last check
  const int64_t now = monotonic_ms() / 1000;
  if (last_check != 0 && now - last_check < 1) return nullptr;
  last_check = now;
  return shm_stale_segment();
}

// Attaches the controller's segments again after it removed and re-created them: detaches every
// segment, attaches anew once a second until all are there (the attach message is printed for the
// first failure only), initialises the status entry as at start-up (the daemon goes on without a
// status table, as at start-up), waits for the start-up lock and reads the full configuration, so
// that every valid value is published in the next cycle and every subscription stands again.
void reattach_segments(const char* stale) {
  while (stale != nullptr) {
    log_appendf(kLogEssential,
                "Shared memory %s wurde entfernt oder neu angelegt: Segmente werden neu verbunden.",
                stale);
    shm_detach_all();
    demonstatus_detach();
    bool report = true;
    while (shm_attach_all(kSelectTables, report) != kAttachOk) {
      report = false;
      shm_detach_all();
      linux_signal_check();
      sleep(1);
    }
    demonstatus_start(kDemonSlot, kDemonName, kDemonVersion, 0);
    stale = wait_for_startup_lock();
  }
  // The controller may make its status table after the others; by the time it releases its lock
  // it is there.
  if (demonstatus_entry() == nullptr) demonstatus_start(kDemonSlot, kDemonName, kDemonVersion, 0);
  mqtt_read_config(kReadFull);
}

// A new session in place of one that failed: the full configuration read.
void rebuild_lost_session() {
  log_append(kLogInfo, "Keine Verbindung zum Broker. Verbindung wird neu aufgebaut.");
  demonstatus_text("resetting connection");
  mqtt_read_config(kReadFull);
}

// After a publication that was not acknowledged the full read rebuilds the session at once; with
// backoff the session has failed and is rebuilt when its wait is over.
void rebuild_after_failed_publication() {
  if (mqtt_backoff == 0) {
    mqtt_read_config(kReadFull);
    return;
  }
  mqtt_session_lost = 1;
  mqtt_attempt_failed();
}

// With backoff, while the next attempt is not due: the status entry says so, and the pass sleeps
// at most one tick, so that signals, reload requests and the status entry go on meanwhile.
void wait_for_attempt(int32_t counter, int64_t left_ms) {
  demonstatus_state(counter, kStateMainLoop, "main loop");
  char text[kStatusTextSize];
  snprintf(text, sizeof text, "broker away, next try in %1.1f s", left_ms / 1000.0);
  demonstatus_text(text);
  constexpr int64_t kTickMs = 1000 / kTicksPerSecond;
  sleep_until_ms(monotonic_ms() + (left_ms < kTickMs ? left_ms : kTickMs));
}

// Runs one publish cycle and shows its result. A session that failed since the last cycle is
// rebuilt first, so that a daemon which only receives actor commands (or publishes nothing)
// comes back after the broker was away. The pause after the cycle services the session, so
// commands that arrive in it are applied at once. With backoff nothing is published until the
// broker has accepted the session (its rebuild waits in the main loop).
void publish_pass(int32_t counter) {
  if (!mqtt_session_ready()) return;
  demonstatus_state(counter, kStatePublishing, "publishing");
  demonstatus_text("publishing data");
  if (mqtt_session_lost) rebuild_lost_session();
  int32_t published = mqtt_publish_cycle();
  mqtt_diagnostics_publish(published);
  char text[kStatusTextSize];
  if (published >= 0)
    snprintf(text, sizeof text, "OK: %ld sensors published", static_cast<long>(published));
  else
    snprintf(text, sizeof text, "No sensors published");
  demonstatus_text(text);
  // With a scan period the countdown's passes service the session from here on.
  if (mqtt_scan == 0) mqtt_service(mqtt_mosq, kPauseAfterCycleMs, kServiceFullTime);
}

[[noreturn]] void main_loop() {
  countdown wait;
  countdown_set(&wait);
  demonstatus_text("running");
  int32_t counter = 0;
  for (;;) {
    const char* stale = wait_for_startup_lock();
    if (stale == nullptr) stale = stale_segment_due();
    if (stale != nullptr) {
      reattach_segments(stale);
      countdown_set(&wait);
      demonstatus_text("running");
      continue;
    }
    demonstatus_state(counter, kStateMainLoop, "main loop");
    counter =
        static_cast<int32_t>(static_cast<uint32_t>(counter) + 1u);  // wraps, as on the controller
    linux_signal_check();

    if (reload_counter() != mqtt_reload_seen) {
      demonstatus_state(counter, kStateReload, "reload");
      mqtt_read_config(kReadFull);
      log_append(kLogEssential, "Global MQTT_k482916 Configuration re-read.");
      continue;
    }
    if (mqtt_enabled == 0) {
      demonstatus_state(counter, kStateDisabled, "disabled");
      demonstatus_text("sleeping");
      sleep(1);
      continue;
    }
    const int64_t attempt_in_ms = mqtt_retry_in_ms();
    if (attempt_in_ms > 0) {
      wait_for_attempt(counter, attempt_in_ms);
      continue;
    }
    if (attempt_in_ms == 0) {
      rebuild_lost_session();
      continue;
    }

    const int32_t tenths = countdown_pass(&wait);
    mqtt_discovery_repeat();
    if (tenths >= 0) {
      demonstatus_state(counter, kStateMainLoop, "main loop");
      char text[kStatusTextSize];
      snprintf(text, sizeof text, "waiting %1.1f s", tenths / static_cast<double>(kTicksPerSecond));
      demonstatus_text(text);
      continue;
    }
    countdown_set(&wait);
    publish_pass(counter);
  }
}

}  // namespace

void daemon_install_hooks() {
  mqtt_hooks.rebuild = rebuild_after_failed_publication;
  mqtt_hooks.announce = [] {
    mqtt_discovery_publish();
    mqtt_diagnostics_publish(-1);
  };
  mqtt_hooks.take_message = mqtt_discovery_message;
}

int daemon_main(int argc, char** argv) {
  if (paths_init() != 0) return kExitBadEnvironment;
  // --check and --help are answered before anything is attached, logged or written.
  const int checked = check_command(argc, argv);
  if (checked != kNotACheck) return checked;
  demonstatus_start(kDemonSlot, kDemonName, kDemonVersion, 0);

  // Name and version are read back from the status entry; without a status table the daemon
  // falls back to its constants and never touches the unattached table.
  const status_entry* entry = demonstatus_entry();
  const char* name = entry != nullptr ? entry->name : kDemonName;
  const char* version = entry != nullptr ? entry->version : kDemonVersion;

  if (argc > 1 && strcmp(argv[1], "-v") == 0) {
    printf("%.9s\n", version);
    return 0;
  }

  daemon_install_hooks();
  const int level = mqtt_read_config(kReadStartup);
  char banner[64];
  snprintf(banner, sizeof banner, "%.49s V %.9s", name, version);
  log_init(kLogFileName, level, kDemonSlot, banner);
  linux_signal_install_all();

  if (shm_attach_all(kSelectTables) != kAttachOk) return 0;
  const char* stale = wait_for_startup_lock();

  // Opened without SQLITE_OPEN_CREATE: a missing database stays missing for the controller's
  // other tools, which would otherwise find an empty one.
  char database[kPathCapacity];
  path_with_root(kConfigDatabase, database, sizeof database);
  sqlite3_open_v2(database, &sql_config_handle, SQLITE_OPEN_READWRITE, nullptr);

  if (stale != nullptr)
    reattach_segments(stale);
  else
    mqtt_read_config(kReadFull);
  main_loop();
}
