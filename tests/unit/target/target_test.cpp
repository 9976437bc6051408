// Properties that must hold on the controller (32-bit little-endian MIPS) exactly as on the
// development host: the shared records seen as raw bytes, 32-bit number semantics, and signal names
// that follow the platform's own signal numbers. The same file runs natively and under qemu-mipsel;
// where the platforms differ, __mips__ decides what is expected.
#include <gtest/gtest.h>
#include <sys/shm.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "log/signal.h"
#include "shm/demonstatus.h"
#include "shm/sensor_record.h"
#include "shm/shm.h"
#include "support/controller.h"
#include "support/numbers.h"
#include "support/paths.h"

namespace {

int32_t int32_at(const unsigned char* bytes, size_t offset) {
  int32_t v;
  std::memcpy(&v, bytes + offset, sizeof v);
  return v;
}

double double_at(const unsigned char* bytes, size_t offset) {
  double v;
  std::memcpy(&v, bytes + offset, sizeof v);
  return v;
}

std::string text_at(const unsigned char* bytes, size_t offset, size_t cap) {
  const char* p = reinterpret_cast<const char*>(bytes + offset);
  return std::string(p, strnlen(p, cap));
}

uint64_t bits_of(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

TEST(TargetPlatform, WordSizesAndByteOrder) {
#if defined(__mips__)
  EXPECT_EQ(sizeof(long), 4u);
  EXPECT_EQ(sizeof(void*), 4u);
#elif defined(__x86_64__)
  EXPECT_EQ(sizeof(long), 8u);
  EXPECT_EQ(sizeof(void*), 8u);
#endif
  // The controller's segments are little-endian; the records are read and written in place.
  const uint32_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  EXPECT_EQ(first, 1);
  // Doubles in the shared records lie on 8-byte boundaries on both platforms.
  EXPECT_EQ(alignof(double), 8u);
  EXPECT_EQ(alignof(sensor_record), 8u);
}

// An actor command written through the daemon's own routine, read back by raw byte offsets of the
// command block (value 120, value_x100 128, text 132, timestamp 172 within the 352-byte entry),
// as the controller's other processes read it. No byte outside the command block changes.
TEST(TargetLayout, ActorCommandBytesInSensorTable) {
  static sensor_record table[kSensorCount];
  auto* bytes = reinterpret_cast<unsigned char*>(table);
  std::memset(bytes, 0xA5, sizeof table);
  sensor_record* saved = shm_sensor;
  shm_sensor = table;

  constexpr int32_t kRealId = 3;
  const int32_t before = static_cast<int32_t>(time(nullptr));
  set_actor_command(kRealId, 21.5);
  const int32_t after = static_cast<int32_t>(time(nullptr));

  const size_t entry = kRealId * 352;
  EXPECT_EQ(double_at(bytes, entry + 120), 21.5);
  const unsigned char value_image[8] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x35, 0x40};
  EXPECT_EQ(std::memcmp(bytes + entry + 120, value_image, 8), 0);
  EXPECT_EQ(int32_at(bytes, entry + 128), 2150);
  const unsigned char x100_image[4] = {0x66, 0x08, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(bytes + entry + 128, x100_image, 4), 0);
  EXPECT_EQ(text_at(bytes, entry + 132, 40), "21.50");
  EXPECT_GE(int32_at(bytes, entry + 172), before);
  EXPECT_LE(int32_at(bytes, entry + 172), after);

  // Everything outside bytes 120..175 of the entry, and the text field after its NUL, is untouched.
  const size_t text_end = entry + 132 + std::strlen("21.50") + 1;
  for (size_t i = 0; i < sizeof table; ++i) {
    bool written = (i >= entry + 120 && i < text_end) || (i >= entry + 172 && i < entry + 176);
    if (!written) {
      ASSERT_EQ(bytes[i], 0xA5) << "byte " << i << " changed";
    }
  }

  set_actor_command(kRealId, -0.5);
  EXPECT_EQ(double_at(bytes, entry + 120), -0.5);
  const unsigned char minus_image[4] = {0xCE, 0xFF, 0xFF, 0xFF};  // -50
  EXPECT_EQ(std::memcmp(bytes + entry + 128, minus_image, 4), 0);
  EXPECT_EQ(text_at(bytes, entry + 132, 40), "-0.50");

  shm_sensor = saved;
}

// The status entry of slot 68 in a real status table: the daemon's routines write it, and a second
// attachment of the same segment reads it at byte 68 * 320 with the fixed field offsets.
TEST(TargetLayout, StatusEntryOfSlot68InSegment) {
  const int32_t offset = test_support::unique_key_offset();
  test_support::Segments segments(offset);
  ASSERT_TRUE(segments.create(kKeyDemonstatus, kSizeDemonstatus));
  paths_set("", offset);

  const int32_t before = static_cast<int32_t>(time(nullptr));
  ASSERT_EQ(demonstatus_start(kDemonSlot, "mqtt_k482916_demon", "3.219", 0), 0);
  demonstatus_state(1234, 1, "main loop");
  demonstatus_text("OK: 2 sensors published");
  const int32_t after = static_cast<int32_t>(time(nullptr));

  int id = shmget(kKeyDemonstatus + offset, kSizeDemonstatus, 0666);
  ASSERT_GE(id, 0);
  void* mapped = shmat(id, nullptr, SHM_RDONLY);
  ASSERT_NE(mapped, reinterpret_cast<void*>(-1));
  const auto* table = static_cast<const unsigned char*>(mapped);
  const size_t e = kDemonSlot * 320;

  EXPECT_EQ(int32_at(table, e + 0), kDemonSlot);
  EXPECT_EQ(text_at(table, e + 4, 50), "mqtt_k482916_demon");
  EXPECT_EQ(text_at(table, e + 54, 10), "3.219");
  EXPECT_GE(int32_at(table, e + 64), before);
  EXPECT_LE(int32_at(table, e + 64), after);
  EXPECT_GE(int32_at(table, e + 68), int32_at(table, e + 64));
  EXPECT_LE(int32_at(table, e + 68), after);
  EXPECT_EQ(int32_at(table, e + 72), 1234);
  EXPECT_EQ(text_at(table, e + 76, 80), "OK: 2 sensors published");
  EXPECT_EQ(text_at(table, e + 156, 80), "");
  EXPECT_EQ(int32_at(table, e + 236), 1);
  EXPECT_EQ(text_at(table, e + 240, 80), "main loop");
  // The neighbouring entries belong to other daemons and stay zero.
  for (size_t i = 67 * 320; i < e; ++i) ASSERT_EQ(table[i], 0) << "byte " << i;
  for (size_t i = e + 320; i < 70 * 320; ++i) ASSERT_EQ(table[i], 0) << "byte " << i;

  shmdt(mapped);
  shmdt(my_demonstatus_data);
  my_demonstatus_data = nullptr;
  paths_set("", 0);
}

// Numbers read with atol semantics are 32-bit everywhere; on the target the C library's own atol
// (long is 32 bits there) is the reference.
TEST(TargetNumbers, Atol32SaturatesLikeTheTargetAtol) {
  const char* cases[] = {
      "2147483647", "2147483648", "-2147483648", "-2147483649", "99999999999999999999", "  -12abc",
      "+7",         "",           "x1"};
  const int32_t expected[] = {INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN, INT32_MAX, -12, 7, 0, 0};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    EXPECT_EQ(atol32(cases[i]), expected[i]) << '"' << cases[i] << '"';
#if defined(__mips__)
    EXPECT_EQ(atol32(cases[i]), std::atol(cases[i])) << '"' << cases[i] << '"';
#endif
  }
}

// Every step of the decimal conversion is rounded on its own; a fused multiply-add would change
// the last bit of "-1.999". The bit patterns are the same on host and target.
TEST(TargetNumbers, TavelAtofGivesTheSameBitsOnEveryPlatform) {
  EXPECT_EQ(bits_of(tavel_atof("0.3")), 0x3FD3333333333334u);
  EXPECT_EQ(bits_of(tavel_atof("-1.999")), 0xBFFFFBE76C8B4395u);
  EXPECT_EQ(bits_of(tavel_atof("123.456")), 0x405EDD2F1A9FBE77u);
  EXPECT_EQ(bits_of(tavel_atof("2.345")), 0x4002C28F5C28F5C2u);
}

// Signal names follow the platform's constants, so the numbers in the log lines are the
// controller's: on MIPS SIGBUS is 10 and 7 (SIGEMT) has no name.
TEST(TargetSignals, NamesFollowThePlatformNumbers) {
  EXPECT_STREQ(linux_signal_text(SIGBUS), " (BUS)");
  EXPECT_STREQ(linux_signal_text(SIGUSR1), " (USR1)");
  EXPECT_STREQ(linux_signal_text(SIGTERM), " (TERM)");
  EXPECT_STREQ(linux_signal_text(33), " (unbekannt)");
#if defined(__mips__)
  EXPECT_EQ(SIGBUS, 10);
  EXPECT_EQ(SIGUSR1, 16);
  EXPECT_STREQ(linux_signal_text(7), " (unbekannt)");
  // The whole table of the controller, number by number.
  const char* names[33] = {nullptr,   " (HUP)",       " (INT)",   " (QUIT)", " (ILL)",    " (TRAP)",
                           " (ABRT)", " (unbekannt)", " (FPE)",   " (KILL)", " (BUS)",    " (SEGV)",
                           " (SYS)",  " (PIPE)",      " (ALRM)",  " (TERM)", " (USR1)",   " (USR2)",
                           " (CHLD)", " (PWR)",       " (WINCH)", " (URG)",  " (POLL)",   " (STOP)",
                           " (TSTP)", " (CONT)",      " (TTIN)",  " (TTOU)", " (VTALRM)", " (PROF)",
                           " (XCPU)", " (XFSZ)",      " (RTMIN)"};
  for (int n = 1; n <= 32; ++n) EXPECT_STREQ(linux_signal_text(n), names[n]) << "signal " << n;
#elif defined(__x86_64__)
  EXPECT_EQ(SIGBUS, 7);
  EXPECT_EQ(SIGUSR1, 10);
  EXPECT_STREQ(linux_signal_text(7), " (BUS)");
  EXPECT_STREQ(linux_signal_text(10), " (USR1)");
#endif
}

}  // namespace
