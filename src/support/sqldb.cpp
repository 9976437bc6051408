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

}  // namespace

// One attempt opens its own connection, compiles the query and steps through every row, keeping
// the value of the last one. Failed compiles and missing values are counted separately over the
// whole call; after too many of either the call gives up with its message on stdout.
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
    sqlite3* db = nullptr;
    sqlite3_open(path, &db);  // a failed open shows up as a failed compile
    char* query_copy = sqlite3_mprintf("%s", query);
    sqlite3_stmt* stmt = nullptr;
    int rc = SQLITE_NOMEM;
    if (db != nullptr && query_copy != nullptr) {
      rc = sqlite3_prepare(db, query_copy, static_cast<int>(strlen(query_copy)), &stmt, nullptr);
    }

    if (rc != SQLITE_OK) {
      ++prepare_failures;
      if (prepare_failures <= kMaxPrepareRetries) {
        end_attempt(db, stmt, query_copy);
        usleep(kPreparePauseUs);
        continue;
      }
      printf("*** SQLDB_READ_STRING ERROR: LOCKED ! SQL=\"%s\" ***\n", query);
      fflush(stdout);
      dest[0] = '\0';
      return end_attempt(db, stmt, query_copy);
    }

    int rows = 0;
    bool value_missing = false;
    for (;;) {
      // Anything but DONE counts as a row; after a busy or error step the column has no text.
      if (sqlite3_step(stmt) == SQLITE_DONE) break;
      ++rows;
      const unsigned char* value = sqlite3_column_text(stmt, 0);
      if (value == nullptr) {
        value_missing = true;
        break;
      }
      snprintf(dest, cap, "%s", reinterpret_cast<const char*>(value));
    }

    if (!value_missing) {
      if (rows == 0) dest[0] = '\0';
      return end_attempt(db, stmt, query_copy);
    }

    ++no_value;
    if (no_value <= kMaxNoValueRetries) {
      end_attempt(db, stmt, query_copy);
      usleep(kNoValuePauseUs);
      continue;
    }
    printf("*** SQLDB_READ_STRING ERROR: NULL ! SQL=\"%s\" ***\n", query);
    fflush(stdout);
    dest[0] = '\0';
    return end_attempt(db, stmt, query_copy);
  }
}

// Every failure of the read leaves the empty text, which converts to 0.
int32_t sqldb_read_long(const char* tag) {
  char value[kLongValueSize];
  sqldb_read_string(tag, value, sizeof value);
  return atol32(value);
}
