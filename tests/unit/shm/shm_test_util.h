// Helpers of the shared-memory and status-table tests: an independent view of a segment by key,
// and a child process whose address space is full so that shmat fails there.
#pragma once

#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "support/paths.h"

namespace shm_test {

// Attaches the existing segment with controller key `key` (the current key offset added), apart
// from the daemon's own pointers, so a test can see what the code under test wrote or prepare
// what it will read. Null when the segment does not exist.
inline unsigned char* view(int32_t key) {
  int id = shmget(shm_key(key), 0, 0);
  if (id < 0) return nullptr;
  void* p = shmat(id, nullptr, 0);
  return p == reinterpret_cast<void*>(-1) ? nullptr : static_cast<unsigned char*>(p);
}

inline int32_t read_i32(const unsigned char* p) {
  int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void write_i32(unsigned char* p, int32_t v) {
  std::memcpy(p, &v, sizeof v);
}

// Exit status of a child in which the address-space limit has no effect.
constexpr int kNoAddressLimit = 77;

// What a child run left: its exit status (-1 when it did not exit normally) and its stdout.
struct ChildResult {
  int status = -1;
  std::string out;
};

// Current size of this process's address space in bytes, from /proc/self/status.
inline unsigned long long address_space_bytes() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  unsigned long long kb = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "VmSize: %llu kB", &kb) == 1) break;
  }
  std::fclose(f);
  return kb * 1024ull;
}

// Runs body in a forked child whose address space may grow by `headroom` bytes at most, so any
// shmat of a larger segment fails there with ENOMEM even for root. The child's stdout goes to a
// pipe and comes back in the result; its exit status is body's result & 0xFF, or kNoAddressLimit
// (body not run) where the limit is not enforced.
inline ChildResult run_with_headroom(unsigned long long headroom,
                                     const std::function<int()>& body) {
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
    rlimit limit;
    limit.rlim_cur = limit.rlim_max = address_space_bytes() + headroom;
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

}  // namespace shm_test
