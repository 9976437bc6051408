// Start-up of the daemon process: the version flag, missing segments, the start-up lock.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>

#include <thread>

#include <gtest/gtest.h>

#include "support/controller.h"

namespace {

using test_support::Daemon;
using test_support::field_text;
using test_support::ToolController;
using namespace std::chrono_literals;

constexpr const char* kLockText = "SHM_LOCK23";

// A status entry as an earlier daemon instance would have left it.
status_entry stale_entry() {
  status_entry e{};
  e.slot = kDemonSlot;
  snprintf(e.name, sizeof e.name, "%s", "old_demon");
  snprintf(e.version, sizeof e.version, "%s", "0.001");
  e.start_time = 1000;
  e.update_time = 2000;
  e.counter = 4711;
  snprintf(e.status_text, sizeof e.status_text, "%s", "OK: 3 sensors published");
  snprintf(e.extra_text, sizeof e.extra_text, "%s", "left over");
  e.state = 10;
  snprintf(e.state_text, sizeof e.state_text, "%s", "publishing");
  return e;
}

// The entry as a start-up writes it; start_time and update_time lie within [before, after].
void expect_fresh_entry(const status_entry& e, time_t before, time_t after) {
  EXPECT_EQ(e.slot, kDemonSlot);
  EXPECT_EQ(field_text(e.name), "mqtt_k482916_demon");
  EXPECT_EQ(field_text(e.version), "3.219");
  EXPECT_GE(e.start_time, before);
  EXPECT_LE(e.start_time, after);
  EXPECT_GE(e.update_time, e.start_time);
  EXPECT_LE(e.update_time, e.start_time + 1);
  EXPECT_EQ(e.counter, 0);
  EXPECT_EQ(field_text(e.status_text), "Start");
  EXPECT_EQ(field_text(e.extra_text), "");
  EXPECT_EQ(e.state, 0);
}

// A brokerSetup.json with log level 4, so that the start-up read opens the log at level 4.
void write_minimal_config(const ToolController& c) {
  test_support::BridgeConfig cfg;
  cfg.uuid = "u";
  cfg.port = "1";
  ASSERT_TRUE(c.write_config(cfg));
}

TEST(Startup, VersionFlagPrintsVersionAndReinitialisesTheStatusEntry) {
  ToolController c;
  write_minimal_config(c);
  ASSERT_TRUE(c.write_status(stale_entry()));
  time_t before = time(nullptr);
  Daemon d(c, {"-v"});
  EXPECT_EQ(d.wait_exit(10s), 0) << d.diagnostics();
  time_t after = time(nullptr);
  EXPECT_EQ(d.stdout_text(), "3.219\n");
  auto e = c.status();
  ASSERT_TRUE(e);
  expect_fresh_entry(*e, before, after);
  EXPECT_EQ(field_text(e->state_text), "startup");
  // "-v" answers before the log is opened: no log file, no banner.
  EXPECT_EQ(c.log().text(), "");
}

TEST(Startup, VersionFlagWithoutStatusTable) {
  ToolController c;
  write_minimal_config(c);
  ASSERT_TRUE(c.remove_segment(kKeyDemonstatus));
  Daemon d(c, {"-v"});
  EXPECT_EQ(d.wait_exit(10s), 0) << d.diagnostics();
  EXPECT_EQ(d.stdout_text(),
            "shmget f\xFCr SHM_demonstatus_data war erfolglos ! (shm_create nicht aufgerufen ?)\n"
            "3.219\n");
}

// Every segment of the attach list, missing on its own, ends the start-up with its own message
// and exit status 0, after the log was opened and before any configuration is read.
TEST(Startup, MissingSegmentEndsStartupWithItsMessage) {
  const std::pair<int32_t, const char*> cases[] = {
      {kKeyReload, "SHM_Reload"},
      {kKeySensordata, "SHM_Sensordata"},
      {kKeySensordata2, "SHM_Sensordata2"},
      {kKeyMappingdata, "SHM_Mappingdata"},
      {kKeyExternaldata, "SHM_Externaldata"},
      {kKeyChipid, "SHM_Chipid"},
  };
  ToolController c(ToolController::Options{.create_segments = false});
  write_minimal_config(c);
  for (const auto& [key, name] : cases) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(c.create());
    ASSERT_TRUE(c.remove_segment(key));
    size_t mark = c.log().mark();
    Daemon d(c);
    EXPECT_EQ(d.wait_exit(15s), 0) << d.diagnostics();
    std::string message =
        std::string("shmget f\xFCr ") + name + " war erfolglos ! (shm_create nicht aufgerufen ?)\n";
    std::string out = d.stdout_text();
    EXPECT_NE(out.find(message), std::string::npos) << out;
    EXPECT_EQ(out.find("shmget"), out.rfind("shmget")) << "more than one message: " << out;
    // The failure itself is not logged; the log was opened before the attach, the configuration
    // is never read.
    EXPECT_TRUE(c.log().contains("mqtt_k482916_demon V 3.219 started (debuglevel=4)", mark))
        << c.log().text(mark);
    EXPECT_FALSE(c.log().contains("shmget", mark));
    EXPECT_FALSE(c.log().contains("Config-Datei", mark));
    ASSERT_TRUE(c.remove());
  }
}

// The attach stops at the first failure in its fixed order; a segment smaller than the size the
// daemon asks for counts as missing.
TEST(Startup, AttachStopsAtFirstFailureAndRefusesSmallSegments) {
  ToolController c;
  write_minimal_config(c);
  {
    ASSERT_TRUE(c.remove_segment(kKeyChipid));
    ASSERT_TRUE(c.remove_segment(kKeySensordata));
    Daemon d(c);
    EXPECT_EQ(d.wait_exit(15s), 0) << d.diagnostics();
    std::string out = d.stdout_text();
    EXPECT_NE(out.find("shmget f\xFCr SHM_Sensordata war erfolglos !"), std::string::npos) << out;
    EXPECT_EQ(out.find("SHM_Chipid"), std::string::npos) << out;
  }
  ASSERT_TRUE(c.remove());
  ASSERT_TRUE(c.create());
  ASSERT_TRUE(c.remove_segment(kKeyMappingdata));
  int id = shmget(kKeyMappingdata + c.key_offset(), 4096, IPC_CREAT | IPC_EXCL | 0666);
  ASSERT_GE(id, 0);
  Daemon d(c);
  EXPECT_EQ(d.wait_exit(15s), 0) << d.diagnostics();
  std::string out = d.stdout_text();
  EXPECT_NE(out.find("shmget f\xFCr SHM_Mappingdata war erfolglos ! (shm_create nicht aufgerufen "
                     "?)\n"),
            std::string::npos)
      << out;
  shmctl(id, IPC_RMID, nullptr);
}

// Without the status table the start-up prints its message and goes on (here up to the attach of
// the segments, where the missing sensor table ends it).
TEST(Startup, MissingStatusTableIsReportedAndStartupGoesOn) {
  ToolController c;
  write_minimal_config(c);
  ASSERT_TRUE(c.remove_segment(kKeyDemonstatus));
  ASSERT_TRUE(c.remove_segment(kKeySensordata));
  Daemon d(c);
  EXPECT_EQ(d.wait_exit(15s), 0) << d.diagnostics();
  std::string out = d.stdout_text();
  size_t status_msg = out.find(
      "shmget f\xFCr SHM_demonstatus_data war erfolglos ! (shm_create nicht aufgerufen ?)\n");
  size_t sensor_msg =
      out.find("shmget f\xFCr SHM_Sensordata war erfolglos ! (shm_create nicht aufgerufen ?)\n");
  ASSERT_NE(status_msg, std::string::npos) << out;
  ASSERT_NE(sensor_msg, std::string::npos) << out;
  EXPECT_LT(status_msg, sensor_msg);
  EXPECT_TRUE(c.log().contains("mqtt_k482916_demon V 3.219 started"));
}

// Distinct status texts seen while polling every 5 ms until `stop` holds or `timeout` passes.
std::vector<std::string> watch_status_texts(const ToolController& c,
                                            const std::function<bool(const status_entry&)>& stop,
                                            std::chrono::milliseconds timeout) {
  std::vector<std::string> seen;
  test_support::wait_until(
      [&] {
        auto e = c.status();
        if (!e) return false;
        std::string t = field_text(e->status_text);
        if (seen.empty() || seen.back() != t) seen.push_back(t);
        return stop(*e);
      },
      timeout, 5ms);
  return seen;
}

// The daemon holds back while the controller's start-up lock is set: no configuration read, no
// status writes but the lock text. Once released it reads the configuration and counts down; a
// lock set again later suspends the main loop.
TEST(Startup, WaitsForTheStartupLock) {
  test_support::Scenario s(ToolController::Options{.locked = true});
  ToolController& c = s.controller();
  ASSERT_TRUE(c.write_config(s.config()));
  time_t before = time(nullptr);
  // Arguments other than a leading "-v" are ignored.
  Daemon& d = s.start_daemon({"--foo", "-v"});
  ASSERT_TRUE(c.wait_status(
      [](const status_entry& e) { return field_text(e.state_text) == kLockText; }, 10s))
      << s.diagnostics();
  // Waiting for the lock must not touch the rest of the entry.
  std::this_thread::sleep_for(2500ms);
  auto e = c.status();
  ASSERT_TRUE(e);
  expect_fresh_entry(*e, before, time(nullptr));
  EXPECT_EQ(field_text(e->state_text), kLockText);
  EXPECT_TRUE(d.running());
  EXPECT_TRUE(c.log().contains("mqtt_k482916_demon V 3.219 started (debuglevel=4)"))
      << s.diagnostics();
  EXPECT_FALSE(c.log().contains("Config-Datei")) << s.diagnostics();
  EXPECT_EQ(d.stdout_text().find("3.219\n"), std::string::npos) << d.stdout_text();

  ASSERT_TRUE(c.unlock());
  auto texts = watch_status_texts(
      c,
      [](const status_entry& e) { return field_text(e.status_text).rfind("waiting 4.", 0) == 0; },
      test_support::kStartupWait);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.front(), "Start");
  // "running" stands for only one session-loop call (100 ms) before the first countdown text,
  // so a busy machine may miss it; when it is seen it comes between the two.
  ASSERT_GE(texts.size(), 2u) << s.diagnostics();
  if (texts.size() > 2) {
    EXPECT_EQ(texts[1], "running");
  }
  EXPECT_EQ(texts.back().rfind("waiting 4.", 0), 0u) << texts.back();
  EXPECT_TRUE(c.log().contains("Config-Datei \"" + c.root() +
                               "/opt/korvan/k482916/brokerAccess.json\" gelesen: "));
  EXPECT_TRUE(c.log().contains("Global MQTT_k482916 Configuration read. Enabled: 1"));

  // Locked again: the main loop stops where it is, the countdown text stays.
  ASSERT_TRUE(c.lock());
  ASSERT_TRUE(c.wait_status(
      [](const status_entry& e) { return field_text(e.state_text) == kLockText; }, 5s))
      << s.diagnostics();
  std::string frozen = field_text(c.status()->status_text);
  int32_t counter = c.status()->counter;
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(field_text(c.status()->status_text), frozen);
  EXPECT_EQ(c.status()->counter, counter);
  EXPECT_EQ(field_text(c.status()->state_text), kLockText);
  ASSERT_TRUE(c.unlock());
  EXPECT_TRUE(c.wait_status(
      [&](const status_entry& e) {
        return e.counter > counter && field_text(e.status_text) != frozen;
      },
      5s))
      << s.diagnostics();
}

}  // namespace
