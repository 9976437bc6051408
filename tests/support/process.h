// Child processes of a test: one spawner, bounded waits, a run-to-the-end with captured output,
// the build's programs, and a forked child with a capped address space.
//
// Every child starts with stdin from /dev/null, the default signal dispositions and an empty
// signal mask (as from a shell: libmosquitto in the test ignores SIGPIPE, for example), and gets
// SIGKILL when the test process dies, so a crashed test leaves no process behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

using std::chrono::milliseconds;
using namespace std::chrono_literals;
constexpr milliseconds kPoll = 50ms;

// Milliseconds since an arbitrary start, for bounded waits.
long long now_ms();
// Calls pred every `poll` until it returns true or `timeout` has passed; returns its last result.
bool wait_until(const std::function<bool()>& pred, milliseconds timeout, milliseconds poll = kPoll);

// Environment additions: name and value; they replace variables of the same name.
using Env = std::vector<std::pair<std::string, std::string>>;

// Starts argv (argv[0] a path) with the test's environment plus `env`. stdout and stderr are
// appended to the files out_path and err_path (created when missing; the same path may be given
// twice; empty: /dev/null). Returns the child's pid, or -1.
pid_t spawn(const std::vector<std::string>& argv, const std::string& out_path,
            const std::string& err_path, const Env& env = {});

// A waitpid status as a number: the exit status, 128 + n when ended by signal n, else -1.
int exit_code(int wait_status);
// Waits for pid to end and returns exit_code(); -1 when it still runs after timeout (it is then
// killed with SIGKILL and reaped).
int wait_child(pid_t pid, milliseconds timeout);
// Ends a child: SIGTERM, up to 2 s, then SIGKILL. Always reaps it. Ignores pid <= 0.
void end_child(pid_t pid);

// Result of a program run to its end.
struct ProcessResult {
  int status = -1;  // as wait_child: -1 when it could not be started or was killed at the timeout
  std::string out;  // everything written to stdout
  std::string err;  // everything written to stderr
};
ProcessResult run_process(const std::vector<std::string>& argv, const Env& env = {},
                          milliseconds timeout = 20s);

// The folder that holds mqtt_k482916_demon and k482916_ctl: K482916_BUILD_DIR (set by ctest), else
// the folder of the running test executable.
std::string build_dir();
std::string daemon_binary();
std::string ctl_binary();

// Exit status of a headroom child in which the address-space limit has no effect.
constexpr int kNoAddressLimit = 77;
struct ChildResult {
  int status = -1;  // exit status, -1 when the child did not exit normally
  std::string out;  // its stdout
};
// Runs body in a forked child whose address space may grow by `headroom` bytes at most, so any
// shmat of a larger segment fails there with ENOMEM even for root. The exit status is body's
// result & 0xFF, or kNoAddressLimit (body not run) where the limit is not enforced (qemu-user).
ChildResult run_with_headroom(unsigned long long headroom, const std::function<int()>& body);

}  // namespace test_support
