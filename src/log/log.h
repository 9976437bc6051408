// The daemon's log: one call, log_append(level, text), turns a message into a line in the
// size-limited log file below /tmp/ or hands it to the system logger, and echoes it on stdout when
// the level is 5 or more. Level 1 is the most important; -1 goes to the system console.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "log/log_paths.h"

// Levels of log_append: 1 is the most important. A message is recorded when its level is at most
// log_level; at log_level kLogEcho and above every message is also echoed on stdout.
constexpr int kLogConsole = -1;   // the bare text on the system console, never filtered
constexpr int kLogEssential = 1;  // start banner, configuration, signals
constexpr int kLogWarning = 2;    // something left out or failed
constexpr int kLogInfo = 3;       // session events
constexpr int kLogDebug = 4;      // routine detail
constexpr int kLogEcho = 5;       // echo every message on stdout

// Recording threshold: a message of level L is recorded when L <= log_level. Written by log_init
// (the level it is given, or the syslog override) and by mqtt_read_config (the start-up read and
// every full read).
extern uint8_t log_level;
// Full path of the log file: root prefix, "/tmp/" and the name given to log_init. Written by
// log_init.
extern char log_filename[255];
// The log directory with root prefix ("/tmp/"). Written by log_init.
extern char log_path[128];
// Size limit of the log file in bytes, at least 10000 after log_init. Written by log_init.
extern int32_t log_max_filesize;
// Slot number passed to log_init; not used by the writer. Written by log_init.
extern int32_t log_my_demon_id;
// Display name passed to log_init; the identity under which lines go to syslog. Written by
// log_init.
extern char log_my_demon_name[40];
// 1 = lines go to the system logger, never to the file. Written by log_init.
extern int32_t log_syslog_enabled;
// Second threshold in syslog mode; above 0 it also replaces log_level at start-up. Written by
// log_init.
extern int32_t log_syslog_logleveloverride;
// Syslog server setting, shown in the start-up description only. Written by log_init.
extern char log_syslog_server[128];
// The controller's host name setting, read and kept. Written by log_init.
extern char log_syslog_my_hostname[128];
// The text of the last level-2 line given to log_append (cut to 159 characters), recorded whether
// or not the level lets it into the log; "" until there is one. Shown by the diagnostics message.
// Written by log_append only.
constexpr size_t kLogLastErrorSize = 160;
extern char log_last_error[kLogLastErrorSize];

// Reads the logging settings from the configuration database, prints the description line (when
// the level is not 0), connects to the system logger in syslog mode and records the start banner
// at level 1. The caller installs the signal
// handler afterwards (linux_signal_install_all), once everything it logs through is ready.
// `filename` is the bare file name (at most 249 characters), `name` the display
// name (at most 39 characters; longer ones are cut).
void log_init(const char* filename, int level, int32_t demon_id, const char* name);

// Reads the logging settings from the configuration database, as log_init does: log_max_filesize
// (at least 10000), log_syslog_enabled, log_syslog_logleveloverride, log_syslog_server and
// log_syslog_my_hostname. Writes those only and logs nothing. A missing database gives the
// defaults at once; a locked one costs the retries of the database reads.
void log_read_settings();

// Why the log writer leaves the file with status `st` alone (st taken without following a
// symbolic link, as lstat gives it, or of the opened descriptor): "a symbolic link", "not a regular
// file", "a file with more than one link" or "owned by another user"; null when it writes there.
const char* log_file_refusal(const struct stat& st);

// For a configuration check: from now on every message is printed on stdout as
// "daemon log [level]: text", whatever its level, and nothing is written anywhere else.
void log_init_stdout();

// Records `text` at `level` (taken as a signed 8-bit number, so 255 means -1). Before log_init it
// prints "*** ERROR: log_init() missing ***: <text>" on stdout instead. Never fails visibly. The
// caught signals are blocked while it runs, so a signal handler never interrupts it. Not safe in a
// signal handler: it refreshes the local clock with localtime_r, uses stdio before log_init and
// formats the console path with snprintf; a handler uses log_signal_append.
void log_append(int level, const char* text);

// log_append for the signal handler: the same line in the same place (echo, file or syslog), for
// levels other than -1, after log_init (before it the text is dropped). Safe in a signal handler
// when log_syslog_send is the default: it uses only system calls (sigprocmask, time, open, fstat,
// ftruncate, writev, close, geteuid, and socket, connect, send, getpid in syslog mode), plain
// copies and std::to_chars; the time stamp comes from the local clock's span that log_append
// keeps current (log/local_clock.h).
void log_signal_append(int level, const char* text);

// The hand-off of a finished syslog-mode line ("[level]text\n", text cut to 249 characters) to
// the system logger under identity `ident` (log_my_demon_name). The default, log_syslog_datagram
// (log/log_syslog.h), sends it as syslog(3) with LOG_PID | LOG_CONS, LOG_USER and LOG_INFO would,
// over a connection that log_init opens, and is safe in a signal handler. Tests may point it at a
// recorder; a replacement is called from the signal handler as well.
using log_syslog_sender = void (*)(const char* ident, const char* line);
extern log_syslog_sender log_syslog_send;

// printf-style log_append: the text is formatted into a 1024-byte buffer (longer texts are cut).
// A line that no sink would take (its level above every threshold, no echo) is not formatted and
// costs no system call but time(). Not safe in a signal handler.
void log_appendf(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// localtime_r of `when` into *out (zeroed on failure) with the caught signals blocked. Not safe in
// a signal handler (the C library takes a lock and may read the zone file).
void log_local_time(time_t when, struct tm* out);
