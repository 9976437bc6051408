// Files of a test: whole-file reads and writes, a temporary folder, stdout captured into a string,
// and the controller's configuration database made with the SQLite C API. Header-only.
#pragma once

#include <sqlite3.h>
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

namespace test_support {

// The whole content of a file as bytes; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Writes `text` to path, creating or emptying it. False on failure.
inline bool write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

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

// Sends everything written to file descriptor 1 (stdio and write alike) into a temporary file
// until finish() (or the destructor) puts the old stdout back.
class StdoutCapture {
 public:
  StdoutCapture() {
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    std::FILE* f = std::fopen(path_.c_str(), "w");
    dup2(fileno(f), STDOUT_FILENO);
    std::fclose(f);
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
      saved_ = -1;
      captured_ = read_file(path_);
    }
    return captured_;
  }

 private:
  TempDir dir_;
  std::string path_ = dir_.path() + "/stdout";
  int saved_ = -1;
  std::string captured_;
};

// A config row: tag and value (nullopt stores NULL).
using Row = std::pair<std::string, std::optional<std::string>>;

// Path of the configuration database below root.
inline std::string config_db_path(const std::string& root) {
  return root + "/etc/korvanenv/config.s3db";
}

// (Re)creates the configuration database below root with table config(tag, value) holding these
// rows, in order. Without with_table the file holds another table only. False on any SQLite error.
inline bool make_config_db(const std::string& root, const std::vector<Row>& rows,
                           bool with_table = true) {
  std::string path = config_db_path(root);
  std::filesystem::create_directories(root + "/etc/korvanenv");
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
            sqlite3_exec(db,
                         with_table ? "CREATE TABLE config (tag TEXT, value TEXT);"
                                    : "CREATE TABLE other (tag TEXT, value TEXT);",
                         nullptr, nullptr, nullptr) == SQLITE_OK;
  for (const auto& [tag, value] : rows) {
    sqlite3_stmt* stmt = nullptr;
    ok = ok && sqlite3_prepare_v2(db, "INSERT INTO config VALUES (?, ?);", -1, &stmt, nullptr) ==
                   SQLITE_OK;
    if (!ok) break;
    sqlite3_bind_text(stmt, 1, tag.c_str(), -1, SQLITE_TRANSIENT);
    if (value)
      sqlite3_bind_text(stmt, 2, value->c_str(), -1, SQLITE_TRANSIENT);
    else
      sqlite3_bind_null(stmt, 2);
    ok = sqlite3_step(stmt) == SQLITE_DONE;
    sqlite3_finalize(stmt);
  }
  return sqlite3_close(db) == SQLITE_OK && ok;
}

}  // namespace test_support
