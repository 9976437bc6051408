// The daemon under trouble: a broker that goes away and comes back while only actors are
// configured, signals that must be logged and ignored, and terminating signals that end the
// process at once, also in the middle of a publish cycle.
#include <signal.h>

#include <chrono>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "support/controller.h"

namespace {

using test_support::field_text;
using test_support::LogFile;
using test_support::LogLine;
using test_support::Scenario;
using namespace std::chrono_literals;

const std::string kUser = Scenario::kUser;
const std::string kReconnect = "Keine Verbindung zum Broker. Verbindung wird neu aufgebaut.";

std::string action(const std::string& call) {
  return kUser + "/" + call + "/action";
}

std::string received_line(int signo, const std::string& name) {
  return "SIGNAL " + std::to_string(signo) + " (" + name + ") empfangen !";
}

// Sends an ignored signal and checks its two lines, in this order and next to each other:
// the SIGNAL line at level 1, then "Signal wird ignoriert" at level 4.
void expect_ignored(test_support::Daemon& d, int signo, const std::string& name) {
  SCOPED_TRACE(name);
  const LogFile& log = d.log();
  size_t mark = log.mark();
  ASSERT_TRUE(d.signal(signo));
  ASSERT_TRUE(log.wait_for("Signal wird ignoriert", test_support::kQuickWait, mark))
      << d.diagnostics();
  std::vector<LogLine> lines;
  for (const auto& raw : log.lines(mark)) {
    LogLine l;
    if (test_support::parse_log_line(raw, &l) &&
        (l.text.rfind("SIGNAL ", 0) == 0 || l.text == "Signal wird ignoriert"))
      lines.push_back(l);
  }
  ASSERT_EQ(lines.size(), 2u) << log.text(mark);
  EXPECT_EQ(lines[0].level, 1);
  EXPECT_EQ(lines[0].text, received_line(signo, name));
  EXPECT_EQ(lines[1].level, 4);
  EXPECT_EQ(lines[1].text, "Signal wird ignoriert");
  EXPECT_TRUE(d.running());
}

// Sends a terminating signal and checks that the daemon ends with status 255 and that the
// signal's line at level 1 is the last line of the log.
void expect_terminated(test_support::Daemon& d, int signo, const std::string& name) {
  SCOPED_TRACE(name);
  ASSERT_TRUE(d.signal(signo));
  auto status = d.wait_exit(10s);
  ASSERT_TRUE(status) << "still running\n" << d.diagnostics();
  EXPECT_EQ(*status, 255) << d.diagnostics();
  auto lines = d.log().lines();
  ASSERT_FALSE(lines.empty());
  LogLine last;
  ASSERT_TRUE(test_support::parse_log_line(lines.back(), &last)) << lines.back();
  EXPECT_EQ(last.level, 1);
  EXPECT_EQ(last.text, received_line(signo, name)) << d.log().text();
  EXPECT_FALSE(d.log().contains("Programm wird beendet")) << d.log().text();
}

int32_t loop_counter(const test_support::ToolController& c) {
  auto e = c.status();
  return e ? e->counter : -1;
}

// A daemon with one actor and nothing to publish hears commands again after its broker was away,
// without a reload: every publish pass rebuilds a session that failed, as long as the broker
// stays away. A SIGPIPE after the rebuild is still logged (each new client of the library turns
// it off again), and SIGINT ends the daemon.
TEST(Robustness, ActorCommandsReturnAfterBrokerRestart) {
  Scenario s;
  test_support::ToolController& c = s.controller();
  const LogFile& log = s.log();

  test_support::BridgeConfig cfg = s.config();
  cfg.name(2001, "lamp").subscribe(2001);
  ASSERT_TRUE(c.write_config(cfg));
  ASSERT_TRUE(c.set(2001, "0", {.type = 2}));

  test_support::Daemon& d = s.start_daemon();
  ASSERT_TRUE(d.wait_main_loop()) << s.diagnostics();
  size_t mark = log.mark();
  ASSERT_TRUE(s.publish(action("lamp"), "1"));
  ASSERT_TRUE(log.wait_for("Aktor mit DB_ID 2001 (Real_ID: 0) gesetzt auf 1.00",
                           test_support::kQuickWait, mark))
      << s.diagnostics();

  // A healthy session is left alone by the publish pass.
  ASSERT_TRUE(
      log.wait_for("Keine Daten zum Publishing konfiguriert", test_support::kCycleWait, mark))
      << s.diagnostics();
  EXPECT_FALSE(log.contains(kReconnect)) << d.diagnostics();

  // Broker away: the next passes try again and again.
  mark = log.mark();
  s.broker().stop();
  ASSERT_TRUE(
      log.wait_for(kReconnect, 2 * test_support::kCycleWait + test_support::kReadWait, mark, 2))
      << s.diagnostics();
  for (const auto& line : log.find(kReconnect, mark)) EXPECT_EQ(line.level, 3);
  EXPECT_TRUE(log.contains("mqtt_open: Unable to connect", mark)) << log.text(mark);
  EXPECT_FALSE(log.contains("Global MQTT_k482916 Configuration re-read.", mark));
  ASSERT_TRUE(d.running()) << d.diagnostics();

  // Broker back on the same port, without the daemon's subscription. A retained command sent
  // right away reaches the actor as soon as the daemon has subscribed again.
  ASSERT_TRUE(s.broker().restart()) << s.broker().log();
  auto restarted = std::chrono::steady_clock::now();
  mark = log.mark();
  time_t before = time(nullptr);
  ASSERT_TRUE(s.publish(action("lamp"), "2", true));
  // A reconnection waits for the next publish pass (interval 5 plus the pass's own second) and
  // then takes a configuration read; three intervals and a read are plenty.
  constexpr auto kBackWithin = 3 * 6s + test_support::kReadWait;
  ASSERT_TRUE(log.wait_for("Aktor mit DB_ID 2001 (Real_ID: 0) gesetzt auf 2.00", kBackWithin, mark))
      << s.diagnostics();
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - restarted);
  RecordProperty("reconnect_ms", static_cast<int>(took.count()));
  auto actor = c.entry_by_db_id(2001);
  ASSERT_TRUE(actor);
  EXPECT_EQ(actor->command.value, 2.0);
  EXPECT_GE(actor->command.timestamp, before);

  // Live commands work again, also after a SIGPIPE.
  expect_ignored(d, SIGPIPE, "PIPE");
  mark = log.mark();
  ASSERT_TRUE(s.publish(action("lamp"), "3"));
  ASSERT_TRUE(log.wait_for("Aktor mit DB_ID 2001 (Real_ID: 0) gesetzt auf 3.00",
                           test_support::kQuickWait, mark))
      << s.diagnostics();

  expect_terminated(d, SIGINT, "INT");
}

// Ignored signals leave two lines and change nothing else: the daemon keeps its session, takes
// commands, publishes and counts its passes. SIGTERM in the middle of a publish cycle ends it at
// once with status 255; nothing is written after the signal's line, not even the status entry.
TEST(Robustness, IgnoredSignalsAndTermDuringPublishing) {
  Scenario s;
  test_support::ToolController& c = s.controller();
  const LogFile& log = s.log();

  // Ten sensors: a cycle that publishes them all lasts at least a second.
  constexpr int kSensors = 10;
  test_support::BridgeConfig cfg = s.config();
  for (int i = 0; i < kSensors; ++i) cfg.name(1001 + i, "s" + std::to_string(i)).publish(1001 + i);
  cfg.name(2001, "lamp").subscribe(2001);
  ASSERT_TRUE(c.write_config(cfg));
  for (int i = 0; i < kSensors; ++i) ASSERT_TRUE(c.set(1001 + i, "20", {.unit = "C"}));
  ASSERT_TRUE(c.set(2001, "0", {.type = 2}));

  auto live = s.subscribe(kUser + "/s0");
  test_support::Daemon& d = s.start_daemon();
  auto status_is = [&](const std::string& text) {
    return c.wait_status([&](const status_entry& e) { return field_text(e.status_text) == text; },
                         test_support::kCycleWait);
  };
  ASSERT_TRUE(status_is("OK: 10 sensors published")) << s.diagnostics();

  size_t mark = log.mark();
  int32_t counter = loop_counter(c);
  expect_ignored(d, SIGPIPE, "PIPE");
  expect_ignored(d, SIGHUP, "HUP");
  // The same signal again gives the same two lines again.
  expect_ignored(d, SIGHUP, "HUP");

  // The daemon goes on with the same session: a command arrives, the loop counter grows.
  size_t after_signals = log.mark();
  ASSERT_TRUE(s.publish(action("lamp"), "1"));
  ASSERT_TRUE(log.wait_for("Aktor mit DB_ID 2001 (Real_ID: 10) gesetzt auf 1.00",
                           test_support::kQuickWait, after_signals))
      << s.diagnostics();
  EXPECT_TRUE(test_support::wait_until([&] { return loop_counter(c) > counter + 5; }, 5s))
      << c.describe_status();

  // The next cycle publishes a changed value.
  ASSERT_TRUE(c.set(1001, "21.5", {.unit = "C"}));
  ASSERT_TRUE(live->wait_for_line("\"value\":\"21.50\"", 20000)) << s.diagnostics();
  ASSERT_TRUE(status_is("OK: 1 sensors published")) << s.diagnostics();
  // SIGHUP does not re-read the configuration, and nothing rebuilt the session.
  EXPECT_FALSE(log.contains("Config-Datei", mark)) << log.text(mark);
  EXPECT_FALSE(log.contains("mqtt_open:", mark)) << log.text(mark);
  EXPECT_FALSE(log.contains(kReconnect, mark));
  EXPECT_FALSE(log.contains("Programm wird beendet"));

  // Every sensor changes while the controller holds its lock, so the next cycle publishes all
  // ten values; SIGTERM goes in while it runs.
  ASSERT_TRUE(c.lock());
  ASSERT_TRUE(
      c.wait_status([](const status_entry& e) { return field_text(e.state_text) == "SHM_LOCK23"; },
                    test_support::kCycleWait))
      << s.diagnostics();
  size_t last_cycle = log.mark();
  for (int i = 0; i < kSensors; ++i) ASSERT_TRUE(c.set(1001 + i, "30", {.unit = "C"}));
  ASSERT_TRUE(c.unlock());
  ASSERT_TRUE(c.wait_status(
      [](const status_entry& e) {
        return field_text(e.state_text) == "publishing" &&
               field_text(e.status_text) == "publishing data";
      },
      test_support::kCycleWait))
      << s.diagnostics();
  expect_terminated(d, SIGTERM, "TERM");
  // The cycle was cut short, and the status entry still shows it.
  EXPECT_LT(log.count("mqtt_publish: Rueckmeldung vom Callback", last_cycle), kSensors)
      << log.text(last_cycle);
  auto e = c.status();
  ASSERT_TRUE(e);
  EXPECT_EQ(field_text(e->state_text), "publishing");
  EXPECT_EQ(field_text(e->status_text), "publishing data");
}

}  // namespace
