// Whole-file read into a caller's buffer.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads the file at `path` (opened "rb") into buffer with one fread, zero bytes included, and
// terminates it. Stops after capacity - 1 bytes, so a larger file is cut there; a read error ends
// the data as the end of the file would.
// Returns the number of bytes stored (0 or more), or -2 when the file cannot be opened (also for
// a null path or buffer or a capacity of 0); then the buffer is left untouched.
int32_t readfileinstring(const char* path, char* buffer, size_t capacity);
