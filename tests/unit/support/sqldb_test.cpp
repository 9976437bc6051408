#include "support/sqldb.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

#include "support/files.h"
#include "support/paths.h"

namespace {

using test_support::make_config_db;
using test_support::StdoutCapture;
using Clock = std::chrono::steady_clock;

// Every connection opened in this process counts one attempt of the reader.
std::atomic<int> connections_opened{0};

int count_connection(sqlite3*, char**, const sqlite3_api_routines*) {
  ++connections_opened;
  return SQLITE_OK;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class SqldbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_set(root_.path().c_str(), 0);
    sqlite3_auto_extension(reinterpret_cast<void (*)(void)>(count_connection));
  }
  void TearDown() override {
    sqlite3_reset_auto_extension();
    paths_set("", 0);
  }
  test_support::TempDir root_;
};

TEST_F(SqldbTest, MissingDatabaseGivesEmptyTextAtOnce) {
  char value[16] = "old";
  StdoutCapture out;
  connections_opened = 0;
  EXPECT_EQ(sqldb_read_string("/demons/max_logfile_size", value, sizeof value), -1);
  EXPECT_STREQ(value, "");
  EXPECT_EQ(sqldb_read_long("/demons/max_logfile_size"), 0);
  EXPECT_EQ(connections_opened, 0);
  EXPECT_EQ(out.finish(), "");
}

TEST_F(SqldbTest, ReadsValuesByTag) {
  ASSERT_TRUE(make_config_db(root_.path(), {{"/a", "first"},
                                            {"/a", "last"},
                                            {"/n", "  42abc"},
                                            {"/neg", "-7"},
                                            {"/word", "abc"},
                                            {"/long", "abcdefgh"}}));
  StdoutCapture out;
  char value[8] = "old";
  EXPECT_EQ(sqldb_read_string("/a", value, sizeof value), 0);
  EXPECT_STREQ(value, "last");
  EXPECT_EQ(sqldb_read_string("/none", value, sizeof value), 0);
  EXPECT_STREQ(value, "");
  EXPECT_EQ(sqldb_read_string("/long", value, sizeof value), 0);
  EXPECT_STREQ(value, "abcdefg");
  EXPECT_EQ(sqldb_read_long("/n"), 42);
  EXPECT_EQ(sqldb_read_long("/neg"), -7);
  EXPECT_EQ(sqldb_read_long("/word"), 0);
  EXPECT_EQ(sqldb_read_long("/none"), 0);
  EXPECT_EQ(out.finish(), "");
}

TEST_F(SqldbTest, NullValueGivesUpAfterElevenAttempts) {
  ASSERT_TRUE(make_config_db(root_.path(), {{"/t", std::nullopt}}));
  char value[16] = "old";
  StdoutCapture out;
  connections_opened = 0;
  auto start = Clock::now();
  EXPECT_EQ(sqldb_read_string("/t", value, sizeof value), 0);
  double elapsed = seconds_since(start);
  EXPECT_EQ(out.finish(),
            "*** SQLDB_READ_STRING ERROR: NULL ! SQL=\"SELECT value FROM config WHERE "
            "tag='/t';\" ***\n");
  EXPECT_EQ(connections_opened, 11);
  EXPECT_GE(elapsed, 2.5);  // ten pauses of 250 ms
  EXPECT_STREQ(value, "");
}

TEST_F(SqldbTest, MissingTableGivesUpAfter101Compiles) {
  ASSERT_TRUE(make_config_db(root_.path(), {}, false));
  char value[16] = "old";
  StdoutCapture out;
  connections_opened = 0;
  auto start = Clock::now();
  EXPECT_EQ(sqldb_read_string("/t", value, sizeof value), 0);
  double elapsed = seconds_since(start);
  EXPECT_EQ(out.finish(),
            "*** SQLDB_READ_STRING ERROR: LOCKED ! SQL=\"SELECT value FROM config WHERE "
            "tag='/t';\" ***\n");
  EXPECT_EQ(connections_opened, 101);
  EXPECT_GE(elapsed, 2.5);  // a hundred pauses of 25 ms
  EXPECT_STREQ(value, "");
}

// Another process of the controller holds the database exclusively for a second; the read
// waits for it and then gets the value.
TEST_F(SqldbTest, WaitsForAnExclusiveLockToGo) {
  ASSERT_TRUE(make_config_db(root_.path(), {{"/t", "value"}}));
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  std::string path = test_support::config_db_path(root_.path());
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    int rc = sqlite3_exec(db, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr);
    char byte = rc == SQLITE_OK ? 'x' : 'e';
    if (write(ready[1], &byte, 1) != 1) _exit(2);
    usleep(1000000);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    _exit(0);
  }
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  } reaper{child};
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  ASSERT_EQ(byte, 'x');

  StdoutCapture out;
  connections_opened = 0;
  auto start = Clock::now();
  char value[16] = "old";
  EXPECT_EQ(sqldb_read_string("/t", value, sizeof value), 0);
  EXPECT_STREQ(value, "value");
  EXPECT_GE(seconds_since(start), 0.8);
  EXPECT_GT(connections_opened, 1);
  EXPECT_EQ(out.finish(), "");
}

}  // namespace
