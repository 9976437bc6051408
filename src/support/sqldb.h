// Single values from the controller's configuration database (table config, columns tag and
// value). Every call opens its own connection and closes it again, and retries while the database
// is locked or a value is missing.
#pragma once

#include <cstddef>
#include <cstdint>

// The controller's configuration database (the root prefix is added where it is opened).
constexpr const char* kConfigDatabase = "/etc/korvanenv/config.s3db";

// Reads the value of `tag` into dest (capacity cap, always NUL-terminated; longer values are cut).
// dest holds the value or the empty text afterwards. Returns -1 when the database file does not
// exist, otherwise the result of closing the last connection (0 normally).
// Gives up after 101 failed compiles 25 ms apart ("LOCKED !" on stdout) or 11 missing values
// 250 ms apart ("NULL !" on stdout). REQUIRES: cap >= 1; tag has no single quote.
int32_t sqldb_read_string(const char* tag, char* dest, size_t cap);

// sqldb_read_string into a 304-byte buffer, then atol32. Every failure gives 0.
int32_t sqldb_read_long(const char* tag);
