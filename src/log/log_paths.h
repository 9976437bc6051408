// Where the log's lines go besides the system logger: the log file and the system console. The
// root prefix is added by the two routines below, the only places that build these paths.
#pragma once

#include <cstddef>

constexpr const char* kLogDirectory = "/tmp/";
constexpr const char* kConsoleDevice = "/dev/console";

// Writes root prefix, kLogDirectory and `filename` into out, always terminated (cut to cap - 1).
void log_file_path(const char* filename, char* out, size_t cap);
// Writes root prefix and kConsoleDevice into out, always terminated (cut to cap - 1).
void log_console_path(char* out, size_t cap);
