// Actor commands while the daemon is busy: one that arrives during a publish cycle is applied
// before the cycle ends, and a burst of commands drains to its last value with memory flat.
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "support/controller.h"

namespace {

using test_support::Scenario;

constexpr int32_t kSensors = 60;  // a first cycle of 6 s
constexpr int32_t kLamp = 2001;
constexpr int kBurst = 5000;
// The sanitizer's allocator and shadow memory grow with use; only the plain build shows the
// daemon's own memory.
#ifdef __SANITIZE_ADDRESS__
constexpr bool kOwnMemoryShown = false;
#else
constexpr bool kOwnMemoryShown = true;
#endif

// A field of /proc/PID/status in kB ("VmRSS:", "VmHWM:"), -1 when missing.
long proc_kb(pid_t pid, const std::string& tag) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(tag, 0) == 0) return std::strtol(line.c_str() + tag.size(), nullptr, 10);
  return -1;
}

TEST(Commands, AppliedDuringCycleAndBurstDrains) {
  Scenario s;
  test_support::ToolController& c = s.controller();
  test_support::BridgeConfig cfg = s.config();
  for (int32_t id = 1001; id < 1001 + kSensors; ++id)
    cfg.name(id, "s" + std::to_string(id)).publish(id);
  cfg.name(kLamp, "lamp").subscribe(kLamp);
  ASSERT_TRUE(c.write_config(cfg));
  ASSERT_TRUE(c.set(kLamp, "0", {.type = 2, .real_id = 511}));
  ASSERT_TRUE(c.ctl_ok({"populate", std::to_string(kSensors)}));
  const std::string topic = std::string(Scenario::kUser) + "/lamp/action";

  test_support::Daemon& d = s.start_daemon();
  ASSERT_TRUE(d.wait_main_loop()) << s.diagnostics();

  // The first cycle publishes every sensor; a command sent as it begins lands before its end.
  ASSERT_TRUE(c.wait_status(
      [](const status_entry& e) {
        return test_support::field_text(e.status_text) == "publishing data";
      },
      test_support::kCycleWait))
      << s.diagnostics();
  ASSERT_TRUE(s.publish(topic, "7"));
  ASSERT_TRUE(s.log().wait_for("gesetzt auf 7.00", test_support::kCycleWait)) << s.diagnostics();
  const std::string last_sensor = "mqtt_publish: Topic: \"" + std::string(Scenario::kUser) + "/" +
                                  std::to_string(1000 + kSensors) + "\"";
  ASSERT_TRUE(s.log().wait_for(last_sensor, test_support::kCycleWait)) << s.diagnostics();
  const std::string text = s.log().text();
  EXPECT_LT(text.find("gesetzt auf 7.00"), text.find(last_sensor));

  // A burst of commands from one client: the last value lands, memory stays where it was.
  ASSERT_TRUE(c.wait_status(
      [](const status_entry& e) {
        return test_support::field_text(e.status_text).starts_with("wait");
      },
      test_support::kCycleWait));
  const long rss = proc_kb(d.pid(), "VmRSS:");
  const long hwm = proc_kb(d.pid(), "VmHWM:");
  test_support::ClientOptions client = s.broker().client();
  test_support::ProcessResult pub = test_support::run_process(
      {"/bin/sh", "-c",
       "seq 1 " + std::to_string(kBurst) + " | " + test_support::kMosquittoPub +
           " -h 127.0.0.1 -p " + std::to_string(client.port) + " -u " + client.user + " -P " +
           client.password + " -t " + topic + " -l"});
  ASSERT_EQ(pub.status, 0) << pub.err;
  EXPECT_TRUE(test_support::wait_until([&] { return c.entry(511)->command.value == kBurst; },
                                       test_support::kCycleWait))
      << c.entry(511)->command.value << s.diagnostics();
  if (kOwnMemoryShown) {
    EXPECT_LE(proc_kb(d.pid(), "VmRSS:"), rss + 64) << "before: " << rss << " kB";
    EXPECT_LE(proc_kb(d.pid(), "VmHWM:"), hwm + 64) << "before: " << hwm << " kB";
  }
}

}  // namespace
