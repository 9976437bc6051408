// Helpers of the support and log unit tests: stdout capture, whole-file reads and configuration
// databases made with the SQLite C API.
#pragma once

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace test_helpers {

// Sends everything written to file descriptor 1 (stdio and write alike) into a temporary file
// until finish() (or the destructor) puts the old stdout back.
class StdoutCapture {
 public:
  StdoutCapture() {
    char templ[] = "/tmp/k482916-stdout-XXXXXX";
    fd_ = mkstemp(templ);
    path_ = templ;
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    dup2(fd_, STDOUT_FILENO);
  }
  ~StdoutCapture() { finish(); }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Restores stdout and returns what was written meanwhile.
  std::string finish() {
    if (saved_ >= 0) {
      fflush(stdout);
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
      close(fd_);
      saved_ = -1;
      std::ifstream in(path_, std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      captured_ = text.str();
      unlink(path_.c_str());
    }
    return captured_;
  }

 private:
  int fd_ = -1;
  int saved_ = -1;
  std::string path_;
  std::string captured_;
};

// The whole content of a file, empty when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// A config row: tag and value (nullopt stores NULL).
using Row = std::pair<std::string, std::optional<std::string>>;

// Path of the configuration database below root.
inline std::string config_db_path(const std::string& root) {
  return root + "/etc/korvanenv/config.s3db";
}

// (Re)creates the configuration database below root with table config and these rows, in order.
// Without with_table the file holds another table only. Returns false on any SQLite error.
inline bool make_config_db(const std::string& root, const std::vector<Row>& rows,
                           bool with_table = true) {
  std::string path = config_db_path(root);
  std::filesystem::create_directories(root + "/etc/korvanenv");
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    return false;
  }
  const char* schema = with_table ? "CREATE TABLE config (tag TEXT, value TEXT);"
                                  : "CREATE TABLE other (tag TEXT, value TEXT);";
  bool ok = sqlite3_exec(db, schema, nullptr, nullptr, nullptr) == SQLITE_OK;
  for (const auto& [tag, value] : rows) {
    sqlite3_stmt* stmt = nullptr;
    ok = ok && sqlite3_prepare_v2(db, "INSERT INTO config VALUES (?, ?);", -1, &stmt, nullptr) ==
                   SQLITE_OK;
    if (!ok) break;
    sqlite3_bind_text(stmt, 1, tag.c_str(), -1, SQLITE_TRANSIENT);
    if (value) {
      sqlite3_bind_text(stmt, 2, value->c_str(), -1, SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_null(stmt, 2);
    }
    ok = sqlite3_step(stmt) == SQLITE_DONE;
    sqlite3_finalize(stmt);
  }
  return sqlite3_close(db) == SQLITE_OK && ok;
}

}  // namespace test_helpers
