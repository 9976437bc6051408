#include "log/signal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "shm/demonstatus.h"
#include "support/log.h"
#include "support/paths.h"

namespace {

std::string signal_line(int signo, const char* name) {
  return "[1]SIGNAL " + std::to_string(signo) + " (" + name + ") empfangen !";
}

const std::string kBanner = "[1]----------   sig V 1 started (debuglevel=4)   ----------";

// A child process set up like the daemon (log_init under a temporary root, handler installed)
// that runs `body` and ends with its result; killed and reaped when the test ends.
class DaemonChild {
 public:
  DaemonChild(const std::string& root, const std::function<int(int ready_fd, int go_fd)>& body) {
    int ready[2];
    int go[2];
    if (pipe(ready) != 0 || pipe(go) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(go[1]);
      if (!freopen("/dev/null", "w", stdout)) _exit(2);
      paths_set(root.c_str(), 0);
      log_init("k.log", 4, kDemonSlot, "sig V 1");
      linux_signal_install_all();
      _exit(body(ready[1], go[0]));
    }
    close(ready[1]);
    close(go[0]);
    ready_ = ready[0];
    go_ = go[1];
  }
  ~DaemonChild() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(ready_);
    close(go_);
  }
  DaemonChild(const DaemonChild&) = delete;
  DaemonChild& operator=(const DaemonChild&) = delete;

  pid_t pid() const { return pid_; }
  // Waits for the child's byte on the ready pipe.
  bool ready() {
    char byte;
    return read(ready_, &byte, 1) == 1;
  }
  // Sends one byte on the go pipe.
  bool go() { return write(go_, "g", 1) == 1; }
  // Waits up to 10 s for the child's end and returns its wait status; a child still running
  // then (a handler that never ends it) is killed, which no test expects.
  int wait() {
    int status = 0;
    for (int i = 0; i < 1000 && status_ < 0; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
      if (status_ < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (status_ < 0) {
      kill(pid_, SIGKILL);
      if (waitpid(pid_, &status, 0) == pid_) status_ = status;
    }
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int ready_ = -1;
  int go_ = -1;
  int status_ = -1;
};

int signal_ready(int ready_fd) {
  return write(ready_fd, "r", 1) == 1 ? 0 : 2;
}

bool exited_with(int status, int code) {
  return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

// Polls until the log file holds `count` lines (a signal is handled asynchronously).
bool wait_for_lines(const std::string& path, size_t count) {
  for (int i = 0; i < 500; ++i) {
    if (test_support::LogFile(path).texts().size() >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(Signals, TerminatingSignalsEndWithStatus255AfterOneLine) {
  const std::pair<int, const char*> terminating[] = {
      {SIGTERM, "TERM"}, {SIGINT, "INT"}, {SIGSEGV, "SEGV"}, {SIGBUS, "BUS"}, {SIGTRAP, "TRAP"}};
  for (const auto& [signo, name] : terminating) {
    test_support::TempDir root;
    std::filesystem::create_directories(root.path() + "/tmp");
    DaemonChild child(root.path(), [](int ready_fd, int) {
      signal_ready(ready_fd);
      for (;;) pause();
      return 3;
    });
    ASSERT_TRUE(child.ready());
    kill(child.pid(), signo);
    EXPECT_TRUE(exited_with(child.wait(), 255)) << name;
    EXPECT_EQ(test_support::LogFile(root.path() + "/tmp/k.log").texts(),
              (std::vector<std::string>{kBanner, signal_line(signo, name)}));
  }
}

// An ignored signal leaves two lines, and the read it interrupted goes on (it is restarted).
TEST(Signals, IgnoredSignalIsLoggedAndTheWorkGoesOn) {
  test_support::TempDir root;
  std::filesystem::create_directories(root.path() + "/tmp");
  DaemonChild child(root.path(), [](int ready_fd, int go_fd) {
    signal_ready(ready_fd);
    char byte;
    ssize_t n = read(go_fd, &byte, 1);
    linux_signal_check();
    log_append(1, "weiter");
    return n == 1 ? 0 : 3;
  });
  ASSERT_TRUE(child.ready());
  std::string log = root.path() + "/tmp/k.log";
  kill(child.pid(), SIGHUP);
  ASSERT_TRUE(wait_for_lines(log, 3));
  kill(child.pid(), SIGHUP);
  ASSERT_TRUE(wait_for_lines(log, 5));
  ASSERT_TRUE(child.go());
  EXPECT_TRUE(exited_with(child.wait(), 0));
  std::string hup = signal_line(SIGHUP, "HUP");
  EXPECT_EQ(test_support::LogFile(log).texts(),
            (std::vector<std::string>{kBanner, hup, "[4]Signal wird ignoriert", hup,
                                      "[4]Signal wird ignoriert", "[1]weiter"}));
}

// Kept apart so that the sanitizer build does not report the division it is about, and out of
// line so that an optimising build still divides (1 / x is otherwise computed without a division).
__attribute__((noinline, no_sanitize("undefined"))) int divide(int a, int b) {
  return a / b;
}

// A SIGFPE sent from outside is ignored; one raised by a division by zero would repeat for ever
// if the handler returned, so it ends the process after its line.
TEST(Signals, FaultingDivisionEndsAfterOneLine) {
  test_support::TempDir root;
  std::filesystem::create_directories(root.path() + "/tmp");
  DaemonChild child(root.path(), [](int, int) {
    raise(SIGFPE);
    volatile int one = 1;
    volatile int zero = 0;
    volatile int result = divide(one, zero);
    return result == 0 ? 3 : 4;
  });
  EXPECT_TRUE(exited_with(child.wait(), 255));
  std::string fpe = signal_line(SIGFPE, "FPE");
  std::vector<std::string> lines = test_support::LogFile(root.path() + "/tmp/k.log").texts();
#if defined(__mips__)
  // MIPS checks divisors with a trap instruction; the kernel turns it into SIGFPE, user-mode
  // emulation into SIGTRAP, which ends the daemon as well.
  if (lines.size() == 4 && lines[3] == signal_line(SIGTRAP, "TRAP")) lines[3] = fpe;
#endif
  EXPECT_EQ(lines, (std::vector<std::string>{kBanner, fpe, "[4]Signal wird ignoriert", fpe}));
}

TEST(Signals, PendingSignalEndsTheProcessInTheCheck) {
  test_support::TempDir root;
  std::filesystem::create_directories(root.path() + "/tmp");
  DaemonChild child(root.path(), [](int, int) {
    linux_signal_check();  // nothing pending: returns
    linux_signal_received = SIGTERM;
    snprintf(linux_signal_name, sizeof linux_signal_name, "%s", linux_signal_text(SIGTERM));
    linux_signal_check();
    return 3;
  });
  EXPECT_TRUE(exited_with(child.wait(), 256 - SIGTERM));
  EXPECT_EQ(test_support::LogFile(root.path() + "/tmp/k.log").texts(),
            (std::vector<std::string>{kBanner, "[1]Programm wird beendet. (Signal " +
                                                   std::to_string(SIGTERM) + "  (TERM))"}));
}

TEST(Signals, NamesFollowThisPlatformsNumbers) {
  EXPECT_STREQ(linux_signal_text(SIGBUS), " (BUS)");
  EXPECT_STREQ(linux_signal_text(SIGUSR1), " (USR1)");
  EXPECT_STREQ(linux_signal_text(SIGPWR), " (PWR)");
  EXPECT_STREQ(linux_signal_text(SIGSYS), " (SYS)");
  EXPECT_STREQ(linux_signal_text(SIGIO), " (POLL)");
  EXPECT_STREQ(linux_signal_text(SIGVTALRM), " (VTALRM)");
  EXPECT_STREQ(linux_signal_text(32), " (RTMIN)");
  EXPECT_STREQ(linux_signal_text(0), " (unbekannt)");
  EXPECT_STREQ(linux_signal_text(33), " (unbekannt)");
#ifdef SIGSTKFLT
  EXPECT_STREQ(linux_signal_text(SIGSTKFLT), " (unbekannt)");
#endif
#ifdef SIGEMT
  EXPECT_STREQ(linux_signal_text(SIGEMT), " (unbekannt)");
#endif
}

}  // namespace
