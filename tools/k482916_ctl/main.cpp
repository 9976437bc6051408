// Command line of k482916_ctl: checks every argument strictly, then runs one subcommand.
#include <errno.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ctl.h"
#include "support/paths.h"

namespace {

constexpr const char* kUsage =
    "usage: k482916_ctl COMMAND [ARGS]\n"
    "Plays the controller's part for mqtt_k482916_demon: its shared-memory segments, start-up\n"
    "lock, reload counter and sensor entries.\n"
    "\n"
    "commands:\n"
    "  create [--locked]     create every segment (mode 0666, zeroed); the start-up lock is\n"
    "                        released unless --locked\n"
    "  remove                remove every segment that exists\n"
    "  lock | unlock         hold (startup_lock = 0) or release (1) the start-up lock\n"
    "  reload                add 1 to the reload counter (the daemon re-reads its configuration)\n"
    "  set DBID VALUE [--type 1|2|4] [--unit U] [--error N] [--real-id R]\n"
    "                        write an entry: DB id, type (default 1), the value block of the type\n"
    "                        (value1 for 1, value2 for 2 and 4), unit (at most 11 characters;\n"
    "                        kept when not given), error code (default 0); without --real-id the\n"
    "                        entry already holding DBID is reused, else the first free one\n"
    "  show [DBID...]        table of the used entries, or of those holding the DB ids\n"
    "  status [SLOT]         the decoded status entry of SLOT (0..127, default 68)\n"
    "  populate N            write N sensors (1..512) with DB ids 1001.. and varied units/types\n"
    "  drift [--seconds N] [--period MS]\n"
    "                        keep changing the sensor values every MS milliseconds (default 1000)\n"
    "                        until SIGINT/SIGTERM or N seconds; actors follow their commands\n"
    "\n"
    "environment:\n"
    "  K482916_SHM_KEY_OFFSET=N   added to every segment key (default 0)\n"
    "\n"
    "exit status: 0 done, 1 segments missing or the system refused, 2 bad command line\n";

// Prints a command-line error and the hint to --help; returns the usage exit status.
int usage_error(const char* format, const char* detail) {
  std::fprintf(stderr, "k482916_ctl: ");
  std::fprintf(stderr, format, detail);
  std::fprintf(stderr, "\nTry 'k482916_ctl --help'.\n");
  return kExitUsage;
}

// A whole decimal int32: optional sign and digits, nothing before or after.
bool parse_int32(const char* text, int32_t* out) {
  if (text == nullptr || *text == '\0' || std::strchr(" \t\n\v\f\r", *text) != nullptr)
    return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') return false;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

// A whole finite decimal number; "nan", "inf" and trailing text are refused.
bool parse_value(const char* text, double* out) {
  if (text == nullptr || *text == '\0' || std::strchr(" \t\n\v\f\r", *text) != nullptr)
    return false;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(v) || errno == ERANGE) return false;
  *out = v;
  return true;
}

bool is_option(const char* arg) {
  return std::strncmp(arg, "--", 2) == 0;
}

// The value that follows option args[*i]; advances *i. Null when it is missing.
const char* option_value(int argc, char** args, int* i) {
  if (*i + 1 >= argc) return nullptr;
  ++*i;
  return args[*i];
}

int run_create(int argc, char** args) {
  bool locked = false;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(args[i], "--locked") == 0)
      locked = true;
    else
      return usage_error("create: unexpected argument '%s'", args[i]);
  }
  return ctl_create(locked);
}

int run_no_arguments(const char* command, int argc, char** args) {
  if (argc > 0) {
    std::fprintf(stderr, "k482916_ctl: %s takes no arguments\n", command);
    return usage_error("unexpected argument '%s'", args[0]);
  }
  if (std::strcmp(command, "remove") == 0) return ctl_remove();
  if (std::strcmp(command, "lock") == 0) return ctl_set_lock(0);
  if (std::strcmp(command, "unlock") == 0) return ctl_set_lock(1);
  return ctl_reload();
}

int run_set(int argc, char** args) {
  set_request request;
  int positional = 0;
  for (int i = 0; i < argc; ++i) {
    const char* arg = args[i];
    if (!is_option(arg)) {
      if (positional == 0) {
        if (!parse_int32(arg, &request.db_id))
          return usage_error("set: DB id '%s' is not a whole number", arg);
        if (request.db_id == 0) return usage_error("set: DB id %s marks a free entry", arg);
      } else if (positional == 1) {
        if (!parse_value(arg, &request.value))
          return usage_error("set: value '%s' is not a finite number", arg);
      } else {
        return usage_error("set: unexpected argument '%s'", arg);
      }
      ++positional;
      continue;
    }
    const char* value = option_value(argc, args, &i);
    if (value == nullptr) return usage_error("set: %s needs a value", arg);
    if (std::strcmp(arg, "--type") == 0) {
      if (!parse_int32(value, &request.type) ||
          (request.type != kEntrySensor && request.type != kEntryActor &&
           request.type != kEntrySensor2))
        return usage_error("set: type '%s' is not 1, 2 or 4", value);
    } else if (std::strcmp(arg, "--unit") == 0) {
      if (std::strlen(value) > kUnitChars)
        return usage_error("set: unit '%s' is longer than 11 characters", value);
      std::snprintf(request.unit, sizeof request.unit, "%s", value);
      request.unit_given = true;
    } else if (std::strcmp(arg, "--error") == 0) {
      if (!parse_int32(value, &request.error_code))
        return usage_error("set: error code '%s' is not a whole number", value);
    } else if (std::strcmp(arg, "--real-id") == 0) {
      if (!parse_int32(value, &request.real_id) || request.real_id < 0 ||
          request.real_id >= kSensorCount)
        return usage_error("set: real id '%s' is not in 0..511", value);
    } else {
      return usage_error("set: unknown option '%s'", arg);
    }
  }
  if (positional < 2) return usage_error("set: needs DBID and VALUE%s", "");
  return ctl_set(request);
}

int run_show(int argc, char** args) {
  int32_t db_ids[kSensorCount];
  if (argc > kSensorCount) return usage_error("show: at most 512 DB ids%s", "");
  for (int i = 0; i < argc; ++i) {
    if (!parse_int32(args[i], &db_ids[i]) || db_ids[i] == 0)
      return usage_error("show: DB id '%s' is not a whole number other than 0", args[i]);
  }
  return ctl_show(db_ids, static_cast<size_t>(argc));
}

int run_status(int argc, char** args) {
  int32_t slot = kDemonSlot;
  if (argc > 1) return usage_error("status: unexpected argument '%s'", args[1]);
  if (argc == 1 && (!parse_int32(args[0], &slot) || slot < 0 || slot >= kStatusSlots))
    return usage_error("status: slot '%s' is not in 0..127", args[0]);
  return ctl_status(slot);
}

int run_populate(int argc, char** args) {
  int32_t count = 0;
  if (argc != 1) return usage_error("populate: needs exactly one count N%s", "");
  if (!parse_int32(args[0], &count) || count < 1 || count > kSensorCount)
    return usage_error("populate: count '%s' is not in 1..512", args[0]);
  return ctl_populate(count);
}

int run_drift(int argc, char** args) {
  int32_t seconds = 0;
  int32_t period_ms = 1000;
  for (int i = 0; i < argc; ++i) {
    const char* arg = args[i];
    if (!is_option(arg)) return usage_error("drift: unexpected argument '%s'", arg);
    const char* value = option_value(argc, args, &i);
    if (value == nullptr) return usage_error("drift: %s needs a value", arg);
    if (std::strcmp(arg, "--seconds") == 0) {
      if (!parse_int32(value, &seconds) || seconds < 0)
        return usage_error("drift: seconds '%s' is not a whole number of 0 or more", value);
    } else if (std::strcmp(arg, "--period") == 0) {
      if (!parse_int32(value, &period_ms) || period_ms < 1 || period_ms > 3600000)
        return usage_error("drift: period '%s' is not in 1..3600000 ms", value);
    } else {
      return usage_error("drift: unknown option '%s'", arg);
    }
  }
  return ctl_drift(seconds, period_ms);
}

}  // namespace

int main(int argc, char** argv) {
  if (paths_init() != 0) return kExitBadEnvironment;
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
  }
  const char* command = argv[1];
  int rest = argc - 2;
  char** args = argv + 2;
  if (std::strcmp(command, "create") == 0) return run_create(rest, args);
  if (std::strcmp(command, "remove") == 0 || std::strcmp(command, "lock") == 0 ||
      std::strcmp(command, "unlock") == 0 || std::strcmp(command, "reload") == 0)
    return run_no_arguments(command, rest, args);
  if (std::strcmp(command, "set") == 0) return run_set(rest, args);
  if (std::strcmp(command, "show") == 0) return run_show(rest, args);
  if (std::strcmp(command, "status") == 0) return run_status(rest, args);
  if (std::strcmp(command, "populate") == 0) return run_populate(rest, args);
  if (std::strcmp(command, "drift") == 0) return run_drift(rest, args);
  return usage_error("unknown command '%s'", command);
}
