// A controller of a fleet ("backoff"): an address that does not answer holds up neither the main
// loop nor a reload, and a fleet whose broker went away spreads its attempts and comes back.
#include <algorithm>
#include <cmath>
#include <set>

#include <gtest/gtest.h>

#include "support/controller.h"

namespace {

using test_support::field_text;
using test_support::Scenario;
using namespace std::chrono_literals;

std::string with_keys(std::string json, const std::string& keys) {
  return json.insert(json.rfind('}'), "," + keys);
}

TEST(Fleet, SilentAddressHoldsUpNeitherTheLoopNorAReload) {
  test_support::SilentAddress silent;
  ASSERT_GT(silent.port, 0);
  test_support::ToolController c;
  test_support::BridgeConfig cfg;
  cfg.uuid = "dev-1";
  cfg.password = "pw";
  cfg.port = std::to_string(silent.port);
  ASSERT_TRUE(c.write_broker_access(with_keys(cfg.access_json(), R"("backoff":"10")")) &&
              c.write_broker_setup(cfg.setup_json()));
  test_support::Daemon d(c);
  ASSERT_TRUE(d.wait_main_loop()) << d.diagnostics();

  // The status entry moves at least every few seconds (a rebuild holds it for its fixed 5 s).
  auto longest_still = 0ms;
  auto changed = std::chrono::steady_clock::now();
  int32_t counter = c.status()->counter;
  for (auto end = changed + 10s; std::chrono::steady_clock::now() < end;) {
    std::this_thread::sleep_for(50ms);
    const auto now = std::chrono::steady_clock::now();
    if (c.status()->counter == counter) {
      longest_still = std::max(
          longest_still, std::chrono::duration_cast<std::chrono::milliseconds>(now - changed));
    } else {
      counter = c.status()->counter;
      changed = now;
    }
  }
  EXPECT_LE(longest_still, 7000ms) << d.diagnostics();
  EXPECT_GE(c.log().count("Backoff: next attempt in"), 2) << d.diagnostics();
  EXPECT_TRUE(c.wait_status(
      [](const status_entry& e) {
        return field_text(e.status_text).starts_with("broker away, next try in ");
      },
      15s))
      << c.describe_status();

  // A reload request is taken at once, also in the middle of a wait.
  const size_t mark = c.log().mark();
  ASSERT_TRUE(c.reload());
  EXPECT_TRUE(c.log().wait_for("Global MQTT_k482916 Configuration re-read.", 8s, mark))
      << d.diagnostics();
}

// Five controllers on one broker that goes away for 20 s: each wait stays within its bound, the
// waits differ from controller to controller, and every controller is back within the longest
// wait (plus an attempt) after the broker returns.
TEST(Fleet, AttemptsSpreadAndComeBack) {
  constexpr int kFleet = 5;
  test_support::BrokerOptions o = Scenario::broker_options();
  for (int i = 0; i < kFleet; ++i) o.more_users.push_back({"dev-" + std::to_string(i), "pw"});
  test_support::Broker broker(o);
  ASSERT_TRUE(broker.running()) << broker.log();
  std::vector<std::unique_ptr<test_support::ToolController>> controllers;
  std::vector<std::unique_ptr<test_support::Daemon>> daemons;
  for (int i = 0; i < kFleet; ++i) {
    // Each controller its own keys: beyond every process's unique_key_offset() range.
    test_support::ToolController::Options keys;
    keys.key_offset = test_support::unique_key_offset() + (i + 1) * 0x400000;
    auto& c = *controllers.emplace_back(std::make_unique<test_support::ToolController>(keys));
    test_support::BridgeConfig cfg;
    cfg.uuid = "dev-" + std::to_string(i);
    cfg.password = "pw";
    cfg.port = std::to_string(broker.port());
    cfg.name(1001, "temp").publish(1001);
    ASSERT_TRUE(c.write_broker_access(with_keys(cfg.access_json(), R"("backoff":"10")")) &&
                c.write_broker_setup(cfg.setup_json()) && c.set(1001, "20", {.unit = "C"}));
    daemons.push_back(std::make_unique<test_support::Daemon>(c));
  }
  // Every controller has had `n` publications acknowledged.
  auto published = [&](int n, std::chrono::milliseconds timeout) {
    return test_support::wait_until(
        [&] {
          return std::all_of(controllers.begin(), controllers.end(), [&](const auto& c) {
            return c->log().count("mqtt_publish: Rueckmeldung vom Callback") >= n;
          });
        },
        timeout);
  };
  ASSERT_TRUE(published(1, 30s));
  broker.stop();
  std::this_thread::sleep_for(20s);
  for (auto& c : controllers) ASSERT_TRUE(c->set(1001, "21", {.unit = "C"}));
  ASSERT_TRUE(broker.restart()) << broker.log();
  EXPECT_TRUE(published(2, 30s));

  // "Backoff: next attempt in W s (failed attempts: N)": W within [0, min(10, 2^N)].
  std::set<std::string> waits_drawn;
  for (auto& c : controllers) {
    const auto lines = c->log().find("Backoff: next attempt in ");
    EXPECT_GE(lines.size(), 2u);
    EXPECT_LE(lines.size(), 12u) << "attempts while the broker was away";
    std::string drawn;
    for (const auto& l : lines) {
      double wait = 0;
      long n = 0;
      ASSERT_EQ(sscanf(l.text.c_str(), "Backoff: next attempt in %lf s (failed attempts: %ld)",
                       &wait, &n),
                2);
      EXPECT_LE(wait, std::min(10.0, std::pow(2.0, n)) + 0.05) << l.text;
      drawn += l.text.substr(0, l.text.find(" s ")) + ";";
    }
    waits_drawn.insert(drawn);
  }
  EXPECT_EQ(waits_drawn.size(), static_cast<size_t>(kFleet)) << "controllers drew the same waits";
}

}  // namespace
