// Signal handling: every caught signal leaves a log line; SIGINT, SIGTRAP, SIGBUS, SIGSEGV and
// SIGTERM end the daemon with exit status 255, all others are logged as ignored.
#pragma once

#include <cstdint>

#include "log/signal_mask.h"

// Number of the signal whose handling is in progress, 0 when none. Written by the handler.
extern volatile int32_t linux_signal_received;
// " (NAME)" of the most recent signal, " (unbekannt)" for numbers without a name. Written by the
// handler.
extern char linux_signal_name[13];

// The handler for every caught signal. Logs "SIGNAL %d%s empfangen !" at level 1, then either ends
// the process with status 255 (_exit) or logs "Signal wird ignoriert" at level 4 and returns. A
// SIGILL or SIGFPE raised by the daemon's own instructions (seen by the installed handler through
// its si_code) ends the process with status 255 after its first line instead of repeating for
// ever; called directly, this function treats every SIGILL and SIGFPE as sent from outside.
// Uses only what is safe in a signal handler: plain copies, LineText, log_signal_append (with the
// default syslog sender) and _exit.
void linux_signal_handler(int signo);

// Ends the process with exit status 256 - n if signal n is recorded as pending; otherwise returns.
// Not safe in a signal handler (log_appendf, exit); the main loop calls it.
void linux_signal_check();

// Installs linux_signal_handler for one signal number with sigaction (SA_SIGINFO | SA_RESTART;
// the handler stays installed). Failures, e.g. SIGKILL, are ignored.
void linux_signal_install(int signo);

// Installs linux_signal_handler for every signal number from 1 through kLastCaughtSignal.
void linux_signal_install_all();

// The name text for signal number n, " (unbekannt)" when it has none. Safe in a signal handler.
const char* linux_signal_text(int signo);
