#include "homeassistant/units.h"

#include <cstring>

namespace {

// Units and the classes Home Assistant gives them. The pairs come from Home Assistant's sensor
// component: its table of the units each device class accepts (DEVICE_CLASS_UNITS) and of the
// state classes each device class accepts (DEVICE_CLASS_STATE_CLASSES); `number` tells whether its
// number component (NumberDeviceClass) has the class as well. A unit listed for more than one
// device class there (%, m³, mm, dB, km/h, µg/m³, ...) gets none: a wrong class makes Home
// Assistant refuse the whole announcement. Units are UTF-8, as the announcements carry them.
constexpr unit_classes kUnitClasses[] = {
    {"\u00b0C", "temperature", kMeasurement, true},
    {"\u00b0F", "temperature", kMeasurement, true},
    {"K", "temperature", kMeasurement, true},
    {"W", "power", kMeasurement, true},
    {"kW", "power", kMeasurement, true},
    {"Wh", "energy", kTotalIncreasing, true},
    {"kWh", "energy", kTotalIncreasing, true},
    {"MWh", "energy", kTotalIncreasing, true},
    {"V", "voltage", kMeasurement, true},
    {"mV", "voltage", kMeasurement, true},
    {"A", "current", kMeasurement, true},
    {"mA", "current", kMeasurement, true},
    {"lx", "illuminance", kMeasurement, true},
    {"Pa", "pressure", kMeasurement, true},
    {"hPa", "pressure", kMeasurement, true},
    {"kPa", "pressure", kMeasurement, true},
    {"mbar", "pressure", kMeasurement, true},
    {"bar", "pressure", kMeasurement, true},
    {"ppm", "carbon_dioxide", kMeasurement, true},
    {"Hz", "frequency", kMeasurement, true},
    {"kHz", "frequency", kMeasurement, true},
    {"dBm", "signal_strength", kMeasurement, true},
    {"W/m\u00b2", "irradiance", kMeasurement, true},
    {"kg", "weight", kMeasurement, true},
    {"g", "weight", kMeasurement, true},
    {"km", "distance", kMeasurement, true},
    {"m", "distance", kMeasurement, true},
    {"s", "duration", kMeasurement, false},
    {"min", "duration", kMeasurement, false},
    {"h", "duration", kMeasurement, false},
    // Gas and water meters count in m³ (and water in L), both classes take it: no class, but the
    // reading only grows.
    {"m\u00b3", nullptr, kTotalIncreasing, false},
};

}  // namespace

const unit_classes* unit_classes_of(const char* unit) {
  for (const unit_classes& row : kUnitClasses) {
    if (strcmp(row.unit, unit) == 0) return &row;
  }
  return nullptr;
}
