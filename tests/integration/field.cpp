// The daemon against faults of its environment met in the field: a controller that removes and
// re-creates its segments while the daemon runs, a settings database that does not exist, and
// environment variables that would aim a test bench at the wrong controller.
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "integration/harness/harness.h"

namespace {

using harness::field_text;
using harness::Scenario;
using namespace std::chrono_literals;

const std::string kUser = Scenario::kUser;

int count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Each restart: the old segments go (at once, or for a few seconds with none at all), new ones
// come with new values. The daemon must publish the new value, put a command into the new
// segment and write its status entry again; one level-1 line per restart, the attach message
// on stdout once however long the segments are missing, and a reload still seen afterwards.
TEST(Field, ControllerRestartIsFollowed) {
  Scenario s;
  harness::Controller& c = s.controller();
  const harness::LogFile& log = s.log();
  harness::BridgeConfig cfg = s.config();
  cfg.name(1001, "temp").publish(1001).name(2001, "lamp").subscribe(2001);
  ASSERT_TRUE(c.write_config(cfg));
  ASSERT_TRUE(c.set(1001, "20.5") && c.set(2001, "0", {.type = 2}));
  auto sub = s.subscribe(kUser + "/temp");
  ASSERT_TRUE(sub->ready());
  harness::Daemon& d = s.start_daemon();
  ASSERT_TRUE(d.wait_main_loop()) << s.diagnostics();

  const std::string missing = "shmget f\xFCr SHM_Reload war erfolglos !";
  const std::string line = "Shared memory SHM_Reload wurde entfernt oder neu angelegt";
  struct Restart {
    std::chrono::seconds gap;
    std::string value, command;
  };
  for (const Restart& r : {Restart{0s, "21.50", "1.25"}, Restart{4s, "22.50", "2.50"}}) {
    SCOPED_TRACE(r.gap.count());
    const size_t mark = log.mark();
    const int printed = count(d.stdout_text(), missing);
    const time_t before = time(nullptr);
    ASSERT_TRUE(c.remove());
    std::this_thread::sleep_for(r.gap);
    ASSERT_TRUE(c.create());
    ASSERT_TRUE(c.set(1001, r.value) && c.set(2001, "0", {.type = 2}));

    ASSERT_TRUE(c.wait_status(
        [&](const status_entry& e) {
          return field_text(e.name) == "mqtt_k482916_demon" && e.start_time >= before &&
                 field_text(e.status_text) != "Start";
        },
        harness::kReadWait))
        << s.diagnostics();
    ASSERT_TRUE(sub->wait_for_line(kUser + "/temp 0 {\"call\":\"temp\",\"value\":\"" + r.value,
                                   harness::kCycleWait.count()))
        << s.diagnostics();
    ASSERT_TRUE(s.publish(kUser + "/lamp/action", r.command));
    EXPECT_TRUE(harness::wait_until(
        [&] { return field_text(c.entry_by_db_id(2001)->command.text) == r.command; },
        harness::kQuickWait))
        << s.diagnostics();
    auto lines = log.find(line, mark);
    ASSERT_EQ(lines.size(), 1u) << s.diagnostics();
    EXPECT_EQ(lines[0].level, 1);
    if (r.gap > 0s) {
      EXPECT_EQ(count(d.stdout_text(), missing), printed + 1) << d.stdout_text();
    }
  }
  const size_t mark = log.mark();
  ASSERT_TRUE(c.reload());
  EXPECT_TRUE(log.wait_for("Global MQTT_k482916 Configuration re-read.", harness::kReadWait, mark))
      << s.diagnostics();
}

TEST(Field, MissingDatabaseStaysMissing) {
  Scenario s(harness::Controller::Options{.config_db = {}});
  const std::string database = s.controller().path("/etc/korvanenv/config.s3db");
  ASSERT_FALSE(std::filesystem::exists(database));
  harness::Daemon& d = s.start_daemon();
  ASSERT_TRUE(d.wait_main_loop()) << s.diagnostics();
  EXPECT_FALSE(std::filesystem::exists(database));
}

// A refused value ends daemon and tool with status 2 and one line on stderr, before the log is
// opened or the status entry of the controller (at the offset in use) is touched.
TEST(Field, BadEnvironmentIsRefusedBeforeAnythingIsTouched) {
  harness::Controller c;
  status_entry sentinel{};
  sentinel.counter = 4242;
  ASSERT_TRUE(c.write_status(sentinel));
  const std::string offset = std::to_string(c.key_offset());
  const std::string kOffset = "K482916_SHM_KEY_OFFSET", kRoot = "K482916_ROOT";
  const std::pair<std::string, std::string> cases[][2] = {
      {{kRoot, c.root()}, {kOffset, "0x10"}},       {{kRoot, c.root()}, {kOffset, "abc"}},
      {{kRoot, c.root()}, {kOffset, offset + " "}}, {{kRoot, c.root()}, {kOffset, "-" + offset}},
      {{kRoot, c.root()}, {kOffset, "2147418113"}}, {{kRoot, "relative/root"}, {kOffset, offset}},
  };
  for (const auto& env : cases) {
    const std::string& refused = env[1].second == offset ? env[0].first : env[1].first;
    for (const std::string& binary : {harness::daemon_binary(), harness::ctl_binary()}) {
      SCOPED_TRACE(binary + " " + env[0].second + " " + env[1].second);
      harness::ProcessResult r = harness::run_process({binary, "status"}, {env[0], env[1]}, 10s);
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.err.rfind(refused + " \"", 0), 0u) << r.err;
      EXPECT_EQ(count(r.err, "\n"), 1) << r.err;
      EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(c.path("/tmp/k482916.log")));
    EXPECT_EQ(c.status()->counter, 4242);
  }
}

}  // namespace
