#include "log/log.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "log/line_text.h"
#include "log/local_clock.h"
#include "log/log_syslog.h"
#include "log/signal_mask.h"
#include "support/paths.h"
#include "support/sqldb.h"

uint8_t log_level = kLogDebug;
char log_filename[255];
char log_last_error[kLogLastErrorSize] = "";
char log_path[128];
int32_t log_max_filesize = 0;
int32_t log_my_demon_id = 0;
char log_my_demon_name[40];
int32_t log_syslog_enabled = 0;
int32_t log_syslog_logleveloverride = 0;
char log_syslog_server[128];
char log_syslog_my_hostname[128];

namespace {

// -1 until log_init has run, then kLogStateReady; kLogStateStdout after log_init_stdout; any other
// value drops every message.
constexpr int32_t kLogStateReady = 1;
constexpr int32_t kLogStateStdout = 2;
volatile int32_t log_init_state = -1;

constexpr int32_t kMinFileSize = 10000;
// Mode of a newly created log file: the daemon runs as root, the log is for everybody to read.
constexpr mode_t kLogFileMode = 0644;
// A syslog line carries at most this many characters of the text.
constexpr size_t kSyslogTextSize = 250;
// Room for "[level]", the cut text and the newline.
constexpr size_t kSyslogLineSize = 260;
constexpr size_t kDescriptionSize = 260;
constexpr size_t kAppendfSize = 1024;
// Room for the time stamp and level in front of a file or echo line.
constexpr size_t kPrefixSize = 64;

// Line-buffered stdout needs a buffer; a static one keeps the echo free of heap allocation.
char stdout_buffer[1024];

// Writes every byte of the pieces, continuing after short writes and interrupted calls. Gives up
// silently on any other failure: a lost line is all the log module can report.
void write_all(int fd, struct iovec* iov, int count) {
  while (count > 0) {
    ssize_t n = writev(fd, iov, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    size_t done = static_cast<size_t>(n);
    while (count > 0 && done >= iov->iov_len) {
      done -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + done;
      iov->iov_len -= done;
    }
  }
}

// Writes prefix, text and a newline to fd with one writev, so an appended line is not torn apart.
void write_line(int fd, const char* prefix, const char* text) {
  static const char kNewline[] = "\n";
  struct iovec iov[3] = {{const_cast<char*>(prefix), strlen(prefix)},
                         {const_cast<char*>(text), strlen(text)},
                         {const_cast<char*>(kNewline), 1}};
  write_all(fd, iov, 3);
}

// The current local time and the level in front of a line: "YYYY-MM-DD,hh:mm:ss[level]" for the
// file, "hh:mm:ss[level]" for the echo.
void stamp_prefix(char* out, size_t capacity, bool with_date, int level) {
  local_stamp t = local_clock_stamp(time(nullptr));
  LineText prefix(out, capacity);
  if (with_date) {
    prefix.number(t.year, 4).text("-").number(t.month, 2).text("-").number(t.day, 2).text(",");
  }
  prefix.number(t.hour, 2).text(":").number(t.minute, 2).text(":").number(t.second, 2);
  prefix.text("[").number(level).text("]");
}

// Opens the log file for appending (creating it with kLogFileMode) and returns the descriptor,
// or -1 when the file must be left alone. /tmp is world-writable and the daemon runs as root, so
// the file is used only when it is the daemon's own: a symbolic link is not followed, and the
// opened file must be a regular file (opening a planted FIFO would block the daemon; O_NONBLOCK
// keeps the open itself from waiting) with one link (a hard link planted at the path would point
// at another file) owned by the effective user (another user could read and forge the log). The
// checks are made on the opened descriptor, so the path cannot be swapped between check and use.
int open_log_file() {
  int fd = open(log_filename, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                kLogFileMode);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || log_file_refusal(st) != nullptr) {
    close(fd);
    return -1;
  }
  return fd;
}

// Records one line in the log file. A file that has grown past the limit is emptied through the
// checked descriptor first and gets the truncation notice; the line follows it.
void write_file_line(int level, const char* text) {
  int fd = open_log_file();
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_size > static_cast<off_t>(log_max_filesize) &&
      ftruncate(fd, 0) == 0) {
    char notice[128];
    LineText(notice, sizeof notice)
        .text("-----   Logfile truncated because it exceeded its size limitation of ")
        .number(log_max_filesize)
        .text(" bytes   -----");
    write_line(fd, "(...)\n", notice);
  }
  char prefix[kPrefixSize];
  stamp_prefix(prefix, sizeof prefix, true, level);
  write_line(fd, prefix, text);
  close(fd);
}

// Syslog mode: either threshold admits the message; the text is cut to 249 characters.
void write_syslog_line(int level, const char* text) {
  if (level > log_level && level > log_syslog_logleveloverride) return;
  char line[kSyslogLineSize];
  LineText(line, sizeof line)
      .text("[")
      .number(level)
      .text("]")
      .text(text, kSyslogTextSize - 1)
      .text("\n");
  log_syslog_send(log_my_demon_name, line);
}

// The writer behind log_append and log_signal_append: echo on stdout at log_level kLogEcho and
// above (for every message, recorded or not), then the system logger in syslog mode or the
// size-limited file otherwise. Safe in a signal handler: it formats with LineText, takes the time
// from the local clock's span and makes only system calls (with the default syslog sender).
void log_write(int level, const char* text) {
  if (log_level >= kLogEcho) {
    char prefix[kPrefixSize];
    stamp_prefix(prefix, sizeof prefix, false, level);
    write_line(STDOUT_FILENO, prefix, text);
  }
  if (log_syslog_enabled == 1) {
    write_syslog_line(level, text);
    return;
  }
  if (level > log_level) return;
  write_file_line(level, text);
}

// Level -1: the bare text on the system console, no time stamp and no filter.
void write_console_line(const char* text) {
  char path[kPathCapacity];
  log_console_path(path, sizeof path);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, kLogFileMode);
  if (fd < 0) return;
  write_line(fd, "", text);
  close(fd);
}

}  // namespace

log_syslog_sender log_syslog_send = log_syslog_datagram;

// Defaults apply to anything the database cannot give.
void log_read_settings() {
  log_max_filesize = sqldb_read_long("/demons/max_logfile_size");
  if (log_max_filesize < kMinFileSize) log_max_filesize = kMinFileSize;
  log_syslog_enabled = sqldb_read_long("/sys/logging/syslog_enabled");
  log_syslog_logleveloverride = sqldb_read_long("/sys/logging/syslog_logleveloverride");
  sqldb_read_string("/sys/logging/syslog_server", log_syslog_server, sizeof log_syslog_server);
  sqldb_read_string("/sys/network/hostname", log_syslog_my_hostname, sizeof log_syslog_my_hostname);
}

// A link, FIFO, device or another user's file planted in /tmp (world-writable; the daemon runs as
// root) must neither redirect nor block the daemon's writes, nor let its owner read or forge them.
const char* log_file_refusal(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (st.st_nlink != 1) return "a file with more than one link";
  if (st.st_uid != geteuid()) return "owned by another user";
  return nullptr;
}

// Settings come from the configuration database; defaults apply to anything it cannot give.
void log_init(const char* filename, int level, int32_t demon_id, const char* name) {
  // Line-buffered stdout: a terminating signal ends the process with _exit, which flushes nothing.
  setvbuf(stdout, stdout_buffer, _IOLBF, sizeof stdout_buffer);
  tzset();

  log_my_demon_id = demon_id;
  snprintf(log_my_demon_name, sizeof log_my_demon_name, "%s", name != nullptr ? name : "");
  log_level = static_cast<uint8_t>(level);

  log_read_settings();

  path_with_root(kLogDirectory, log_path, sizeof log_path);
  log_file_path(filename, log_filename, sizeof log_filename);

  // The line is cut at 260 bytes, as on the controller; only a very long root prefix reaches that.
  char description[kDescriptionSize];
  if (log_syslog_enabled != 1) {
    snprintf(description, sizeof description, "%s logging to \"%s\", Loglevel: %d (max. %ld Bytes)",
             log_my_demon_name, log_filename, log_level, static_cast<long>(log_max_filesize));
  } else if (log_syslog_logleveloverride > 0) {
    log_level = static_cast<uint8_t>(log_syslog_logleveloverride);
    snprintf(description, sizeof description, "%s, Syslog to \"%s\", Loglevel Overridden to: %d",
             log_my_demon_name, log_syslog_server, log_level);
  } else {
    snprintf(description, sizeof description, "%s, Syslog to \"%s\", Loglevel: %d",
             log_my_demon_name, log_syslog_server, log_level);
  }
  if (log_level != 0) printf("%s\n", description);
  if (log_syslog_enabled == 1) log_syslog_open();

  log_init_state = kLogStateReady;
  log_appendf(kLogEssential, "----------   %s started (debuglevel=%d)   ----------",
              log_my_demon_name, log_level);
}

// The caught signals are blocked while a line is written, so the signal handler never enters
// the writer while it is half-way through a line or the local clock while it is refreshed; a
// signal that arrives meanwhile is delivered (and logged) right after. Nothing here allocates,
// and errno is left as the caller had it.
void log_append(int level, const char* text) {
  if (text == nullptr) text = "";
  int saved_errno = errno;
  sigset_t previous;
  caught_signals_block(&previous);
  local_clock_refresh(time(nullptr));

  int8_t signed_level = static_cast<int8_t>(static_cast<uint8_t>(level));
  if (signed_level == kLogWarning) snprintf(log_last_error, sizeof log_last_error, "%s", text);
  if (log_init_state == kLogStateReady) {
    if (signed_level == kLogConsole) {
      write_console_line(text);
    } else {
      log_write(signed_level, text);
    }
  } else if (log_init_state == -1) {
    printf("*** ERROR: log_init() missing ***: %s\n", text);
  } else if (log_init_state == kLogStateStdout) {
    printf("daemon log [%d]: %s\n", signed_level, text);
  }

  caught_signals_restore(&previous);
  errno = saved_errno;
}

// The handler's path: the writer only, with the caught signals blocked as in log_append, so that a
// second signal waits until this line is written.
void log_signal_append(int level, const char* text) {
  if (log_init_state != kLogStateReady) return;
  int saved_errno = errno;
  sigset_t previous;
  caught_signals_block(&previous);
  log_write(static_cast<int8_t>(static_cast<uint8_t>(level)), text != nullptr ? text : "");
  caught_signals_restore(&previous);
  errno = saved_errno;
}

void log_init_stdout() {
  log_init_state = kLogStateStdout;
}

// True when log_append would record `level` nowhere: ready, not the console, no echo, and above
// the file's threshold (in syslog mode above both of its thresholds). Exactly log_write's rules;
// a level-2 line is always handed on, since it is kept as log_last_error.
namespace {

bool recorded_nowhere(int level) {
  const int8_t signed_level = static_cast<int8_t>(static_cast<uint8_t>(level));
  if (log_init_state != kLogStateReady || signed_level == kLogConsole ||
      signed_level == kLogWarning || log_level >= kLogEcho)
    return false;
  if (signed_level <= log_level) return false;
  return log_syslog_enabled != 1 || signed_level > log_syslog_logleveloverride;
}

}  // namespace

// Formats into a fixed buffer first; the cut text is recorded like any other. A line recorded
// nowhere is neither formatted nor handed on (formatting two doubles, and blocking the signals
// twice, per unchanged sensor was most of what a publish cycle cost below the debug level); only
// the local clock is refreshed when log_append would have refreshed it.
void log_appendf(int level, const char* format, ...) {
  if (recorded_nowhere(level)) {
    if (!local_clock_current(time(nullptr))) log_append(level, "");
    return;
  }
  char text[kAppendfSize];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  log_append(level, text);
}

// The caught signals stay blocked while the C library converts, as they do for every other
// conversion of the log module.
void log_local_time(time_t when, struct tm* out) {
  sigset_t previous;
  caught_signals_block(&previous);
  if (localtime_r(&when, out) == nullptr) memset(out, 0, sizeof *out);
  caught_signals_restore(&previous);
}
