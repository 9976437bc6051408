// The log under attack and under load: files planted at the log path are left alone, and a storm
// of ignored signals while the daemon works leaves every line whole, in file and syslog mode.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "integration/harness/harness.h"

namespace {

using harness::Scenario;
using namespace std::chrono_literals;
const std::string kIgnored = "Signal wird ignoriert";

int count_of(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Files over the size limit: a hard link to another file, then a file of another user. Neither is
// written nor emptied while the daemon logs (it echoes every line at level 5); without them the
// daemon writes its own file again.
TEST(LogSafe, PlantedFilesAtTheLogPathAreLeftAlone) {
  Scenario s({.config_db = {{"/demons/max_logfile_size", "10000"}}});
  harness::Controller& c = s.controller();
  harness::BridgeConfig cfg = s.config();
  cfg.loglevel = "5";
  ASSERT_TRUE(c.write_config(cfg));
  harness::Daemon& d = s.start_daemon();
  ASSERT_TRUE(d.wait_main_loop()) << d.diagnostics();
  const std::string log = c.log().path();
  const std::string other = c.path("/precious");
  const std::string content(12000, 'p');
  auto logged = [&](int n) {
    return d.signal(SIGHUP) &&
           harness::wait_until([&] { return count_of(d.stdout_text(), kIgnored) >= n; },
                               harness::kQuickWait);
  };
  ASSERT_TRUE(harness::write_file(other, content));
  std::filesystem::remove(log);
  ASSERT_EQ(link(other.c_str(), log.c_str()), 0);
  ASSERT_TRUE(logged(1)) << d.diagnostics();
  EXPECT_TRUE(harness::read_file(other) == content) << harness::read_file(other).substr(0, 300);

  std::filesystem::remove(log);
  ASSERT_TRUE(harness::write_file(log, content));
  ASSERT_EQ(chown(log.c_str(), 65534, 65534), 0);
  ASSERT_TRUE(logged(2)) << d.diagnostics();
  EXPECT_TRUE(harness::read_file(log) == content) << harness::read_file(log).substr(0, 300);

  std::filesystem::remove(log);
  ASSERT_TRUE(logged(3)) << d.diagnostics();
  EXPECT_TRUE(c.log().contains(kIgnored)) << d.diagnostics();
}

// Bursts of eight different ignored signals (the next burst once every line of the last is there)
// while the daemon opens its database and reads its configuration, publishes, loses its broker and
// reconnects. The daemon never stops answering (watchdog: 10 s a burst), each signal leaves its two
// lines, whole and at their levels, and the daemon publishes afterwards. In syslog mode the lines
// are datagrams on a socket of the test's own at ROOT/dev/log.
TEST(LogSafe, SignalStormWhileBusy) {
  const std::pair<int, std::string> kinds[] = {
      {SIGUSR1, "USR1"},   {SIGUSR2, "USR2"}, {SIGHUP, "HUP"}, {SIGALRM, "ALRM"},
      {SIGWINCH, "WINCH"}, {SIGURG, "URG"},   {SIGPWR, "PWR"}, {SIGPROF, "PROF"}};
  for (bool syslog : {false, true}) {
    SCOPED_TRACE(syslog ? "syslog" : "file");
    Scenario s({.locked = true,
                .config_db = {{"/demons/max_logfile_size", "50000000"},
                              {"/sys/logging/syslog_enabled", syslog ? "1" : "0"}}});
    harness::Controller& c = s.controller();
    harness::BridgeConfig cfg = s.config();
    for (int i = 0; i < 10; ++i) cfg.name(1001 + i, "s" + std::to_string(i)).publish(1001 + i);
    ASSERT_TRUE(c.write_config(cfg));
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(c.set(1001 + i, "20"));

    std::mutex mutex;
    std::string datagrams;
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {AF_UNIX, {}};
    snprintf(address.sun_path, sizeof address.sun_path, "%s", c.path("/dev/log").c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::jthread reader([&](std::stop_token stop) {
      char buffer[1024];
      for (pollfd p = {sock, POLLIN, 0}; !stop.stop_requested();)
        if (poll(&p, 1, 100) > 0) {
          ssize_t n = recv(sock, buffer, sizeof buffer, 0);
          std::lock_guard lock(mutex);
          datagrams.append(buffer, n > 0 ? static_cast<size_t>(n) : 0);
        }
    });
    // Whole lines from byte `from` on, of the log file or of the datagrams.
    auto lines_from = [&](size_t from) {
      std::string text;
      if (syslog) {
        std::lock_guard lock(mutex);
        text = datagrams.substr(std::min(from, datagrams.size()));
      } else {
        std::ifstream in(c.log().path(), std::ios::binary);
        in.seekg(static_cast<std::streamoff>(from));
        text.assign(std::istreambuf_iterator<char>(in), {});
      }
      return text.substr(0, text.rfind('\n') + 1);
    };

    harness::Daemon& d = s.start_daemon();
    ASSERT_TRUE(c.wait_status(
        [](const status_entry& e) { return harness::field_text(e.state_text) == "SHM_LOCK23"; },
        harness::kStartupWait))
        << d.diagnostics();
    std::atomic<int> bursts = 0;
    std::atomic<bool> hung = false;
    std::jthread sender([&](std::stop_token stop) {
      size_t from = 0;
      for (int seen = 0; !stop.stop_requested() && !hung; ++bursts) {
        for (const auto& kind : kinds) d.signal(kind.first);
        hung = !harness::wait_until(
            [&] {
              std::string fresh = lines_from(from);
              from += fresh.size();
              seen += count_of(fresh, kIgnored);
              return seen == 8 * (bursts + 1);
            },
            10s, 1ms);
      }
    });

    ASSERT_TRUE(c.unlock());
    auto sub = s.subscribe(std::string(Scenario::kUser) + "/s0");
    ASSERT_TRUE(sub->wait_for_line("\"value\":\"20.00\"", 60000)) << d.diagnostics();
    s.broker().stop();
    ASSERT_TRUE(
        harness::wait_until([&] { return count_of(lines_from(0), "Keine Verbindung"); }, 60s))
        << d.diagnostics();
    ASSERT_TRUE(s.broker().restart());
    sub = s.subscribe(std::string(Scenario::kUser) + "/s0");
    ASSERT_TRUE(c.set(1001, "21.5"));
    ASSERT_TRUE(sub->wait_for_line("\"value\":\"21.50\"", 60000)) << d.diagnostics();
    sender.request_stop();
    sender.join();
    ASSERT_FALSE(hung) << "no lines after " << bursts << " bursts\n" << d.diagnostics();
    ASSERT_TRUE(c.set(1001, "22.5"));
    EXPECT_TRUE(sub->wait_for_line("\"value\":\"22.50\"", 60000)) << d.diagnostics();
    RecordProperty(syslog ? "syslog_signals" : "file_signals", 8 * bursts);

    // Each line whole. Signals of other kinds may come between the two lines of one, so the lines
    // are counted; at no point are more lines of signals open than kinds were sent.
    const std::regex datagram(R"(<14>[A-Z][a-z]{2} [ 1-3]\d \d\d:\d\d:\d\d mqtt_k482916_demon V )"
                              R"([0-9.]+\[)" +
                              std::to_string(d.pid()) + R"(\]: \[(-?\d+)\](.*))");
    std::map<std::string, int> counts;
    std::map<std::string, int> expected = {{"[4]" + kIgnored, 8 * bursts}};
    for (const auto& [signo, name] : kinds)
      expected["[1]SIGNAL " + std::to_string(signo) + " (" + name + ") empfangen !"] = bursts;
    std::string all = lines_from(0);
    int open = 0;
    for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
      std::string raw = all.substr(at, end - at);
      harness::LogLine l;
      std::smatch m;
      ASSERT_TRUE(syslog ? std::regex_match(raw, m, datagram) : harness::parse_log_line(raw, &l))
          << raw;
      if (syslog) l = {"", std::stoi(m[1]), m[2]};
      if (l.text.rfind("SIGNAL", 0) != 0 && l.text != kIgnored) continue;
      open += l.text == kIgnored ? -1 : 1;
      ASSERT_TRUE(open >= 0 && open <= 8) << raw;
      ++counts["[" + std::to_string(l.level) + "]" + l.text];
    }
    EXPECT_EQ(counts, expected);
    reader.request_stop();
    reader.join();
    close(sock);
  }
}

}  // namespace
