// The sensor table's record routines on a real SHM_Sensordata segment.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <vector>

#include "shm/sensor_record.h"
#include "shm/shm.h"
#include "support/controller.h"
#include "support/paths.h"

namespace {

class SensorRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_set("", offset_);
    ASSERT_TRUE(segments_.create(kKeySensordata, kSizeSensordata));
    shm_sensor = reinterpret_cast<sensor_record*>(test_support::view(kKeySensordata));
    ASSERT_NE(nullptr, shm_sensor);
  }
  void TearDown() override { shm_sensor = nullptr; }

  // The whole table as bytes, to prove that a write touched nothing it should not.
  std::vector<unsigned char> snapshot() const {
    const auto* p = reinterpret_cast<const unsigned char*>(shm_sensor);
    return std::vector<unsigned char>(p, p + kSizeSensordata);
  }

  // Fills the table with a byte pattern, as a controller's busy table would look.
  void fill(unsigned char byte) { std::memset(shm_sensor, byte, kSizeSensordata); }

  int32_t offset_ = test_support::unique_key_offset();
  test_support::Segments segments_{offset_};
};

TEST_F(SensorRecord, RealIdSearchTakesTheLowestMatchAndScansAllEntries) {
  shm_sensor[7].db_id = 1001;
  shm_sensor[3].db_id = 1001;
  shm_sensor[511].db_id = 4242;
  shm_sensor[9].db_id = -5;
  shm_sensor[9].type = 0;
  shm_sensor[9].error_code = 99;

  EXPECT_EQ(3, find_sensor_real_id(1001));
  EXPECT_EQ(511, find_sensor_real_id(4242));
  EXPECT_EQ(9, find_sensor_real_id(-5));  // type and error code play no part
  EXPECT_EQ(-1, find_sensor_real_id(777));
  EXPECT_EQ(0, find_sensor_real_id(0));  // a zeroed table holds DB id 0 at entry 0

  shm_sensor = nullptr;
  EXPECT_EQ(-1, find_sensor_real_id(1001));
}

TEST_F(SensorRecord, PublishValueIsChosenByType) {
  sensor_record entry;
  std::memset(&entry, 0, sizeof entry);
  entry.value1.value = 1.5;
  entry.value2.value = -2.25;
  double value = 99.0;

  entry.type = 1;
  EXPECT_TRUE(sensor_publish_value(entry, &value));
  EXPECT_EQ(1.5, value);
  entry.type = 2;
  EXPECT_TRUE(sensor_publish_value(entry, &value));
  EXPECT_EQ(-2.25, value);
  entry.type = 4;
  value = 0.0;
  EXPECT_TRUE(sensor_publish_value(entry, &value));
  EXPECT_EQ(-2.25, value);

  for (int32_t type : {0, 3, 5, -1}) {
    value = 99.0;
    entry.type = type;
    EXPECT_FALSE(sensor_publish_value(entry, &value)) << "type " << type;
    EXPECT_EQ(99.0, value);
  }
}

// Value, truncated hundredths and text of the command block, plus its time stamp.
TEST_F(SensorRecord, ActorCommandWritesTheFourFieldsOfTheCommandBlock) {
  struct Case {
    double value;
    int32_t x100;
    const char* text;  // null: platform rounding of a binary fraction, not checked
  };
  const Case cases[] = {
      {21.5, 2150, "21.50"}, {-0.5, -50, "-0.50"}, {-1.999, -199, "-2.00"},
      {2.345, 234, nullptr}, {0.0, 0, "0.00"},     {21474836.47, 2147483647, "21474836.47"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    int32_t before = static_cast<int32_t>(time(nullptr));
    set_actor_command(42, c.value);
    int32_t after = static_cast<int32_t>(time(nullptr));
    const value_block& cmd = shm_sensor[42].command;
    EXPECT_EQ(c.value, cmd.value);
    EXPECT_EQ(c.x100, cmd.value_x100);
    if (c.text != nullptr) {
      EXPECT_STREQ(c.text, cmd.text);
    }
    EXPECT_GE(cmd.timestamp, before);
    EXPECT_LE(cmd.timestamp, after);
  }
}

// Only bytes 120..175 of the one entry may change: the entry's values, unit, error code, the
// reserved bytes and every other entry stay as they were.
TEST_F(SensorRecord, ActorCommandTouchesNothingOutsideItsCommandBlock) {
  fill(0xA5);
  std::vector<unsigned char> before = snapshot();
  set_actor_command(100, 1e300);
  std::vector<unsigned char> after = snapshot();

  const size_t block_start = 100 * sizeof(sensor_record) + offsetof(sensor_record, command);
  const size_t block_end = block_start + sizeof(value_block);
  for (size_t i = 0; i < kSizeSensordata; ++i) {
    if (i >= block_start && i < block_end) continue;
    ASSERT_EQ(before[i], after[i]) << "byte " << i << " changed";
  }
  // The text of 1e300 has 304 characters: cut to the field, terminated inside it.
  const value_block& cmd = shm_sensor[100].command;
  EXPECT_EQ(39u, strnlen(cmd.text, sizeof cmd.text));
  EXPECT_EQ(0, std::strncmp(cmd.text, "1000000000000000052504760255204420248", 37));
  EXPECT_EQ(1e300, cmd.value);
  EXPECT_EQ(INT32_MAX, cmd.value_x100);
}

// Out-of-range real ids write nothing at all (no write before entry 0 or after entry 511).
TEST_F(SensorRecord, ActorCommandOutsideTheTableWritesNothing) {
  fill(0x3C);
  std::vector<unsigned char> before = snapshot();
  set_actor_command(-1, 5.0);
  set_actor_command(512, 5.0);
  set_actor_command(INT32_MIN, 5.0);
  EXPECT_TRUE(before == snapshot());

  shm_sensor = nullptr;
  set_actor_command(0, 5.0);  // not attached: must not crash
}

// Values beyond the int32 range and NaN have no defined conversion; they are pinned instead.
TEST_F(SensorRecord, HundredthsSaturateOutsideTheInt32Range) {
  EXPECT_EQ(INT32_MAX, value_x100_of(21474836.48));
  EXPECT_EQ(INT32_MAX, value_x100_of(1e300));
  EXPECT_EQ(INT32_MAX, value_x100_of(INFINITY));
  EXPECT_EQ(INT32_MIN, value_x100_of(-21474836.48));
  EXPECT_EQ(INT32_MIN + 1, value_x100_of(-21474836.47));
  EXPECT_EQ(INT32_MIN, value_x100_of(-INFINITY));
  EXPECT_EQ(0, value_x100_of(NAN));
  EXPECT_EQ(-1, value_x100_of(-0.019));

  set_actor_command(5, NAN);
  EXPECT_EQ(0, shm_sensor[5].command.value_x100);
  EXPECT_TRUE(std::isnan(shm_sensor[5].command.value));
  EXPECT_LT(strnlen(shm_sensor[5].command.text, 40), 40u);
}

}  // namespace
