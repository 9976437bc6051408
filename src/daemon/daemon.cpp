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

#include "bridge/config.h"
#include "bridge/publish.h"
#include "bridge/session.h"
#include "log/log.h"
#include "log/signal.h"
#include "shm/demonstatus.h"
#include "shm/shm.h"
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

// Waits, one second at a time, until the controller has released its start-up lock. Only the
// state text shows the wait ("SHM_LOCK23"); time, counter and state number stay as they are.
void wait_for_startup_lock() {
  static constexpr char kLockText[] = "SHM_LOCK23";
  while (reload_startup_lock() != 1) {
    if (status_entry* entry = demonstatus_entry())
      memcpy(entry->state_text, kLockText, sizeof kLockText);
    sleep(1);
  }
}

// Runs one publish cycle and shows its result. A session that failed since the last cycle is
// rebuilt first, so that a daemon which only receives actor commands (or publishes nothing)
// comes back after the broker was away. The pause after the cycle services the session, so
// commands that arrive in it are applied at once.
void publish_pass(int32_t counter) {
  demonstatus_state(counter, kStatePublishing, "publishing");
  demonstatus_text("publishing data");
  if (mqtt_session_lost) {
    log_append(kLogInfo, "Keine Verbindung zum Broker. Verbindung wird neu aufgebaut.");
    demonstatus_text("resetting connection");
    mqtt_read_config(kReadFull);
  }
  int32_t published = mqtt_publish_cycle();
  char text[kStatusTextSize];
  if (published >= 0)
    snprintf(text, sizeof text, "OK: %ld sensors published", static_cast<long>(published));
  else
    snprintf(text, sizeof text, "No sensors published");
  demonstatus_text(text);
  mqtt_session_service_for(kPauseAfterCycleMs);
}

[[noreturn]] void main_loop() {
  int32_t countdown = interval_ticks();
  demonstatus_text("running");
  int32_t counter = 0;
  for (;;) {
    wait_for_startup_lock();
    demonstatus_state(counter, kStateMainLoop, "main loop");
    counter = static_cast<int32_t>(static_cast<uint32_t>(counter) + 1u);  // wraps, as on the controller
    linux_signal_check();

    if (reload_counter() != mqtt_reload_seen) {
      demonstatus_state(counter, kStateReload, "reload");
      mqtt_read_config(kReadFull);
      log_append(kLogEssential, "Global MQTT_k482916 Configuration re-read.");
      continue;
    }
    if (mqtt_enabled == 0) {
      demonstatus_state(counter, kStateReload, "disabled");
      demonstatus_text("sleeping");
      sleep(1);
      continue;
    }

    --countdown;
    mqtt_session_service();
    if (countdown >= 0) {
      demonstatus_state(counter, kStateMainLoop, "main loop");
      char text[kStatusTextSize];
      snprintf(text, sizeof text, "waiting %1.1f s", countdown / static_cast<double>(kTicksPerSecond));
      demonstatus_text(text);
      continue;
    }
    countdown = interval_ticks();
    publish_pass(counter);
  }
}

}  // namespace

int daemon_main(int argc, char** argv) {
  paths_init();
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

  const int level = mqtt_read_config(kReadStartup);
  char banner[64];
  snprintf(banner, sizeof banner, "%.49s V %.9s", name, version);
  log_init(kLogFileName, level, kDemonSlot, banner);
  linux_signal_install_all();

  if (shm_attach_all(kSelectTables) != kAttachOk) return 0;
  wait_for_startup_lock();

  char database[kPathCapacity];
  path_with_root(kConfigDatabase, database, sizeof database);
  sqlite3_open(database, &sql_config_handle);

  mqtt_read_config(kReadFull);
  main_loop();
}
