// The set of signals the daemon catches, and blocking it around work that the signal handler must
// never interrupt (writing a log line, converting local time). The set is built once, before main.
// Part of the signal module; it depends on nothing else, so the log module can use it.
#pragma once

#include <signal.h>

// Signals 1 through this number are caught; higher numbers keep their default action.
constexpr int kLastCaughtSignal = 32;

// Blocks the caught signals (1 through kLastCaughtSignal, but the numbers the C library reserves
// for itself) and stores the previous mask in *previous. Safe in a handler.
void caught_signals_block(sigset_t* previous);

// Puts back the mask stored by caught_signals_block. Safe in a handler.
void caught_signals_restore(const sigset_t* previous);
