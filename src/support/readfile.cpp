#include "support/readfile.h"

#include <cstdio>

int32_t readfileinstring(const char* path, char* buffer, size_t capacity) {
  if (path == nullptr || buffer == nullptr || capacity == 0) return -2;
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return -2;
  size_t count = fread(buffer, 1, capacity - 1, file);
  buffer[count] = '\0';
  fclose(file);
  return static_cast<int32_t>(count);
}
