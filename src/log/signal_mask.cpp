#include "log/signal_mask.h"

namespace {

sigset_t make_caught_set() {
  sigset_t caught;
  sigemptyset(&caught);
  // Numbers the C library reserves for itself are refused by sigaddset; they are not caught.
  for (int signo = 1; signo <= kLastCaughtSignal; ++signo) sigaddset(&caught, signo);
  return caught;
}

// Built during static initialisation, so no signal handler ever sees it half made.
const sigset_t caught_set = make_caught_set();

}  // namespace

void caught_signals_block(sigset_t* previous) {
  sigprocmask(SIG_BLOCK, &caught_set, previous);
}

void caught_signals_restore(const sigset_t* previous) {
  sigprocmask(SIG_SETMASK, previous, nullptr);
}
