// shm_attach_all against real System V segments at a key offset of this test process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shm/sensor_record.h"
#include "shm/shm.h"
#include "support/controller.h"
#include "support/paths.h"

namespace {

std::string shmget_message(const char* segment) {
  return std::string("shmget f\xFCr ") + segment +
         " war erfolglos ! (shm_create nicht aufgerufen ?)\n";
}

// One segment of the attach sequence with what the code must do when it is missing.
struct Step {
  shm_segment segment;
  void** pointer;  // the exported pointer, viewed as void*
  std::string missing_message;
  int missing_result;
};

class ShmAttach : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_set("", offset_);
    shm_reload = nullptr;
    shm_sensor = nullptr;
    shm_sensor2 = shm_mapping = shm_external = shm_chipid = shm_ledarray = shm_rgbarray = nullptr;
  }

  // Runs shm_attach_all and returns its result; *out receives what it printed.
  int attach(int selector, std::string* out) {
    testing::internal::CaptureStdout();
    int result = shm_attach_all(selector);
    *out = testing::internal::GetCapturedStdout();
    return result;
  }

  // The reload record and the five tables in the order the controller's daemons attach them.
  std::vector<Step> table_steps() {
    return {
        {kSegReload, reinterpret_cast<void**>(&shm_reload), shmget_message("SHM_Reload"), -4},
        {kSegSensordata, reinterpret_cast<void**>(&shm_sensor), shmget_message("SHM_Sensordata"),
         -2},
        {kSegSensordata2, &shm_sensor2, shmget_message("SHM_Sensordata2"), -2},
        {kSegMappingdata, &shm_mapping, shmget_message("SHM_Mappingdata"), -2},
        {kSegExternaldata, &shm_external, shmget_message("SHM_Externaldata"), -2},
        {kSegChipid, &shm_chipid, shmget_message("SHM_Chipid"), -2},
    };
  }

  int32_t offset_ = test_support::unique_key_offset();
};

// Every pointer must land on the segment of its own key: a marker written through an independent
// attachment of each key shows up behind exactly that pointer.
TEST_F(ShmAttach, SelectorZeroAttachesEachTableUnderItsOwnKeyAndNoArray) {
  test_support::Segments segments(offset_);
  ASSERT_TRUE(segments.create_all());
  ASSERT_TRUE(segments.create(kKeyLedArray, kSizeLedArray));
  ASSERT_TRUE(segments.create(kKeyRgbArray, kSizeRgbArray));

  std::string out;
  EXPECT_EQ(1, attach(0, &out));
  EXPECT_EQ("", out);
  EXPECT_EQ(nullptr, shm_ledarray);
  EXPECT_EQ(nullptr, shm_rgbarray);

  int32_t marker = 0x5A000000;
  for (const Step& step : table_steps()) {
    SCOPED_TRACE(step.missing_message);
    ASSERT_NE(nullptr, *step.pointer);
    unsigned char* view = test_support::view(step.segment.key);
    ASSERT_NE(nullptr, view);
    test_support::write_i32(view + step.segment.size - 4, ++marker);
    EXPECT_EQ(marker, test_support::read_i32(static_cast<unsigned char*>(*step.pointer) +
                                             step.segment.size - 4));
  }
}

// For each of the six segments in turn: it alone is missing. The routine prints that segment's
// message and nothing else, returns its result, keeps the earlier ones and tries no later one.
TEST_F(ShmAttach, EachMissingSegmentStopsWithItsMessageAndKeepsTheEarlierOnes) {
  std::vector<Step> steps = table_steps();
  for (size_t missing = 0; missing < steps.size(); ++missing) {
    SCOPED_TRACE(steps[missing].missing_message);
    SetUp();
    test_support::Segments segments(offset_);
    for (size_t i = 0; i < steps.size(); ++i)
      if (i != missing) {
        ASSERT_TRUE(segments.create(steps[i].segment.key, steps[i].segment.size));
      }

    std::string out;
    EXPECT_EQ(steps[missing].missing_result, attach(0, &out));
    EXPECT_EQ(steps[missing].missing_message, out);
    for (size_t i = 0; i < steps.size(); ++i) {
      if (i < missing)
        EXPECT_NE(nullptr, *steps[i].pointer) << "segment " << i << " should stay attached";
      else
        EXPECT_EQ(nullptr, *steps[i].pointer) << "segment " << i << " should not be attached";
    }
  }
}

// shmget asks for the full size, so a segment that is too small is as good as missing.
TEST_F(ShmAttach, SegmentSmallerThanItsSizeCountsAsMissing) {
  test_support::Segments segments(offset_);
  ASSERT_TRUE(segments.create(kKeyReload, kSizeReload));
  ASSERT_TRUE(segments.create(kKeySensordata, kSizeSensordata - 352));
  std::string out;
  EXPECT_EQ(-2, attach(0, &out));
  EXPECT_EQ(shmget_message("SHM_Sensordata"), out);
  EXPECT_EQ(nullptr, shm_sensor);

  test_support::Segments small_reload(offset_ + 16);
  ASSERT_TRUE(small_reload.create(kKeyReload, 512));
  paths_set("", offset_ + 16);
  EXPECT_EQ(-4, attach(-1, &out));
  EXPECT_EQ(shmget_message("SHM_Reload"), out);
}

TEST_F(ShmAttach, SelectorMinusOneAttachesOnlyTheReloadRecord) {
  test_support::Segments segments(offset_);
  ASSERT_TRUE(segments.create(kKeyReload, kSizeReload));
  std::string out;
  EXPECT_EQ(1, attach(kSelectReloadOnly, &out));
  EXPECT_EQ("", out);
  EXPECT_NE(nullptr, shm_reload);
  EXPECT_EQ(nullptr, shm_sensor);
  EXPECT_EQ(nullptr, shm_chipid);
}

// 4550 asks for the LED array and 3653 for the RGB array, each after the five tables; neither
// attaches the other one.
TEST_F(ShmAttach, LedAndRgbSelectorsNeedTheirArray) {
  test_support::Segments segments(offset_);
  ASSERT_TRUE(segments.create_all());
  std::string out;

  EXPECT_EQ(-5, attach(kSelectLedArray, &out));
  EXPECT_EQ(shmget_message("SHM_LED-Array"), out);
  EXPECT_NE(nullptr, shm_chipid);
  EXPECT_EQ(nullptr, shm_ledarray);

  EXPECT_EQ(-5, attach(kSelectRgbArray, &out));
  EXPECT_EQ(
      "shmget f\xFCr SHM_RGB-Array war erfolglos ! (shm_create nicht aufgerufen oder aelter als V "
      "3.205 ?)\n",
      out);
  EXPECT_EQ(nullptr, shm_rgbarray);

  ASSERT_TRUE(segments.create(kKeyLedArray, kSizeLedArray));
  ASSERT_TRUE(segments.create(kKeyRgbArray, kSizeRgbArray));
  EXPECT_EQ(1, attach(kSelectLedArray, &out));
  EXPECT_EQ("", out);
  EXPECT_NE(nullptr, shm_ledarray);
  EXPECT_EQ(nullptr, shm_rgbarray);
  EXPECT_EQ(1, attach(kSelectRgbArray, &out));
  EXPECT_NE(nullptr, shm_rgbarray);
}

// shmat failures, made real by a child whose address space has no room left: the message and
// result of the failing step, and a pointer that is null rather than the failure marker.
TEST_F(ShmAttach, FailedShmatPrintsItsMessageAndLeavesThePointerNull) {
  test_support::Segments segments(offset_);
  ASSERT_TRUE(segments.create_all());
  ASSERT_TRUE(segments.create(kKeyLedArray, kSizeLedArray));

  test_support::ChildResult reload = test_support::run_with_headroom(0, [] {
    int result = shm_attach_all(0);
    std::printf("reload=%s\n", shm_reload == nullptr ? "null" : "set");
    return result;
  });
  if (reload.status == test_support::kNoAddressLimit)
    GTEST_SKIP() << "address-space limit not enforced";
  EXPECT_EQ(-3 & 0xFF, reload.status);
  EXPECT_EQ("Problem beim Zugriff auf RELOAD shared memory !\nreload=null\n", reload.out);

  // Room for the reload record and the five tables, not for the 2 MiB LED array.
  test_support::ChildResult led = test_support::run_with_headroom(1024 * 1024, [] {
    int result = shm_attach_all(kSelectLedArray);
    std::printf("chipid=%s led=%s\n", shm_chipid == nullptr ? "null" : "set",
                shm_ledarray == nullptr ? "null" : "set");
    return result;
  });
  EXPECT_EQ(0, led.status);
  EXPECT_EQ("Problem beim Zugriff auf LED-Array_data shared memory !\nchipid=set led=null\n",
            led.out);
}

// The two words are read from the segment at every call, so changes by another process show.
TEST_F(ShmAttach, ReloadWordsFollowTheSegment) {
  test_support::Segments segments(offset_);
  ASSERT_TRUE(segments.create(kKeyReload, kSizeReload));
  std::string out;
  ASSERT_EQ(1, attach(kSelectReloadOnly, &out));
  unsigned char* view = test_support::view(kKeyReload);
  ASSERT_NE(nullptr, view);

  EXPECT_EQ(0, reload_startup_lock());
  test_support::write_i32(view + 92, 1);
  test_support::write_i32(view + 412, -7);
  EXPECT_EQ(1, reload_startup_lock());
  EXPECT_EQ(-7, reload_counter());
  test_support::write_i32(view + 412, 8);
  EXPECT_EQ(8, reload_counter());
}

}  // namespace
