// The daemon's log: one call, log_append(level, text), turns a message into a line in the
// size-limited log file below /tmp/ or hands it to the system logger, and echoes it on stdout when
// the level is 5 or more. Level 1 is the most important; -1 goes to the system console.
#pragma once

#include <cstdint>
#include <ctime>

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

// Reads the logging settings from the configuration database, prints the description line (when
// the level is not 0) and records the start banner at level 1. The caller installs the signal
// handler afterwards (linux_signal_install_all), once everything it logs through is ready.
// `filename` is the bare file name (at most 249 characters), `name` the display
// name (at most 39 characters; longer ones are cut).
void log_init(const char* filename, int level, int32_t demon_id, const char* name);

// Records `text` at `level` (taken as a signed 8-bit number, so 255 means -1). Before log_init it
// prints "*** ERROR: log_init() missing ***: <text>" on stdout instead. Never fails visibly; safe
// to call from the signal handler (caught signals are blocked while a line is written).
void log_append(int level, const char* text);

// The hand-off of a finished syslog-mode line ("[level]text\n", text cut to 249 characters) to
// the system logger under identity `ident` (log_my_demon_name). The default opens the system log
// (LOG_PID | LOG_CONS, LOG_USER), sends the line at LOG_INFO and closes it again. Tests may point
// it at a recorder.
using log_syslog_sender = void (*)(const char* ident, const char* line);
extern log_syslog_sender log_syslog_send;

// printf-style log_append: the text is formatted into a 1024-byte buffer (longer texts are cut).
void log_appendf(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// localtime_r of `when` into *out (zeroed on failure) with the caught signals blocked, so that the
// signal handler, which takes the time for its log line, never interrupts a conversion. Every
// local-time conversion of the daemon goes through here.
void log_local_time(time_t when, struct tm* out);
