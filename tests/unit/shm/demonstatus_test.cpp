// The daemon's status entry in a real status table segment.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "shm/demonstatus.h"
#include "shm/shm.h"
#include "support/controller.h"
#include "support/paths.h"

namespace {

constexpr size_t kEntry = sizeof(status_entry);
const std::string kMissingMessage =
    "shmget f\xFCr SHM_demonstatus_data war erfolglos ! (shm_create nicht aufgerufen ?)\n";

class DemonStatus : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_set("", offset_);
    my_demonstatus_data = nullptr;
    demonstatus_slot = 0;
  }

  // Creates the table and returns an independent view of it, filled with a pattern so that every
  // field the code leaves alone is recognisable.
  unsigned char* create_table() {
    if (!segments_.create(kKeyDemonstatus, kSizeDemonstatus)) return nullptr;
    unsigned char* table = test_support::view(kKeyDemonstatus);
    if (table != nullptr) std::memset(table, 0xEE, kSizeDemonstatus);
    return table;
  }

  std::vector<unsigned char> bytes(const unsigned char* table) const {
    return std::vector<unsigned char>(table, table + kSizeDemonstatus);
  }

  int32_t offset_ = test_support::unique_key_offset();
  test_support::Segments segments_{offset_};
};

// The entry of slot 68, byte by byte at its offsets in the table; its neighbours stay untouched.
TEST_F(DemonStatus, StartInitialisesEveryFieldOfItsEntryOnly) {
  unsigned char* table = create_table();
  ASSERT_NE(nullptr, table);
  std::vector<unsigned char> before = bytes(table);

  int32_t t0 = static_cast<int32_t>(time(nullptr));
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, demonstatus_start(kDemonSlot, "mqtt_k482916_demon", "3.219", 7));
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  int32_t t1 = static_cast<int32_t>(time(nullptr));

  const unsigned char* e = table + kDemonSlot * kEntry;
  EXPECT_EQ(kDemonSlot, test_support::read_i32(e + 0));
  EXPECT_EQ(0, std::memcmp(e + 4, "mqtt_k482916_demon", 19));
  EXPECT_EQ(0, std::memcmp(e + 54, "3.219", 6));
  int32_t start = test_support::read_i32(e + 64);
  EXPECT_GE(start, t0);
  EXPECT_LE(start, t1);
  EXPECT_EQ(start, test_support::read_i32(e + 68));
  EXPECT_EQ(7, test_support::read_i32(e + 72));
  EXPECT_EQ(0, std::memcmp(e + 76, "Start", 6));
  EXPECT_EQ(0, e[156]);
  EXPECT_EQ(0, test_support::read_i32(e + 236));
  EXPECT_EQ(0, std::memcmp(e + 240, "startup", 8));

  std::vector<unsigned char> after = bytes(table);
  for (size_t i = 0; i < kSizeDemonstatus; ++i) {
    if (i >= kDemonSlot * kEntry && i < (kDemonSlot + 1) * kEntry) continue;
    ASSERT_EQ(before[i], after[i]) << "byte " << i << " outside slot 68 changed";
  }
  EXPECT_EQ(my_demonstatus_data + kDemonSlot, demonstatus_entry());
}

// Texts of 80 characters or more are cut to 79; the time stamp moves with the state only.
TEST_F(DemonStatus, StateAndTextCutLongTextsAndOnlyStateSetsTheTime) {
  unsigned char* table = create_table();
  ASSERT_NE(nullptr, table);
  ASSERT_EQ(0, demonstatus_start(kDemonSlot, "mqtt_k482916_demon", "3.219", 0));
  unsigned char* e = table + kDemonSlot * kEntry;

  const std::string text79(79, 'a');
  const std::string text100 = std::string(79, 'b') + std::string(21, 'c');

  test_support::write_i32(e + 68, 12345);
  demonstatus_text(text100.c_str());
  EXPECT_EQ(12345, test_support::read_i32(e + 68));
  EXPECT_EQ(std::string(79, 'b'), std::string(reinterpret_cast<char*>(e + 76)));
  EXPECT_EQ(0, e[76 + 79]);
  EXPECT_EQ(0, std::memcmp(e + 240, "startup", 8));  // the state text is another field

  int32_t t0 = static_cast<int32_t>(time(nullptr));
  demonstatus_state(41, 10, text79.c_str());
  EXPECT_GE(test_support::read_i32(e + 68), t0);
  EXPECT_EQ(41, test_support::read_i32(e + 72));
  EXPECT_EQ(10, test_support::read_i32(e + 236));
  EXPECT_EQ(text79, std::string(reinterpret_cast<char*>(e + 240)));

  demonstatus_state(42, 1, text100.c_str());
  EXPECT_EQ(std::string(79, 'b'), std::string(reinterpret_cast<char*>(e + 240)));
  EXPECT_EQ(42, test_support::read_i32(e + 72));

  demonstatus_state(43, 1, "main loop");
  EXPECT_EQ("main loop", std::string(reinterpret_cast<char*>(e + 240)));
  EXPECT_EQ(0, std::memcmp(e + 240 + 10, std::string(69, 'b').data(), 69));  // old tail left
}

// A negative slot switches reporting off: neither the start nor the later writers touch the
// table, and a later start cannot switch it back on.
TEST_F(DemonStatus, NegativeSlotWritesNothing) {
  unsigned char* table = create_table();
  ASSERT_NE(nullptr, table);
  std::vector<unsigned char> before = bytes(table);

  EXPECT_EQ(0, demonstatus_start(-1, "mqtt_k482916_demon", "3.219", 0));
  EXPECT_EQ(-1, demonstatus_slot);
  EXPECT_EQ(nullptr, demonstatus_entry());
  demonstatus_state(1, 1, "main loop");
  demonstatus_text("running");
  EXPECT_EQ(0, demonstatus_start(kDemonSlot, "mqtt_k482916_demon", "3.219", 0));
  EXPECT_EQ(-1, demonstatus_slot);
  EXPECT_TRUE(before == bytes(table));
}

// Without the table: the message, -1, and writers that write nowhere (no crash through a null or
// failure-marker pointer).
TEST_F(DemonStatus, MissingTableGivesMessageAndMinusOne) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(-1, demonstatus_start(kDemonSlot, "mqtt_k482916_demon", "3.219", 0));
  EXPECT_EQ(kMissingMessage, testing::internal::GetCapturedStdout());
  EXPECT_EQ(kDemonSlot, demonstatus_slot);
  EXPECT_EQ(nullptr, my_demonstatus_data);
  EXPECT_EQ(nullptr, demonstatus_entry());
  demonstatus_state(1, 1, "main loop");
  demonstatus_text("running");

  testing::internal::CaptureStdout();
  EXPECT_EQ(-1, demonstatus_attach(kDemonSlot));
  EXPECT_EQ(kMissingMessage, testing::internal::GetCapturedStdout());
}

// A failing shmat (a child without address space to spare) gives 0 from the attach, -1 from the
// start, the attach message, and a null table pointer that the writers respect.
TEST_F(DemonStatus, FailedShmatLeavesNoTable) {
  ASSERT_NE(nullptr, create_table());
  test_support::ChildResult child = test_support::run_with_headroom(0, [] {
    int attach = demonstatus_attach(kDemonSlot);
    int start = demonstatus_start(kDemonSlot, "mqtt_k482916_demon", "3.219", 0);
    demonstatus_state(1, 1, "main loop");
    demonstatus_text("running");
    std::printf("attach=%d start=%d table=%s\n", attach, start,
                my_demonstatus_data == nullptr ? "null" : "set");
    return 0;
  });
  if (child.status == test_support::kNoAddressLimit)
    GTEST_SKIP() << "address-space limit not enforced";
  EXPECT_EQ(0, child.status);
  EXPECT_EQ(
      "Problem beim Zugriff auf DEMONSTATUS shared memory !\n"
      "Problem beim Zugriff auf DEMONSTATUS shared memory !\n"
      "attach=0 start=-1 table=null\n",
      child.out);
}

// Slots beyond the table's 128 entries have no entry: nothing is written past the segment.
TEST_F(DemonStatus, SlotBeyondTheTableWritesNothing) {
  unsigned char* table = create_table();
  ASSERT_NE(nullptr, table);
  std::vector<unsigned char> before = bytes(table);
  EXPECT_EQ(-1, demonstatus_start(128, "mqtt_k482916_demon", "3.219", 0));
  EXPECT_EQ(nullptr, demonstatus_entry());
  demonstatus_state(1, 1, "main loop");
  demonstatus_text("running");
  EXPECT_TRUE(before == bytes(table));
}

}  // namespace
