// The publish path against an entry that the controller rewrites without a lock: the type word,
// the value chosen by the type, and the unit of one payload all come from one read of the entry.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "bridge/publish.h"
#include "bridge_fixture.h"

namespace {

// The writer flips only the type (one aligned word, so every single read sees one of the two
// states whole); a payload that took its type and its value from two reads is a mix.
TEST(Snapshot, EveryPayloadIsOneWrittenState) {
  bridge_test::Controller controller;
  ASSERT_TRUE(controller.ready());
  bridge_test::set_entry(5, 1001, kEntrySensor, 11.25, "C");
  shm_sensor[5].value2.value = -7.5;
  const std::string payloads[2] = {
      R"({"call":"probe","value":"11.25","type":"sensor","unit":"C","timestamp":")",
      R"({"call":"probe","value":"-7.50","type":"actor","unit":"C","timestamp":")"};

  std::atomic<bool> stop{false};
  std::thread writer([&] {
    volatile int32_t& type = shm_sensor[5].type;
    for (int i = 0; !stop.load(std::memory_order_relaxed); ++i)
      type = i & 1 ? kEntryActor : kEntrySensor;
  });
  int built = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < end) {
    sensor_record entry;
    double value = 0.0;
    if (!sensor_record_read(5, &entry) || !sensor_publish_value(entry, &value)) continue;
    char payload[kPayloadSize];
    mqtt_payload(entry, value, "probe", payload, sizeof payload);
    const std::string p = payload;
    ++built;
    if (p.rfind(payloads[0], 0) != 0 && p.rfind(payloads[1], 0) != 0) {
      ADD_FAILURE() << "mixed payload " << p;
      break;
    }
  }
  stop = true;
  writer.join();
  EXPECT_GT(built, 100);
}

}  // namespace
