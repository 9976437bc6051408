// The daemon's own connection to the system logger, so that a syslog-mode line can be sent from
// the signal handler: the C library's openlog/syslog/closelog take a lock and allocate, which a
// handler that interrupted malloc or syslog would wait on for ever.
#pragma once

// Takes the logger's socket path (root prefix + "/dev/log") and the console's (root prefix +
// "/dev/console"), closes an earlier connection and connects. Not safe in a signal handler; called
// by log_init in syslog mode. A logger that is not there yet is connected to at the next line.
void log_syslog_open();

// Sends `line` under identity `ident` to the system logger as syslog(3) does for LOG_USER |
// LOG_INFO with LOG_PID | LOG_CONS: "<14>Mmm dd hh:mm:ss ident[pid]: line" in one datagram
// (local time, day padded with a blank; a stream socket gets a NUL after it). When the send fails
// it connects again and sends once more; when that fails too, "ident[pid]: line\r\n" goes to the
// console. Uses only time, getpid, socket, connect, send, open, writev and close: safe in a signal
// handler, as long as no other thread uses the connection (the log module calls it with the
// caught signals blocked). Lines longer than the daemon's syslog lines are cut.
void log_syslog_datagram(const char* ident, const char* line);
