#include "log/log.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "shm/demonstatus.h"
#include "support/files.h"
#include "support/paths.h"

namespace {

using test_support::make_config_db;
using test_support::read_file;
using test_support::StdoutCapture;
using test_support::write_file;

constexpr const char* kName = "demo V 1.0";
const std::string kTime = R"(\d{4}-\d{2}-\d{2},\d{2}:\d{2}:\d{2})";

// What the syslog double received.
std::vector<std::string> syslog_lines;
std::string syslog_ident;

void record_syslog(const char* ident, const char* line) {
  syslog_ident = ident;
  syslog_lines.push_back(line);
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(root_.path() + "/tmp");
    paths_set(root_.path().c_str(), 0);
    log_path_ = root_.path() + "/tmp/k.log";
  }
  void TearDown() override {
    log_syslog_send = saved_sender_;
    paths_set("", 0);
  }

  // log_init as the daemon calls it; stdout goes to `description`. Signal dispositions are reset
  // afterwards: the test process is not the daemon.
  void init(int level, std::string* description = nullptr) {
    StdoutCapture out;
    log_init("k.log", level, kDemonSlot, kName);
    if (description != nullptr) *description = out.finish();
    for (int signo = 1; signo < 32; ++signo) signal(signo, SIG_DFL);
  }

  test_support::TempDir root_;
  std::string log_path_;
  log_syslog_sender saved_sender_ = log_syslog_send;
};

TEST_F(LogTest, FileLinesAndLevelFilter) {
  mode_t old_mask = umask(0);
  std::string description;
  init(4, &description);
  umask(old_mask);
  EXPECT_EQ(description, std::string(kName) + " logging to \"" + log_path_ +
                             "\", Loglevel: 4 (max. 10000 Bytes)\n");
  EXPECT_EQ(std::string(log_filename), log_path_);

  log_append(4, "four");
  log_append(5, "five");
  log_level = 0;
  log_append(1, "one");
  log_append(0, "zero");
  // A level-2 line above the threshold is not written, but stays the last error for diagnostics.
  log_appendf(kLogWarning, "lost %d", 2);
  EXPECT_STREQ(log_last_error, "lost 2");
  EXPECT_TRUE(std::regex_match(
      read_file(log_path_),
      std::regex(kTime +
                 R"(\[1\]----------   demo V 1\.0 started \(debuglevel=4\)   ----------\n)" +
                 kTime + R"(\[4\]four\n)" + kTime + R"(\[0\]zero\n)")))
      << read_file(log_path_);

  struct stat st;
  ASSERT_EQ(stat(log_path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(LogTest, LevelZeroPrintsNoDescriptionAndRecordsNoBanner) {
  std::string description;
  init(0, &description);
  EXPECT_EQ(description, "");
  EXPECT_FALSE(std::filesystem::exists(log_path_));
}

TEST_F(LogTest, EchoesEveryMessageAtLevelFive) {
  init(5);
  StdoutCapture out;
  log_append(9, "nine");
  log_append(2, "two");
  std::string echo = out.finish();
  EXPECT_TRUE(std::regex_match(echo, std::regex(R"(\d{2}:\d{2}:\d{2}\[9\]nine\n)"
                                                R"(\d{2}:\d{2}:\d{2}\[2\]two\n)")))
      << echo;
  std::string file = read_file(log_path_);
  EXPECT_EQ(file.find("nine"), std::string::npos);
  EXPECT_NE(file.find("[2]two\n"), std::string::npos);
}

TEST_F(LogTest, FileOverTheLimitIsEmptiedBeforeTheNextLine) {
  init(4);
  ASSERT_EQ(log_max_filesize, 10000);
  std::string at_limit(9999, 'x');
  at_limit += '\n';
  write_file(log_path_, at_limit);
  log_append(1, "appended");
  std::string file = read_file(log_path_);
  EXPECT_EQ(file.substr(0, at_limit.size()), at_limit);
  EXPECT_TRUE(
      std::regex_match(file.substr(at_limit.size()), std::regex(kTime + R"(\[1\]appended\n)")));

  write_file(log_path_, at_limit + "y");
  log_append(2, "fresh");
  EXPECT_TRUE(std::regex_match(
      read_file(log_path_),
      std::regex(
          R"(\(\.\.\.\)\n-----   Logfile truncated because it exceeded its size limitation of )"
          R"(10000 bytes   -----\n)" +
          kTime + R"(\[2\]fresh\n)")))
      << read_file(log_path_);
}

TEST_F(LogTest, SizeLimitFromTheDatabase) {
  ASSERT_TRUE(make_config_db(root_.path(), {{"/demons/max_logfile_size", "9999"}}));
  init(4);
  EXPECT_EQ(log_max_filesize, 10000);
  ASSERT_TRUE(make_config_db(root_.path(), {{"/demons/max_logfile_size", "12345"}}));
  init(4);
  EXPECT_EQ(log_max_filesize, 12345);
}

TEST_F(LogTest, SyslogModeCutsLinesAndNeverTouchesTheFile) {
  ASSERT_TRUE(make_config_db(root_.path(), {{"/sys/logging/syslog_enabled", "1"},
                                            {"/sys/logging/syslog_logleveloverride", "3"},
                                            {"/sys/logging/syslog_server", "logsrv"},
                                            {"/sys/network/hostname", "ctl7"}}));
  log_syslog_send = record_syslog;
  syslog_lines.clear();
  std::string description;
  init(4, &description);
  EXPECT_EQ(description,
            std::string(kName) + ", Syslog to \"logsrv\", Loglevel Overridden to: 3\n");
  EXPECT_EQ(log_level, 3);
  EXPECT_STREQ(log_syslog_my_hostname, "ctl7");

  std::string long_text(300, 'a');
  long_text.replace(248, 2, "bc");
  log_append(2, long_text.c_str());
  log_append(4, "too detailed");
  ASSERT_EQ(syslog_lines.size(), 2u);
  EXPECT_EQ(syslog_ident, kName);
  EXPECT_EQ(syslog_lines[0], "[1]----------   demo V 1.0 started (debuglevel=3)   ----------\n");
  EXPECT_EQ(syslog_lines[1], "[2]" + long_text.substr(0, 249) + "\n");
  EXPECT_FALSE(std::filesystem::exists(log_path_));

  // Without an override the configured level stays.
  ASSERT_TRUE(make_config_db(root_.path(), {{"/sys/logging/syslog_enabled", "1"}}));
  init(4, &description);
  EXPECT_EQ(description, std::string(kName) + ", Syslog to \"\", Loglevel: 4\n");
}

// /tmp is world-writable: a link planted at the log file's path must not redirect the writes,
// neither the appends nor the truncation, and a planted FIFO must not block the daemon (a hang
// here ends in the test's time-out).
TEST_F(LogTest, LinkOrFifoAtTheLogPathIsNotUsed) {
  std::string target = root_.path() + "/precious";
  std::string content(10001, 'p');
  write_file(target, content);
  std::filesystem::create_symlink(target, log_path_);
  init(4);
  log_append(1, "through the link?");
  EXPECT_EQ(read_file(target), content);
  EXPECT_TRUE(std::filesystem::is_symlink(log_path_));

  std::filesystem::remove(log_path_);
  ASSERT_EQ(0, mkfifo(log_path_.c_str(), 0666));
  log_append(1, "into the fifo?");
  EXPECT_TRUE(std::filesystem::is_fifo(log_path_));
}

TEST_F(LogTest, LevelMinusOneGoesToTheConsole) {
  std::filesystem::create_directories(root_.path() + "/dev");
  init(4);
  std::string console = root_.path() + "/dev/console";
  log_append(-1, "console text");
  EXPECT_EQ(read_file(console), "console text\n");
  log_append(255, "again");
  EXPECT_EQ(read_file(console), "again\n");
  EXPECT_EQ(read_file(log_path_).find("console text"), std::string::npos);
}

// The "not yet initialised" state exists once per process, and other tests of this program may
// have initialised it already: the test runs itself again in a fresh process (found by the
// variable below) and checks what that process wrote.
// Logs before and after log_init in a process that has not initialised the log yet; its stdout
// goes to ROOT/stdout. Ends the process.
[[noreturn]] void log_before_init_child(const std::string& root) {
  if (!freopen((root + "/stdout").c_str(), "w", stdout)) _exit(2);
  paths_set(root.c_str(), 0);
  log_append(3, "early");
  log_append(-1, "early console");
  log_init("k.log", 4, kDemonSlot, kName);
  fflush(stdout);
  _exit(0);
}

TEST(LogBeforeInit, MessagesGoToStdoutOnly) {
  if (const char* child_root = getenv("K482916_TEST_CHILD_ROOT")) log_before_init_child(child_root);
  test_support::TempDir root;
  std::filesystem::create_directories(root.path() + "/tmp");
  std::filesystem::create_directories(root.path() + "/dev");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A fresh image of the test binary, so that log_init has not run in it even when the whole
    // binary runs in one process.
    setenv("K482916_TEST_CHILD_ROOT", root.path().c_str(), 1);
    if (!freopen("/dev/null", "w", stdout)) _exit(2);
    execl("/proc/self/exe", "unit_log", "--gtest_filter=LogBeforeInit.MessagesGoToStdoutOnly",
          static_cast<char*>(nullptr));
    // Under user-mode emulation a target binary cannot exec itself; ctest runs every case in a
    // process of its own, so the forked copy has not initialised the log either.
    log_before_init_child(root.path());
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::string out = read_file(root.path() + "/stdout");
  EXPECT_EQ(out.rfind("*** ERROR: log_init() missing ***: early\n"
                      "*** ERROR: log_init() missing ***: early console\n",
                      0),
            0u)
      << out;
  std::string file = read_file(root.path() + "/tmp/k.log");
  EXPECT_NE(file.find("started"), std::string::npos);
  EXPECT_EQ(file.find("early"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(root.path() + "/dev/console"));
}

}  // namespace
