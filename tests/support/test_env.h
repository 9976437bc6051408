// Helpers shared by the unit and integration tests: a key offset of their own for every test
// process, a temporary root folder, and the controller's segments made and removed around a test.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "shm/shm.h"
#include "support/paths.h"

namespace test_env {

// A key offset that no other test process uses at the same time: ctest runs every test case in a
// process of its own, and process ids of live processes differ. 32 keys per process are enough
// for the controller's range 41984..41998.
inline int32_t unique_key_offset() { return 0x200000 + (static_cast<int32_t>(getpid()) % 0x10000) * 32; }

// A fresh folder below /tmp, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/k482916-test-XXXXXX";
    path_ = mkdtemp(templ);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct SegmentSpec {
  int32_t key;
  size_t size;
};

// The reload record, the five tables and the status table, as the controller makes them.
inline std::vector<SegmentSpec> controller_segments() {
  return {{kKeyReload, kSizeReload},         {kKeySensordata, kSizeSensordata},
          {kKeySensordata2, kSizeSensordata2}, {kKeyMappingdata, kSizeMappingdata},
          {kKeyExternaldata, kSizeExternaldata}, {kKeyChipid, kSizeChipid},
          {kKeyDemonstatus, kSizeDemonstatus}};
}

// Creates segments (zeroed, mode 0666) at `offset` and removes them when the object goes. Attached
// pointers of the process stay valid after removal until the process ends.
class Segments {
 public:
  explicit Segments(int32_t offset) : offset_(offset) {}
  ~Segments() { remove_all(); }
  Segments(const Segments&) = delete;
  Segments& operator=(const Segments&) = delete;

  // Creates one segment; returns false when it cannot be made.
  bool create(int32_t key, size_t size) {
    int id = shmget(key + offset_, size, IPC_CREAT | IPC_EXCL | 0666);
    if (id < 0) return false;
    ids_.push_back(id);
    return true;
  }
  bool create_all() {
    for (const auto& s : controller_segments())
      if (!create(s.key, s.size)) return false;
    return true;
  }
  void remove_all() {
    for (int id : ids_) shmctl(id, IPC_RMID, nullptr);
    ids_.clear();
  }

 private:
  int32_t offset_;
  std::vector<int> ids_;
};

}  // namespace test_env
