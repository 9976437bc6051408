#include "log/signal.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "log/line_text.h"
#include "log/log.h"

volatile int32_t linux_signal_received = 0;
char linux_signal_name[13];

namespace {

// The kernel's first real-time signal. The C library's SIGRTMIN is a function of what the
// library reserves for itself, so the kernel's fixed number is used for the name.
constexpr int kFirstRealtimeSignal = 32;
constexpr const char* kUnknownName = " (unbekannt)";
// Exit status of a process ended by a terminating signal.
constexpr int kSignalExitStatus = 255;
constexpr size_t kLineSize = 260;

// The signals that end the daemon; all others are logged and ignored.
bool is_terminating(int signo) {
  return signo == SIGINT || signo == SIGTRAP || signo == SIGBUS || signo == SIGSEGV ||
         signo == SIGTERM;
}

// Handles signal signo: logs it, then ends the process or returns. own_fault is true for a
// SIGILL or SIGFPE that the process's own instructions raised: returning would execute the
// faulting instruction again, so the process ends after the first line instead. Everything here
// is safe in a signal handler: plain copies, LineText, log_signal_append and _exit.
void handle_signal(int signo, bool own_fault) {
  const char* name = linux_signal_text(signo);
  size_t i = 0;
  for (; name[i] != '\0' && i + 1 < sizeof linux_signal_name; ++i) linux_signal_name[i] = name[i];
  linux_signal_name[i] = '\0';

  // The line is made from this call's own name: a different signal may interrupt this handler
  // and overwrite linux_signal_name before the line is written.
  char line[kLineSize];
  LineText text(line, sizeof line);
  text.text("SIGNAL ").number(signo).text(name).text(" empfangen !");
  log_signal_append(kLogEssential, line);
  linux_signal_received = signo;

  // _exit, not exit: the handler may have interrupted the C library anywhere, so no atexit
  // handlers and no stdio flush run here (stdout is line-buffered, nothing is left in it).
  if (is_terminating(signo) || own_fault) _exit(kSignalExitStatus);

  log_signal_append(kLogDebug, "Signal wird ignoriert");
  linux_signal_received = 0;
}

// The installed handler. si_code above 0 means the kernel raised the signal for this process
// (a fault); kill, tkill and sigqueue give SI_USER, SI_TKILL and SI_QUEUE, all 0 or below.
void signal_action(int signo, siginfo_t* info, void* /*context*/) {
  int saved_errno = errno;
  bool own_fault = (signo == SIGILL || signo == SIGFPE) && info != nullptr && info->si_code > 0;
  handle_signal(signo, own_fault);
  errno = saved_errno;
}

}  // namespace

// Names by this platform's signal constants; numbers without a row read " (unbekannt)", among
// them SIGEMT (MIPS) and SIGSTKFLT (x86).
// NOLINTNEXTLINE(readability-function-size): a flat table, one case per signal.
const char* linux_signal_text(int signo) {
  switch (signo) {
    case SIGHUP:
      return " (HUP)";
    case SIGINT:
      return " (INT)";
    case SIGQUIT:
      return " (QUIT)";
    case SIGILL:
      return " (ILL)";
    case SIGTRAP:
      return " (TRAP)";
    case SIGABRT:
      return " (ABRT)";
    case SIGFPE:
      return " (FPE)";
    case SIGKILL:
      return " (KILL)";
    case SIGBUS:
      return " (BUS)";
    case SIGSEGV:
      return " (SEGV)";
    case SIGSYS:
      return " (SYS)";
    case SIGPIPE:
      return " (PIPE)";
    case SIGALRM:
      return " (ALRM)";
    case SIGTERM:
      return " (TERM)";
    case SIGUSR1:
      return " (USR1)";
    case SIGUSR2:
      return " (USR2)";
    case SIGCHLD:
      return " (CHLD)";
    case SIGPWR:
      return " (PWR)";
    case SIGWINCH:
      return " (WINCH)";
    case SIGURG:
      return " (URG)";
    case SIGPOLL:
      return " (POLL)";
    case SIGSTOP:
      return " (STOP)";
    case SIGTSTP:
      return " (TSTP)";
    case SIGCONT:
      return " (CONT)";
    case SIGTTIN:
      return " (TTIN)";
    case SIGTTOU:
      return " (TTOU)";
    case SIGVTALRM:
      return " (VTALRM)";
    case SIGPROF:
      return " (PROF)";
    case SIGXCPU:
      return " (XCPU)";
    case SIGXFSZ:
      return " (XFSZ)";
    case kFirstRealtimeSignal:
      return " (RTMIN)";
    default:
      return kUnknownName;
  }
}

// Called directly (not through a delivered signal) there is no way to tell a fault from a sent
// signal, so SIGILL and SIGFPE are treated as sent.
void linux_signal_handler(int signo) {
  handle_signal(signo, false);
}

// Nothing is pending outside a running handler, so in the daemon's one thread this returns.
void linux_signal_check() {
  if (linux_signal_received <= 0) return;
  int32_t signo = linux_signal_received;
  log_appendf(kLogEssential, "Programm wird beendet. (Signal %ld %s)", static_cast<long>(signo),
              linux_signal_name);
  exit(-signo);
}

// The handler stays installed after each delivery, and interrupted reads and writes are
// restarted, so an ignored signal does not make them fail (sleeps still end early).
void linux_signal_install(int signo) {
  struct sigaction action = {};
  action.sa_sigaction = signal_action;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(signo, &action, nullptr);
}

// Numbers that cannot be caught (SIGKILL, SIGSTOP) or that the C library reserves are refused
// by sigaction and keep their default action.
void linux_signal_install_all() {
  for (int signo = 1; signo <= kLastCaughtSignal; ++signo) linux_signal_install(signo);
}
