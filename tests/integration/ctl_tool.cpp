// The controller simulator k482916_ctl as a real process against real segments: what it creates
// and removes, and that the entries it writes read back through the daemon's own routines.
#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "shm/demonstatus.h"
#include "shm/sensor_record.h"
#include "shm/shm.h"
#include "support/controller.h"
#include "support/paths.h"

namespace {

using namespace std::chrono_literals;

using test_support::ProcessResult;

class CtlTool : public ::testing::Test {
 protected:
  void SetUp() override { paths_set("", offset_); }

  // Whatever a test or the tool left at this offset goes, also after a failed test.
  void TearDown() override {
    for (const auto& s : kSegments) {
      int id = shmget(shm_key(s.key), 0, 0);
      if (id >= 0) shmctl(id, IPC_RMID, nullptr);
    }
  }

  // Runs the tool with this test's key offset.
  ProcessResult ctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{test_support::ctl_binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    return test_support::run_process(argv, {{"K482916_SHM_KEY_OFFSET", std::to_string(offset_)}});
  }

  // Runs the tool and fails the test with its output unless it exits 0.
  void ok(const std::vector<std::string>& args) {
    ProcessResult r = ctl(args);
    ASSERT_EQ(0, r.status) << "stdout: " << r.out << "\nstderr: " << r.err;
  }

  // Attaches the segments the way the daemon does, in this process.
  void attach_like_the_daemon() {
    testing::internal::CaptureStdout();
    int result = shm_attach_all(0);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(1, result) << out;
  }

  int32_t offset_ = test_support::unique_key_offset();
};

TEST_F(CtlTool, CreateMakesEverySegmentZeroedWithTheLockReleased) {
  ok({"create"});
  for (const auto& s : kSegments) {
    SCOPED_TRACE(s.key);
    int id = shmget(shm_key(s.key), s.size, kShmFlags);
    ASSERT_GE(id, 0);
    shmid_ds info;
    ASSERT_EQ(0, shmctl(id, IPC_STAT, &info));
    EXPECT_EQ(s.size, info.shm_segsz);
    EXPECT_EQ(0666u, info.shm_perm.mode & 0777u);
  }
  attach_like_the_daemon();
  EXPECT_EQ(1, reload_startup_lock());
  EXPECT_EQ(0, reload_counter());
  const auto* bytes = reinterpret_cast<const unsigned char*>(shm_sensor);
  for (size_t i = 0; i < kSizeSensordata; ++i) ASSERT_EQ(0, bytes[i]) << "byte " << i;

  // A second create must not disturb the running controller.
  ProcessResult again = ctl({"create", "--locked"});
  EXPECT_EQ(1, again.status);
  EXPECT_NE(std::string::npos, again.err.find("exists already")) << again.err;
  EXPECT_EQ(1, reload_startup_lock());

  ok({"lock"});
  EXPECT_EQ(0, reload_startup_lock());
  ok({"unlock"});
  EXPECT_EQ(1, reload_startup_lock());
  ok({"reload"});
  ok({"reload"});
  EXPECT_EQ(2, reload_counter());
}

TEST_F(CtlTool, CreateLockedHoldsTheStartupLock) {
  ok({"create", "--locked"});
  attach_like_the_daemon();
  EXPECT_EQ(0, reload_startup_lock());
}

// Entries written by `set` are what the daemon's search and value choice see: DB id, type, the
// value block of the type with all four fields, unit and error code.
TEST_F(CtlTool, SetWritesEntriesThatTheDaemonReadsBack) {
  ok({"create"});
  time_t before = time(nullptr);
  ok({"set", "1001", "21.5", "--unit", "C"});
  ok({"set", "2001", "-0.5", "--type", "2", "--unit", "%"});
  ok({"set", "3001", "-1.999", "--type", "4", "--error", "7"});
  ok({"set", "4001", "12", "--real-id", "300"});
  ok({"set", "1001", "22.25"});  // reuses the entry of 1001, keeps its unit
  time_t after = time(nullptr);
  attach_like_the_daemon();

  EXPECT_EQ(0, find_sensor_real_id(1001));
  EXPECT_EQ(1, find_sensor_real_id(2001));
  EXPECT_EQ(2, find_sensor_real_id(3001));
  EXPECT_EQ(300, find_sensor_real_id(4001));
  EXPECT_EQ(-1, find_sensor_real_id(5001));

  const sensor_record& s1 = shm_sensor[0];
  double value = 0.0;
  EXPECT_EQ(1, s1.type);
  ASSERT_TRUE(sensor_publish_value(s1, &value));
  EXPECT_EQ(22.25, value);
  EXPECT_EQ(2225, s1.value1.value_x100);
  EXPECT_STREQ("22.25", s1.value1.text);
  EXPECT_GE(s1.value1.timestamp, before);
  EXPECT_LE(s1.value1.timestamp, after);
  EXPECT_STREQ("C", s1.unit);
  EXPECT_EQ(0, s1.error_code);
  EXPECT_EQ(0.0, s1.value2.value);  // type 1 uses value1 only

  const sensor_record& a = shm_sensor[1];
  EXPECT_EQ(2, a.type);
  ASSERT_TRUE(sensor_publish_value(a, &value));
  EXPECT_EQ(-0.5, value);
  EXPECT_EQ(-50, a.value2.value_x100);
  EXPECT_STREQ("-0.50", a.value2.text);
  EXPECT_EQ(0.0, a.value1.value);
  EXPECT_STREQ("%", a.unit);
  EXPECT_EQ(0, a.command.timestamp);  // the command block is the daemon's

  const sensor_record& s4 = shm_sensor[2];
  EXPECT_EQ(4, s4.type);
  EXPECT_EQ(-1.999, s4.value2.value);
  EXPECT_EQ(-199, s4.value2.value_x100);
  EXPECT_STREQ("-2.00", s4.value2.text);
  EXPECT_EQ(7, s4.error_code);

  // `show` lists exactly the used entries, and a command the daemon wrote.
  set_actor_command(1, 42.5);
  ProcessResult shown = ctl({"show"});
  ASSERT_EQ(0, shown.status) << shown.err;
  std::istringstream lines(shown.out);
  std::string line;
  std::vector<std::string> rows;
  while (std::getline(lines, line)) rows.push_back(line);
  ASSERT_EQ(5u, rows.size()) << shown.out;  // header and four entries
  EXPECT_NE(std::string::npos, rows[1].find(" 1001 ")) << rows[1];
  EXPECT_NE(std::string::npos, rows[1].find("22.25")) << rows[1];
  EXPECT_NE(std::string::npos, rows[2].find("42.50")) << rows[2];
  EXPECT_NE(std::string::npos, rows[2].find("4250")) << rows[2];
  EXPECT_EQ(0u, rows[4].find("    300 ")) << rows[4];

  ProcessResult one = ctl({"show", "3001", "9999"});
  EXPECT_EQ(1, one.status);
  EXPECT_NE(std::string::npos, one.out.find(" 3001 "));
  EXPECT_EQ(std::string::npos, one.out.find(" 1001 "));
  EXPECT_NE(std::string::npos, one.err.find("9999"));
}

// Every bad command line exits non-zero with a message on stderr and writes nothing.
TEST_F(CtlTool, BadArgumentsAreRefusedWithAMessage) {
  ProcessResult missing = ctl({"set", "1001", "1"});
  EXPECT_EQ(1, missing.status);
  EXPECT_NE(std::string::npos, missing.err.find("missing")) << missing.err;
  EXPECT_EQ(1, ctl({"show"}).status);
  EXPECT_EQ(1, ctl({"status"}).status);
  EXPECT_EQ(1, ctl({"reload"}).status);

  ok({"create"});
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"set"},
      {"set", "1001"},
      {"set", "10x1", "1"},
      {"set", "", "1"},
      {"set", "99999999999", "1"},
      {"set", "0", "1"},
      {"set", "1001", "1.5x"},
      {"set", "1001", "nan"},
      {"set", "1001", "inf"},
      {"set", "1001", "1e999"},
      {"set", "1001", "1", "--type", "3"},
      {"set", "1001", "1", "--type", "1x"},
      {"set", "1001", "1", "--real-id", "512"},
      {"set", "1001", "1", "--real-id", "-1"},
      {"set", "1001", "1", "--unit", "twelve_chars"},
      {"set", "1001", "1", "--error", "e"},
      {"set", "1001", "1", "--unit"},
      {"set", "1001", "1", "--colour", "red"},
      {"set", "1001", "1", "2"},
      {"show", "abc"},
      {"status", "128"},
      {"status", "-1"},
      {"populate", "0"},
      {"populate", "513"},
      {"drift", "--period", "0"},
      {"drift", "--seconds", "-3"},
      {"create", "--unlocked"},
      {"lock", "now"},
  };
  for (const auto& args : bad) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    ProcessResult r = ctl(args);
    EXPECT_EQ(2, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find("k482916_ctl")) << r.err;
  }
  attach_like_the_daemon();
  const auto* bytes = reinterpret_cast<const unsigned char*>(shm_sensor);
  for (size_t i = 0; i < kSizeSensordata; ++i) ASSERT_EQ(0, bytes[i]) << "byte " << i;

  // Longest unit that fits, negative values and DB ids are fine.
  ok({"set", "-5", "-3.25", "--unit", "eleven_char"});
  EXPECT_STREQ("eleven_char", shm_sensor[0].unit);
  ProcessResult help = ctl({"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_NE(std::string::npos, help.out.find("usage: k482916_ctl"));
}

TEST_F(CtlTool, RemoveLeavesNoSegment) {
  ok({"create"});
  ok({"remove"});
  for (const auto& s : kSegments) {
    errno = 0;
    EXPECT_LT(shmget(shm_key(s.key), 0, 0), 0) << "key " << s.key;
    EXPECT_EQ(ENOENT, errno);
  }
  ok({"remove"});  // nothing left to remove is not an error
  ok({"create"});  // and the keys are free again
}

// The status command decodes an entry written by the daemon's own start routine.
TEST_F(CtlTool, StatusShowsTheDaemonsEntry) {
  ok({"create"});
  testing::internal::CaptureStdout();
  ASSERT_EQ(0, demonstatus_start(kDemonSlot, "mqtt_k482916_demon", "3.219", 5));
  testing::internal::GetCapturedStdout();
  demonstatus_state(6, 10, "publishing");
  demonstatus_text("OK: 3 sensors published");

  ProcessResult r = ctl({"status"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("name:        mqtt_k482916_demon\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("version:     3.219\n"));
  EXPECT_NE(std::string::npos, r.out.find("counter:     6\n"));
  EXPECT_NE(std::string::npos, r.out.find("state:       10\n"));
  EXPECT_NE(std::string::npos, r.out.find("state text:  publishing\n"));
  EXPECT_NE(std::string::npos, r.out.find("status text: OK: 3 sensors published\n"));
  EXPECT_NE(std::string::npos, r.out.find("extra text:  \n"));

  ProcessResult other = ctl({"status", "3"});
  ASSERT_EQ(0, other.status);
  EXPECT_NE(std::string::npos, other.out.find("name:        \n"));
}

// populate fills distinct entries and reuses them when run again; drift moves the sensor values,
// lets an actor follow its command, and ends on SIGTERM.
TEST_F(CtlTool, PopulateAndDrift) {
  ok({"create"});
  ok({"populate", "12"});
  ok({"populate", "12"});
  ok({"set", "2001", "0", "--type", "2"});
  attach_like_the_daemon();
  for (int32_t i = 0; i < 12; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(i, find_sensor_real_id(1001 + i));
    EXPECT_TRUE(shm_sensor[i].type == 1 || shm_sensor[i].type == 4);
    EXPECT_NE('\0', shm_sensor[i].unit[0]);
  }
  EXPECT_EQ(12, find_sensor_real_id(2001));
  EXPECT_EQ(0, shm_sensor[13].db_id);

  double first[12];
  for (int i = 0; i < 12; ++i) sensor_publish_value(shm_sensor[i], &first[i]);
  set_actor_command(12, 5.5);

  // drift runs until the SIGTERM that `timeout` sends after 3 s, and must end cleanly on it.
  ProcessResult drift;
  std::thread runner([&] {
    drift = test_support::run_process({"/usr/bin/timeout", "--preserve-status", "-s", "TERM", "3",
                                       test_support::ctl_binary(), "drift", "--period", "50"},
                                      {{"K482916_SHM_KEY_OFFSET", std::to_string(offset_)}});
  });
  bool moved = false;
  for (int tries = 0; tries < 100 && !moved; ++tries) {
    std::this_thread::sleep_for(20ms);
    int changed = 0;
    for (int i = 0; i < 12; ++i) {
      double v = 0.0;
      sensor_publish_value(shm_sensor[i], &v);
      if (v != first[i]) ++changed;
    }
    moved = changed > 0 && shm_sensor[12].value2.value == 5.5;
  }
  runner.join();
  EXPECT_TRUE(moved);
  EXPECT_EQ(0, drift.status) << drift.err;

  ProcessResult timed = ctl({"drift", "--seconds", "1", "--period", "100"});
  EXPECT_EQ(0, timed.status) << timed.err;
}

}  // namespace
