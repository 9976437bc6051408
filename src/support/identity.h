// The daemon's identity: its name, version and log file name. No dependencies, so that every
// module can name the daemon without reaching up to the daemon's entry.
#pragma once

constexpr const char* kDemonName = "mqtt_k482916_demon";
constexpr const char* kDemonVersion = "3.219";
// Bare name of the log file in the log directory (log/log.h).
constexpr const char* kLogFileName = "k482916.log";
