#include "support/sqldb.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "support/numbers.h"
#include "support/paths.h"

namespace {

// Failed compiles (database locked, missing table, unreadable file) are retried this often.
constexpr int kMaxPrepareRetries = 100;
constexpr useconds_t kPreparePauseUs = 25000;
// Rows without a value (or failed steps) are retried this often.
constexpr int kMaxNoValueRetries = 10;
constexpr useconds_t kNoValuePauseUs = 250000;
// The query text, tag included; a tag has at most 261 characters.
constexpr size_t kQuerySize = 300;
// Room for any value sqldb_read_long converts.
constexpr size_t kLongValueSize = 304;

// Releases everything one attempt holds and returns the result of closing its connection.
int end_attempt(sqlite3* db, sqlite3_stmt* stmt, char* query_copy) {
  sqlite3_finalize(stmt);
  sqlite3_free(query_copy);
  return sqlite3_close(db);
}

// What one attempt found.
enum class attempt_result { value_read, not_compiled, value_missing };

// One attempt: opens its own connection, compiles the query and steps through every row, keeping
// the value of the last one in dest (the empty text when there is no row). *closed receives the
// result of closing the connection.
attempt_result read_attempt(const char* path, const char* query, char* dest, size_t cap,
                            int* closed) {
  sqlite3* db = nullptr;
  sqlite3_open(path, &db);  // a failed open shows up as a failed compile
  char* query_copy = sqlite3_mprintf("%s", query);
  sqlite3_stmt* stmt = nullptr;
  int rc = SQLITE_NOMEM;
  if (db != nullptr && query_copy != nullptr) {
    rc = sqlite3_prepare(db, query_copy, static_cast<int>(strlen(query_copy)), &stmt, nullptr);
  }
  if (rc != SQLITE_OK) {
    *closed = end_attempt(db, stmt, query_copy);
    return attempt_result::not_compiled;
  }
  int rows = 0;
  for (;;) {
    // Anything but DONE counts as a row; after a busy or error step the column has no text.
    if (sqlite3_step(stmt) == SQLITE_DONE) break;
    ++rows;
    const unsigned char* value = sqlite3_column_text(stmt, 0);
    if (value == nullptr) {
      *closed = end_attempt(db, stmt, query_copy);
      return attempt_result::value_missing;
    }
    snprintf(dest, cap, "%s", reinterpret_cast<const char*>(value));
  }
  if (rows == 0) dest[0] = '\0';
  *closed = end_attempt(db, stmt, query_copy);
  return attempt_result::value_read;
}

}  // namespace

// Failed compiles and missing values are counted separately over the whole call; after too many
// of either the call gives up with its message on stdout.
int32_t sqldb_read_string(const char* tag, char* dest, size_t cap) {
  if (dest == nullptr || cap == 0) return -1;
  dest[0] = '\0';
  if (tag == nullptr) return -1;

  char path[kPathCapacity];
  path_with_root(kConfigDatabase, path, sizeof path);
  if (access(path, F_OK) != 0) return -1;

  char query[kQuerySize];
  snprintf(query, sizeof query, "SELECT value FROM config WHERE tag='%s';", tag);

  int prepare_failures = 0;
  int no_value = 0;
  for (;;) {
    int closed = 0;
    const attempt_result found = read_attempt(path, query, dest, cap, &closed);
    if (found == attempt_result::value_read) return closed;
    const bool locked = found == attempt_result::not_compiled;
    int& failures = locked ? prepare_failures : no_value;
    if (++failures <= (locked ? kMaxPrepareRetries : kMaxNoValueRetries)) {
      usleep(locked ? kPreparePauseUs : kNoValuePauseUs);
      continue;
    }
    if (locked)
      printf("*** SQLDB_READ_STRING ERROR: LOCKED ! SQL=\"%s\" ***\n", query);
    else
      printf("*** SQLDB_READ_STRING ERROR: NULL ! SQL=\"%s\" ***\n", query);
    fflush(stdout);
    dest[0] = '\0';
    return closed;
  }
}

// Every failure of the read leaves the empty text, which converts to 0.
int32_t sqldb_read_long(const char* tag) {
  char value[kLongValueSize];
  sqldb_read_string(tag, value, sizeof value);
  return atol32(value);
}
