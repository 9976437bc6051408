// The classes Home Assistant gives a unit: the device class and state class of a sensor, and
// whether its number entities accept the device class too.
#pragma once

// State classes.
constexpr const char* kMeasurement = "measurement";
constexpr const char* kTotalIncreasing = "total_increasing";

struct unit_classes {
  const char* unit;          // UTF-8, as the announcements carry it
  const char* device_class;  // null: none
  const char* state_class;
  bool number;  // Home Assistant's number entities have the device class as well
};

// The classes of `unit` (UTF-8), or null when the table does not know it.
const unit_classes* unit_classes_of(const char* unit);
