// The daemon against faults met in the field: a controller that removes and re-creates its
// segments while the daemon runs, no settings database, bad environment values.
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "support/controller.h"

namespace {

using test_support::field_text;
using namespace std::literals;

// Each restart (at once, then with seconds without any segment): status entry written again, new
// value published, command in the new segment, one level-1 line, the attach message printed once.
TEST(Field, ControllerRestartIsFollowedAndNoDatabaseIsMade) {
  test_support::Scenario s(test_support::ToolController::Options{.config_db = {}});
  test_support::ToolController& c = s.controller();
  const std::string user = test_support::Scenario::kUser;
  test_support::BridgeConfig cfg = s.config();
  cfg.loglevel = "1";  // without the database the log is emptied at 10000 bytes
  cfg.name(1001, "temp").publish(1001).name(2001, "lamp").subscribe(2001);
  ASSERT_TRUE(c.write_config(cfg) && c.set(1001, "20.5") && c.set(2001, "0", {.type = 2}));
  auto sub = s.subscribe(user + "/temp");
  test_support::Daemon& d = s.start_daemon();
  ASSERT_TRUE(sub->ready() && d.wait_main_loop()) << s.diagnostics();
  const std::string missing =
      "shmget f\xFCr SHM_Reload war erfolglos ! (shm_create nicht aufgerufen ?)\n";
  for (auto [gap, value, command] : {std::tuple{0s, "21.50", "1.25"}, {4s, "22.50", "2.50"}}) {
    SCOPED_TRACE(gap.count());
    const size_t mark = s.log().mark();
    const size_t printed = d.stdout_text().size();
    ASSERT_TRUE(c.remove());
    std::this_thread::sleep_for(gap);
    ASSERT_TRUE(c.create() && c.set(1001, value) && c.set(2001, "0", {.type = 2}));
    auto restarted = [&](const status_entry& e) {
      return e.start_time != 0 && field_text(e.status_text) != "Start";  // the new one is zeroed
    };
    ASSERT_TRUE(c.wait_status(restarted, test_support::kReadWait)) << s.diagnostics();
    EXPECT_TRUE(sub->wait_for_line(user + "/temp 0 {\"call\":\"temp\",\"value\":\"" + value,
                                   test_support::kCycleWait.count()));
    ASSERT_TRUE(s.publish(user + "/lamp/action", command));
    EXPECT_TRUE(test_support::wait_until(
        [&] { return field_text(c.entry_by_db_id(2001)->command.text) == command; },
        test_support::kQuickWait));
    auto lines = s.log().find("Shared memory SHM_Reload wurde entfernt oder neu angelegt", mark);
    ASSERT_TRUE(lines.size() == 1 && lines[0].level == 1) << s.diagnostics();
    EXPECT_TRUE(gap == 0s || d.stdout_text().substr(printed) == missing) << d.stdout_text();
  }
  const size_t mark = s.log().mark();
  ASSERT_TRUE(c.reload());
  EXPECT_TRUE(s.log().wait_for("Configuration re-read.", test_support::kReadWait, mark));
  EXPECT_FALSE(std::filesystem::exists(c.path("/etc/korvanenv/config.s3db")));
}

// Refused values end daemon and tool with status 2 and one stderr line, before the log is opened
// or the controller's status entry (at the offset in use) is touched.
TEST(Field, BadEnvironmentIsRefusedBeforeAnythingIsTouched) {
  test_support::ToolController c;
  const char* offset = "K482916_SHM_KEY_OFFSET";
  for (auto [name, value] : {std::pair{offset, "0x10"},
                             {offset, "5 "},
                             {offset, "2147418113"},
                             {offset, "-1"},
                             {"K482916_ROOT", "rel/root"}}) {
    test_support::Env env = c.env();
    for (auto& [n, v] : env) v = n == name ? value : v;
    for (const std::string& binary : {test_support::daemon_binary(), test_support::ctl_binary()}) {
      auto r = test_support::run_process({binary, "status"}, env, 10s);
      EXPECT_EQ(r.status, 2) << binary << " " << value;
      EXPECT_EQ(r.err.rfind(std::string(name) + " \"" + value + "\" refused", 0), 0u) << r.err;
      EXPECT_TRUE(r.out.empty() && r.err.find('\n') + 1 == r.err.size()) << r.err << r.out;
    }
    EXPECT_FALSE(std::filesystem::exists(c.path("/tmp/k482916.log")));
    EXPECT_EQ(field_text(c.status()->name), "");  // as the controller made it
  }
}

}  // namespace
