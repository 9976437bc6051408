#include "log/log_paths.h"

#include <cstdio>

#include "support/paths.h"

void log_file_path(const char* filename, char* out, size_t cap) {
  char relative[kPathCapacity];
  snprintf(relative, sizeof relative, "%s%s", kLogDirectory, filename != nullptr ? filename : "");
  path_with_root(relative, out, cap);
}

void log_console_path(char* out, size_t cap) {
  path_with_root(kConsoleDevice, out, cap);
}
