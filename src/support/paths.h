// Where the daemon finds its files and segments.
//
// On a controller every file lives at its fixed absolute path and every System V segment has its
// fixed key. To run the daemon (and the controller simulator) on any Linux machine, two
// environment variables are read once at process start by paths_init():
//   K482916_ROOT=DIR             every fixed absolute path is prefixed with DIR
//   K482916_SHM_KEY_OFFSET=N     N (decimal) is added to every System V key
// Unset or empty, they change nothing. A value that does not fit its rule is refused, so that a
// test bench is never silently aimed at the real controller's files or segments.
#pragma once

#include <cstddef>
#include <cstdint>

// Capacity of every buffer that holds a full file path (prefix, path and terminating NUL).
constexpr size_t kPathCapacity = 256;

// Largest key offset: every key of the controller is below 65536, so no key plus the offset
// overflows, and none becomes 0 (IPC_PRIVATE, which would make a new segment).
constexpr int32_t kMaxKeyOffset = INT32_MAX - 65535;
// Exit status of a process whose environment paths_init refused.
constexpr int kExitBadEnvironment = 2;

// Reads both environment variables. Called once at the start of main(), before anything else is
// touched; before that (and in unit tests that never call it) the prefix is empty and the offset 0.
// K482916_ROOT must be unset, empty, or an absolute path of fewer than kPathCapacity characters;
// K482916_SHM_KEY_OFFSET unset, empty, or decimal digits only (no sign, no spaces) for 0 to
// kMaxKeyOffset. Returns 0; or prints one line saying what is wrong on stderr, leaves the prefix
// empty and the offset 0, and returns -1: the caller then ends with kExitBadEnvironment.
int paths_init();

// Writes the prefix followed by `absolute` into out[0..cap-1], always NUL-terminated.
// Returns 0, or -1 when the result had to be cut (the cut path is still terminated).
int path_with_root(const char* absolute, char* out, size_t cap);

// The key actually used for the controller's fixed key `key`.
int32_t shm_key(int32_t key);

// For tests: sets the prefix and offset directly, as paths_init() would from the environment.
void paths_set(const char* root, int32_t key_offset);
