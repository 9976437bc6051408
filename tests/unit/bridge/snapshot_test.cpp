// A writer flips only an entry's type (one aligned word: every single read sees a whole state);
// a payload whose type word and value came from two reads mixes the two states.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "bridge/publish.h"
#include "support/controller.h"

TEST(Snapshot, EveryPayloadIsOneWrittenState) {
  test_support::InProcessController controller;
  ASSERT_TRUE(controller.ready());
  test_support::set_entry(5, 1001, kEntrySensor, 11.25, "C");
  shm_sensor[5].value2.value = -7.5;
  const std::string ok[2] = {R"({"call":"p","value":"11.25","type":"sensor","unit":"C",)",
                             R"({"call":"p","value":"-7.50","type":"actor","unit":"C",)"};
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i)
      *static_cast<volatile int32_t*>(&shm_sensor[5].type) = i & 1 ? kEntryActor : kEntrySensor;
  });
  int built = 0;
  std::string mixed;
  for (int i = 0; i < 200000 && mixed.empty(); ++i) {
    sensor_record entry;
    double value = 0.0;
    if (!sensor_record_read(5, &entry) || !sensor_publish_value(entry, &value)) continue;
    char payload[kPayloadSize];
    mqtt_payload(entry, value, "p", payload, sizeof payload);
    ++built;
    if (std::string p = payload; p.rfind(ok[0], 0) != 0 && p.rfind(ok[1], 0) != 0) mixed = p;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(mixed, "");
  EXPECT_GT(built, 100);
}
