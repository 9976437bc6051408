// The log under attack (files planted at its path) and under a storm of signals.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "log/signal.h"
#include "support/controller.h"

namespace {

using test_support::read_file;
using test_support::Scenario;
using namespace std::chrono_literals;
const std::string kIgnored = "Signal wird ignoriert";

int count_of(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A hard link to another file, then a file of another user, both over the size limit: neither is
// touched while the daemon logs (it echoes every line at level 5). Then it has its own file again.
TEST(LogSafe, PlantedFilesAtTheLogPathAreLeftAlone) {
  Scenario s({.config_db = {{"/demons/max_logfile_size", "10000"}}});
  test_support::BridgeConfig cfg = s.config();
  cfg.loglevel = "5";
  ASSERT_TRUE(s.controller().write_config(cfg));
  test_support::Daemon& d = s.start_daemon();
  ASSERT_TRUE(d.wait_main_loop()) << d.diagnostics();
  const std::string log = s.log().path(), other = log + ".other", content(12000, 'p');
  for (int step = 1; step <= 3; ++step) {
    const std::string& planted = step == 1 ? other : log;
    std::filesystem::remove(log);
    ASSERT_TRUE(step == 3 || test_support::write_file(planted, content));
    ASSERT_TRUE(step != 1 || link(other.c_str(), log.c_str()) == 0);
    ASSERT_TRUE(step != 2 || chown(log.c_str(), 65534, 65534) == 0);
    ASSERT_TRUE(d.signal(SIGHUP) && test_support::wait_until(
                                        [&] { return count_of(d.stdout_text(), kIgnored) == step; },
                                        test_support::kQuickWait));
    // The first line of the signal was handled before the second was echoed.
    EXPECT_TRUE(step == 3 ? s.log().contains("(HUP) empfangen") : read_file(planted) == content);
  }
}

// Bursts of eight kinds of ignored signals (the next once every line of the last is there) while
// the daemon opens its database, reads its configuration, publishes, loses its broker and
// reconnects. It never stops answering (watchdog: 10 s a burst), each signal leaves its two lines,
// whole and at their levels, and it publishes afterwards. In syslog mode the lines are datagrams
// on a socket of the test's own at ROOT/dev/log.
TEST(LogSafe, SignalStormWhileBusy) {
  const int kinds[] = {SIGUSR1, SIGUSR2, SIGHUP, SIGALRM, SIGWINCH, SIGURG, SIGPWR, SIGPROF};
  for (bool syslog : {false, true}) {
    SCOPED_TRACE(syslog ? "syslog" : "file");
    Scenario s({.locked = true,
                .config_db = {{"/demons/max_logfile_size", "50000000"},
                              {"/sys/logging/syslog_enabled", syslog ? "1" : "0"}}});
    test_support::ToolController& c = s.controller();
    test_support::BridgeConfig cfg = s.config();
    for (int i = 0; i < 10; ++i) cfg.name(1001 + i, "s" + std::to_string(i)).publish(1001 + i);
    ASSERT_TRUE(c.write_config(cfg) && c.set(1001, "20"));
    std::mutex mutex;
    std::string datagrams;
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {AF_UNIX, {}};
    snprintf(address.sun_path, sizeof address.sun_path, "%s", c.path("/dev/log").c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // The whole lines so far, of the log file or of the datagrams (read as they come).
    auto lines = [&] {
      std::lock_guard lock(mutex);
      char buffer[1024];
      for (ssize_t n; syslog && (n = recv(sock, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
        datagrams.append(buffer, static_cast<size_t>(n));
      std::string text = syslog ? datagrams : c.log().text();
      return text.substr(0, text.rfind('\n') + 1);
    };
    // A logger that stops reading would hold the daemon in its send, as with the C library.
    std::jthread reader([&](std::stop_token stop) {
      for (; syslog && !stop.stop_requested(); std::this_thread::sleep_for(1ms)) lines();
    });
    test_support::Daemon& d = s.start_daemon();
    ASSERT_TRUE(c.wait_status(
        [](const status_entry& e) {
          return test_support::field_text(e.state_text) == "SHM_LOCK23";
        },
        test_support::kStartupWait));
    std::atomic<int> bursts = 0;
    std::atomic<bool> hung = false;
    std::jthread sender([&](std::stop_token stop) {
      for (; !stop.stop_requested() && !hung; ++bursts) {
        for (int signo : kinds) d.signal(signo);
        hung = !test_support::wait_until(
            [&] { return count_of(lines(), kIgnored) == 8 * (bursts + 1); }, 10s, 1ms);
      }
    });
    ASSERT_TRUE(c.unlock());
    auto sub = s.subscribe(std::string(Scenario::kUser) + "/s0");
    ASSERT_TRUE(sub->wait_for_line("\"value\":\"20.00\"", 60000)) << d.diagnostics();
    s.broker().stop();
    ASSERT_TRUE(
        test_support::wait_until([&] { return count_of(lines(), "Keine Verbindung"); }, 60s));
    ASSERT_TRUE(s.broker().restart());
    sub = s.subscribe(std::string(Scenario::kUser) + "/s0");
    ASSERT_TRUE(c.set(1001, "21.5") && sub->wait_for_line("\"value\":\"21.50\"", 60000));
    sender.request_stop();
    sender.join();
    ASSERT_FALSE(hung) << "no lines after " << bursts << " bursts\n" << d.diagnostics();
    EXPECT_TRUE(c.set(1001, "22.5") && sub->wait_for_line("\"value\":\"22.50\"", 60000));
    // Each datagram exactly as the C library's syslog sends it.
    const std::regex datagram(
        R"(<14>\w{3} [ 1-3]\d \d\d:\d\d:\d\d mqtt_k482916_demon V [0-9.]+\[)" +
        std::to_string(d.pid()) + R"(\]: \[-?\d+\].*)");
    std::string all = lines();
    std::istringstream in(all);
    for (std::string raw; syslog && std::getline(in, raw);)
      ASSERT_TRUE(std::regex_match(raw, datagram)) << raw;
    EXPECT_EQ(count_of(all, "[4]" + kIgnored + "\n"), 8 * bursts);
    for (int signo : kinds)
      EXPECT_EQ(count_of(all, "[1]SIGNAL " + std::to_string(signo) + linux_signal_text(signo) +
                                  " empfangen !\n"),
                bursts);
    reader = {};  // stopped and joined before its socket goes
    close(sock);
  }
}

}  // namespace
