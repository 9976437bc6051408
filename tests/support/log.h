// The daemon's log file as a test reads it, and a temporary root for the log of code under test
// in this very process.
//
// A log line has the form "YYYY-MM-DD,HH:MM:SS[level]text". Positions are byte offsets, so a test
// can take a mark() before an action and look only at what was written after it (`from`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"

namespace test_support {

struct LogLine {
  std::string stamp;  // "YYYY-MM-DD,HH:MM:SS"
  int level = 0;
  std::string text;
};
// Parses one log line; false when it does not have the log's line format.
bool parse_log_line(const std::string& line, LogLine* out);

// Read access to a log file that another process (or this one) appends to.
class LogFile {
 public:
  explicit LogFile(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }

  // Current size: a mark for the `from` arguments below.
  size_t mark() const;
  // Text from byte `from` to the end.
  std::string text(size_t from = 0) const;
  // Whole lines from byte `from` on (a line still being written is left out).
  std::vector<std::string> lines(size_t from = 0) const;
  // Every line (the last one also when unfinished) without its time stamp: "[level]text".
  std::vector<std::string> texts() const;
  // Parsed lines whose text contains `part`.
  std::vector<LogLine> find(const std::string& part, size_t from = 0) const;
  bool contains(const std::string& part, size_t from = 0) const;
  // Number of lines from `from` on that contain `part`.
  int count(const std::string& part, size_t from = 0) const;
  // Waits until at least `n` lines from `from` on contain `part`.
  bool wait_for(const std::string& part, milliseconds timeout, size_t from = 0, int n = 1) const;
  // Lines of texts() that are exactly "[level]text".
  int count_exact(int level, const std::string& text) const;
  bool has(int level, const std::string& text) const { return count_exact(level, text) > 0; }
  // Index in texts() of the first line at or after index `from` that starts with "[level]prefix";
  // -1 when there is none.
  int index_of(int level, const std::string& prefix, int from = 0) const;

 private:
  std::string path_;
};

// A temporary root with tmp/ in it, made the paths' root with `key_offset`. The log is set up as
// the daemon does it (log_init at level 4 for kDemonSlot, then the signal handlers) and writes
// ROOT/tmp/k482916.log, which this object reads. The size limit is raised so that the log is
// never emptied under a test.
class LogRoot : private TempDir, public LogFile {
 public:
  explicit LogRoot(int32_t key_offset);
  const std::string& root() const { return TempDir::path(); }
  using LogFile::path;
};

}  // namespace test_support
