#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "support/files.h"

extern char** environ;

namespace test_support {

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// fork + exec with stdout/stderr to the given descriptors. Everything the child needs is prepared
// before the fork, so the child only makes system calls.
pid_t spawn_fds(std::vector<std::string> args, const Env& env, int out_fd, int err_fd) {
  std::vector<std::string> envs;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    bool replaced = false;
    for (const auto& [name, value] : env) replaced = replaced || entry.rfind(name + "=", 0) == 0;
    if (!replaced) envs.push_back(entry);
  }
  for (const auto& [name, value] : env) envs.push_back(name + "=" + value);
  std::vector<char*> argv = pointers(args);
  std::vector<char*> envp = pointers(envs);
  int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (null_in >= 0) dup2(null_in, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    for (int s = 1; s < 32; ++s) ::signal(s, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  if (null_in >= 0) close(null_in);
  return pid;
}

int open_output(const std::string& path) {
  return open(path.empty() ? "/dev/null" : path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
              0644);
}

}  // namespace

long long now_ms() {
  return std::chrono::duration_cast<milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool wait_until(const std::function<bool()>& pred, milliseconds timeout, milliseconds poll) {
  auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= end) return pred();
    std::this_thread::sleep_for(poll);
  }
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& out_path,
            const std::string& err_path, const Env& env) {
  int out = open_output(out_path);
  int err = err_path == out_path ? out : open_output(err_path);
  pid_t pid = out >= 0 && err >= 0 ? spawn_fds(argv, env, out, err) : -1;
  if (out >= 0) close(out);
  if (err >= 0 && err != out) close(err);
  return pid;
}

int exit_code(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

int wait_child(pid_t pid, milliseconds timeout) {
  int status = 0;
  pid_t r = 0;
  wait_until([&] { return (r = waitpid(pid, &status, WNOHANG)) != 0; }, timeout, 2ms);
  if (r == pid) return exit_code(status);
  if (r == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return -1;
}

void end_child(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  wait_child(pid, 2000ms);
}

ProcessResult run_process(const std::vector<std::string>& argv, const Env& env,
                          milliseconds timeout) {
  ProcessResult result;
  TempDir dir;
  pid_t pid = spawn(argv, dir.path() + "/out", dir.path() + "/err", env);
  if (pid > 0) result.status = wait_child(pid, timeout);
  result.out = read_file(dir.path() + "/out");
  result.err = read_file(dir.path() + "/err");
  return result;
}

std::string build_dir() {
  if (const char* dir = getenv("K482916_BUILD_DIR"); dir != nullptr && *dir != '\0') return dir;
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}
std::string daemon_binary() {
  return build_dir() + "/mqtt_k482916_demon";
}
std::string ctl_binary() {
  return build_dir() + "/k482916_ctl";
}

ChildResult run_with_headroom(unsigned long long headroom, const std::function<int()>& body) {
  ChildResult result;
  int fds[2];
  if (pipe(fds) != 0) return result;
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    static char buffer[4096];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    // The current size from /proc/self/status, plus the headroom.
    unsigned long long kb = 0;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
      char line[256];
      while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "VmSize: %llu kB", &kb) == 1) break;
      std::fclose(f);
    }
    rlimit limit;
    limit.rlim_cur = limit.rlim_max = kb * 1024ull + headroom;
    setrlimit(RLIMIT_AS, &limit);
    // Emulators such as qemu-user accept the limit without applying it: tell the caller.
    size_t probe_size = static_cast<size_t>(headroom) + 256 * 1024;
    void* probe = mmap(nullptr, probe_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (probe != MAP_FAILED) {
      munmap(probe, probe_size);
      _exit(kNoAddressLimit);
    }
    int code = body();
    std::fflush(stdout);
    _exit(code & 0xFF);
  }
  close(fds[1]);
  char chunk[512];
  ssize_t n;
  while ((n = read(fds[0], chunk, sizeof chunk)) > 0)
    result.out.append(chunk, static_cast<size_t>(n));
  close(fds[0]);
  int wstatus = 0;
  if (pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus))
    result.status = WEXITSTATUS(wstatus);
  return result;
}

}  // namespace test_support
