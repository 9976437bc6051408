#include "bridge/options.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <span>
#include <string_view>

#include "bridge/library.h"
#include "bridge/settings.h"
#include "bridge/topics.h"
#include "log/log.h"
#include "support/paths.h"

int32_t mqtt_protocol = kMqttProtocolV31;
char mqtt_cafile[kPathSettingSize] = "";
char mqtt_certfile[kPathSettingSize] = "";
char mqtt_keyfile[kPathSettingSize] = "";
int32_t mqtt_tls = 0;
int32_t mqtt_backoff = 0;
int32_t mqtt_availability = 0;
char mqtt_discovery[kSettingSize] = "";
int32_t mqtt_command_qos = 0;
int32_t mqtt_command_retained = 0;
int32_t mqtt_command_numbers = 0;
int32_t mqtt_command_state = 0;
int32_t mqtt_heartbeat = 0;
int32_t mqtt_diagnostics = 0;
int32_t mqtt_utf8 = 0;
int32_t mqtt_classes = 0;
int32_t mqtt_scan = 0;

namespace {

constexpr int kNoCheck = -1;  // a row that --check describes with another (the TLS files)

// The value of the key being parsed, held as the configuration read holds any value.
char value[kValueSize];

// One opt-in key. Its parse reads `value` (json_read_key's result in `lookup`: -1 when the key is
// not in the file) into its setting: `number` for words and seconds, `text` for paths and texts.
struct option_row {
  int file;
  const char* key;
  void (*parse)(const option_row& row, int lookup);
  std::span<const char* const> words = {};  // the values of a word; words[0] is the default
  const int32_t* levels = nullptr;          // a word's setting for each word (null: its position)
  int32_t* number = nullptr;                // the setting of a word or of seconds
  char* text = nullptr;                     // the setting of a path or a text, and its size
  size_t text_size = 0;
  int32_t min_s = 0;  // seconds: the smallest and the largest accepted, and
  int32_t max_s = 0;  // what the refusal line says is used instead
  const char* fallback = nullptr;
  void (*after)() = nullptr;         // a rule over several keys, run once the row is parsed
  const char* piece = nullptr;       // its part of its summary line; %s: the value shown
  const char* (*shown)() = nullptr;  // the value shown there, when not the row's own text
  int check_group = kNoCheck;
  const char* check = nullptr;  // the --check line when the setting is not the default (or
  bool check_always = false;    // always); %s: its word, path, text or number
  bool (*describe)(option_printer print) = nullptr;  // the --check lines when `check` won't do
};

void log_unknown_value(const char* key, const char* fallback) {
  log_appendf(kLogEssential, "Config: unknown value \"%s\" of \"%s\", using %s", value, key,
              fallback);
}

int32_t word_setting(const option_row& row, size_t position) {
  return row.levels != nullptr ? row.levels[position] : static_cast<int32_t>(position);
}

// The position of the setting's current value among the row's words, or -1.
int current_word(const option_row& row) {
  for (size_t i = 0; i < row.words.size(); ++i) {
    if (word_setting(row, i) == *row.number) return static_cast<int>(i);
  }
  return -1;
}

// One of the row's words; a missing key gives the first without a line, an unknown value with one.
void parse_word(const option_row& row, int lookup) {
  size_t position = 0;
  if (lookup != -1) {
    while (position < row.words.size() && strcmp(value, row.words[position]) != 0) ++position;
    if (position == row.words.size()) {
      log_unknown_value(row.key, row.words[0]);
      position = 0;
    }
  }
  *row.number = word_setting(row, position);
}

// A file path; "" when it is missing, has no proper value or is too long for the setting (a cut
// path would name another file).
void parse_path(const option_row& row, int lookup) {
  row.text[0] = '\0';
  if (lookup == -1) return;
  if (lookup < 0) {
    log_unknown_value(row.key, "none");
    return;
  }
  if (static_cast<size_t>(lookup) >= row.text_size) {
    log_appendf(kLogEssential, "Config: \"%s\" longer than %ld characters, not used", row.key,
                static_cast<long>(row.text_size - 1));
    return;
  }
  snprintf(row.text, row.text_size, "%s", value);
}

// The protocol value a build's libmosquitto cannot speak, and why, for --check ("" when none).
char protocol_refused[kValueSize];

// A protocol level like any word, but one the built libmosquitto cannot speak is refused like an
// unknown value, naming the library version it needs.
void parse_protocol(const option_row& row, int lookup) {
  parse_word(row, lookup);
  protocol_refused[0] = '\0';
  char why[kLibraryWhySize];
  if (mqtt_library_speaks(*row.number, why)) return;
  log_appendf(kLogEssential, "Config: \"%s\" \"%s\" %s, using %s", row.key, value, why,
              row.words[0]);
  snprintf(protocol_refused, sizeof protocol_refused, "\"%s\" \"%s\" %s", row.key, value, why);
  *row.number = word_setting(row, 0);
}

// A text, cut to its setting; "" when missing or without a proper value, without a line.
void parse_text(const option_row& row, int lookup) {
  row.text[0] = '\0';
  if (lookup >= 0) snprintf(row.text, row.text_size, "%s", value);
}

// Whole seconds up to `max` written as plain digits; 0 for any other text (also "").
int32_t whole_seconds(const char* text, int32_t max) {
  int64_t seconds = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return 0;
    seconds = seconds * 10 + (*c - '0');
    if (seconds > max) return 0;
  }
  return static_cast<int32_t>(seconds);
}

// At least the interval (a shorter heartbeat would publish every value in every cycle).
void parse_heartbeat(const option_row& row, int lookup) {
  *row.number = 0;
  if (lookup == -1) return;
  const int32_t seconds = whole_seconds(value, row.max_s);
  if (seconds >= mqtt_interval) {
    *row.number = seconds;
    return;
  }
  log_appendf(kLogEssential,
              "Config: \"%s\" \"%s\" is no number of seconds of at least the interval (%ld), "
              "heartbeat off",
              row.key, value, static_cast<long>(mqtt_interval));
}

// Whole seconds from min_s to max_s; anything else keeps the default 0.
void parse_seconds(const option_row& row, int lookup) {
  *row.number = 0;
  if (lookup == -1) return;
  const int32_t seconds = whole_seconds(value, row.max_s);
  if (seconds >= row.min_s && seconds > 0)
    *row.number = seconds;
  else
    log_unknown_value(row.key, row.fallback);
}

// A certificate without its key (or the reverse) cannot be used; neither is.
void certificate_with_key() {
  if ((mqtt_certfile[0] == '\0') == (mqtt_keyfile[0] == '\0')) return;
  log_append(kLogEssential, "Config: \"certfile\" and \"keyfile\" go together, neither used");
  mqtt_certfile[0] = '\0';
  mqtt_keyfile[0] = '\0';
}

const char* tls_shown() {
  return mqtt_tls_on(mqtt_port) ? "on" : "off";
}

const char* qos_shown() {
  static constexpr const char* kShown[] = {"0", "1 (persistent session)", "2 (persistent session)"};
  return mqtt_command_qos >= 0 && mqtt_command_qos <= 2 ? kShown[mqtt_command_qos] : "?";
}

constexpr const char* kOffOn[] = {"off", "on"};
constexpr const char* kProtocolWords[] = {"3.1", "3.1.1", "5"};
constexpr int32_t kProtocolLevels[] = {kMqttProtocolV31, kMqttProtocolV311, kMqttProtocolV5};
constexpr const char* kQosWords[] = {"0", "1", "2"};
constexpr const char* kRetainedWords[] = {"apply", "ignore"};
constexpr const char* kNumbersWords[] = {"any", "strict"};

// One --check line of `kind` through `print`.
__attribute__((format(printf, 3, 4))) void note(option_printer print, int kind, const char* format,
                                                ...) {
  char line[512];  // fixed text and a path, a topic or a number
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  print(kind, line);
}

bool describe_protocol(option_printer print) {
  const char* level = "?";
  for (size_t i = 0; i < std::size(kProtocolLevels); ++i) {
    if (kProtocolLevels[i] == mqtt_protocol) level = kProtocolWords[i];
  }
  note(print, kNoteFact, "protocol: MQTT %s", level);
  if (protocol_refused[0] != '\0')
    note(print, kNoteError, "%s: the daemon speaks MQTT %s", protocol_refused, level);
  return true;
}

bool describe_tls(option_printer print) {
  if (!mqtt_tls_on(mqtt_port)) {
    note(print, kNoteFact, "tls: off (port %d or \"tls\":\"on\" switch it on)", kTlsPort);
    if (mqtt_cafile[0] != '\0' || (mqtt_certfile[0] != '\0' && mqtt_keyfile[0] != '\0'))
      note(print, kNoteWarning, "\"cafile\", \"certfile\" and \"keyfile\" are used only with TLS");
    return true;
  }
  char cafile[kPathCapacity];
  path_with_root(mqtt_cafile[0] != '\0' ? mqtt_cafile : kCaBundle, cafile, sizeof cafile);
  note(print, kNoteFact, "tls: on, %s %s", mqtt_cafile[0] != '\0' ? "CA file" : "CA bundle",
       cafile);
  return true;
}

bool describe_availability(option_printer print) {
  if (mqtt_availability == 0) return false;
  char topic[kAvailabilityTopicSize];
  availability_topic(mqtt_username, topic);
  note(print, kNoteFact, "availability: on, topic %s", topic);
  return true;
}

bool describe_command_state(option_printer print) {
  if (mqtt_command_state == 0) return false;
  char topic[kStateTopicSize];
  state_topic(mqtt_username, "<call name>", topic);
  note(print, kNoteFact, "command state: on, %s", topic);
  return true;
}

bool describe_heartbeat(option_printer print) {
  if (mqtt_heartbeat <= 0) return false;
  if (mqtt_discovery[0] == '\0')
    note(print, kNoteFact, "heartbeat: %ld s", static_cast<long>(mqtt_heartbeat));
  else
    note(print, kNoteFact, "heartbeat: %ld s, sensors expire after %lld s",
         static_cast<long>(mqtt_heartbeat), mqtt_expire_after_s());
  return true;
}

bool describe_diagnostics(option_printer print) {
  if (mqtt_diagnostics == 0) return false;
  char topic[kDiagnosticsTopicSize];
  diagnostics_topic(mqtt_username, topic);
  note(print, kNoteFact, "diagnostics: on, topic %s", topic);
  return true;
}

bool describe_classes(option_printer print) {
  if (mqtt_classes == 0) return false;
  note(print, kNoteFact, "classes: on");
  if (mqtt_discovery[0] == '\0')
    note(print, kNoteWarning, "\"classes\" without \"discovery\": it has no effect");
  return true;
}

// Whether the file held the key (with or without a proper value): the table is defined below.
bool present_in_file(const char* key);

bool describe_scan(option_printer print) {
  if (mqtt_scan > 0)
    note(print, kNoteFact, "scan: a publish cycle every %ld s", static_cast<long>(mqtt_scan));
  else if (present_in_file("scan"))
    note(print, kNoteFact, "scan: not used, a publish cycle every %ld s (interval)",
         static_cast<long>(mqtt_interval));
  else
    return false;
  return true;
}

bool describe_backoff(option_printer print) {
  if (mqtt_backoff > 0)
    note(print, kNoteFact, "backoff: each attempt at most %d s, then a random wait of up to %ld s",
         kAttemptMs / 1000, static_cast<long>(mqtt_backoff));
  else if (present_in_file("backoff"))
    note(print, kNoteFact, "backoff: not used, a lost session is rebuilt at the next cycle");
  else
    return false;
  return true;
}

// The table, in the order the keys are parsed (the order of their refusal lines) and described by
// --check. brokerAccess.json comes first: the summary needs the port, the heartbeat the interval,
// each parsed with its file's legacy keys before the opt-in keys.
// clang-format off
constexpr option_row kRows[] = {
    {.file = kAccessFile, .key = "protocol", .parse = parse_protocol, .words = kProtocolWords,
     .levels = kProtocolLevels, .number = &mqtt_protocol, .piece = "protocol %s",
     .check_group = kCheckConnection, .describe = describe_protocol},
    {.file = kAccessFile, .key = "cafile", .parse = parse_path,
     .text = mqtt_cafile, .text_size = sizeof mqtt_cafile, .piece = "cafile:\"%s\""},
    {.file = kAccessFile, .key = "certfile", .parse = parse_path,
     .text = mqtt_certfile, .text_size = sizeof mqtt_certfile, .piece = "certfile:\"%s\""},
    {.file = kAccessFile, .key = "keyfile", .parse = parse_path,
     .text = mqtt_keyfile, .text_size = sizeof mqtt_keyfile, .after = certificate_with_key,
     .piece = "keyfile:\"%s\""},
    {.file = kAccessFile, .key = "tls", .parse = parse_word, .words = kOffOn, .number = &mqtt_tls,
     .piece = "TLS: %s", .shown = tls_shown,
     .check_group = kCheckConnection, .describe = describe_tls},
    {.file = kAccessFile, .key = "backoff", .parse = parse_seconds, .number = &mqtt_backoff,
     .min_s = kBackoffMinS, .max_s = kBackoffMaxS, .fallback = "no backoff",
     .piece = "a random wait of up to %s s before each new attempt",
     .check_group = kCheckConnection, .describe = describe_backoff},
    {.file = kSetupFile, .key = "availability", .parse = parse_word, .words = kOffOn,
     .number = &mqtt_availability, .piece = "availability: %s",
     .check_group = kCheckSetup, .describe = describe_availability},
    {.file = kSetupFile, .key = "discovery", .parse = parse_text,
     .text = mqtt_discovery, .text_size = sizeof mqtt_discovery,
     .check_group = kCheckSetup, .check = "discovery: on, prefix %s"},
    {.file = kSetupFile, .key = "command_qos", .parse = parse_word, .words = kQosWords,
     .number = &mqtt_command_qos, .piece = "QoS %s", .shown = qos_shown,
     .check_group = kCheckCommands, .check = "command qos: %s, persistent session"},
    {.file = kSetupFile, .key = "command_retained", .parse = parse_word, .words = kRetainedWords,
     .number = &mqtt_command_retained, .piece = "retained: %s",
     .check_group = kCheckCommands, .check = "retained commands: not applied"},
    {.file = kSetupFile, .key = "command_numbers", .parse = parse_word, .words = kNumbersWords,
     .number = &mqtt_command_numbers, .piece = "numbers: %s",
     .check_group = kCheckCommands, .check = "command numbers: strict"},
    {.file = kSetupFile, .key = "command_state", .parse = parse_word, .words = kOffOn,
     .number = &mqtt_command_state, .piece = "state: %s",
     .check_group = kCheckCommands, .describe = describe_command_state},
    {.file = kSetupFile, .key = "heartbeat", .parse = parse_heartbeat,
     .number = &mqtt_heartbeat, .max_s = 999999999, .piece = "heartbeat: %s s",
     .check_group = kCheckSetup, .describe = describe_heartbeat},
    {.file = kSetupFile, .key = "diagnostics", .parse = parse_word, .words = kOffOn,
     .number = &mqtt_diagnostics, .piece = "diagnostics: %s",
     .check_group = kCheckSetup, .describe = describe_diagnostics},
    {.file = kSetupFile, .key = "utf8", .parse = parse_word, .words = kOffOn,
     .number = &mqtt_utf8, .piece = "utf8: %s",
     .check_group = kCheckSetup, .check = "utf8: on, call and unit of the payload in UTF-8"},
    {.file = kSetupFile, .key = "classes", .parse = parse_word, .words = kOffOn,
     .number = &mqtt_classes, .piece = "classes: %s",
     .check_group = kCheckSetup, .describe = describe_classes},
    {.file = kSetupFile, .key = "scan", .parse = parse_seconds, .number = &mqtt_scan,
     .min_s = 1, .max_s = kScanMaxS, .fallback = "the interval", .piece = "a publish cycle every %s s",
     .check_group = kCheckSetup, .describe = describe_scan},
};
// clang-format on
constexpr size_t kRowCount = std::size(kRows);

// Whether each key was in its file at the last parse of that file (with or without a value).
bool present[kRowCount];

constexpr size_t row_of(std::string_view key) {
  size_t i = 0;
  while (i < kRowCount && key != kRows[i].key) ++i;
  return i;
}

bool present_in_file(const char* key) {
  return present[row_of(key)];
}

// One level-1 summary line: its head and its keys, in the order it shows them.
struct summary_line {
  const char* head;
  std::array<const char*, 6> keys;
  bool when_set = false;  // written when its (one) key is set, not when a key of it is in the file
};
constexpr summary_line kSummaryLines[] = {
    {"Command options: ", {"command_qos", "command_retained", "command_numbers", "command_state"}},
    {"Home Assistant options: ", {"heartbeat", "diagnostics", "utf8", "classes"}},
    {"Scan: ", {"scan"}, true},
    {"Backoff: ", {"backoff"}, true},
    {"Broker options: ", {"protocol", "tls", "cafile", "certfile", "keyfile", "availability"}},
};
static_assert([] {
  for (const summary_line& line : kSummaryLines) {
    for (const char* key : line.keys) {
      if (key != nullptr && row_of(key) == kRowCount) return false;
    }
  }
  return true;
}());

// The value of a row as text: its word ("?" for a setting that is none of them), path, text or
// number; for the summary (`summary`) in the summary's own form where the row has one.
void value_text(const option_row& row, bool summary, char (&out)[kPathSettingSize]) {
  if (summary && row.shown != nullptr) {
    snprintf(out, sizeof out, "%s", row.shown());
  } else if (row.text != nullptr) {
    snprintf(out, sizeof out, "%s", row.text);
  } else if (row.words.empty()) {
    snprintf(out, sizeof out, "%ld", static_cast<long>(*row.number));
  } else {
    const int at = current_word(row);
    snprintf(out, sizeof out, "%s", at >= 0 ? row.words[at] : "?");
  }
}

bool at_default(const option_row& row) {
  if (row.text != nullptr) return row.text[0] == '\0';
  return *row.number == (row.words.empty() ? 0 : word_setting(row, 0));
}

// Whether a summary line is written: a key of it in the file, or its one key set.
bool summary_due(const summary_line& summary) {
  for (const char* key : summary.keys) {
    if (key == nullptr) break;
    const size_t i = row_of(key);
    if (summary.when_set ? !at_default(kRows[i]) : present[i]) return true;
  }
  return false;
}

}  // namespace

bool mqtt_tls_on(int port) {
  return port == kTlsPort || mqtt_tls != 0;
}

bool mqtt_session_persistent() {
  return mqtt_command_qos > 0;
}

long long mqtt_expire_after_s() {
  return mqtt_heartbeat > 0 ? 2LL * mqtt_heartbeat + mqtt_interval : 0;
}

void mqtt_parse_options(int file, const char* text) {
  for (size_t i = 0; i < kRowCount; ++i) {
    const option_row& row = kRows[i];
    if (row.file != file) continue;
    const int lookup = json_read_key(text, row.key, value, sizeof value);
    present[i] = lookup != -1;
    row.parse(row, lookup);
    if (row.after != nullptr) row.after();
  }
}

void mqtt_log_options() {
  for (const summary_line& summary : kSummaryLines) {
    if (!summary_due(summary)) continue;
    char line[1024];
    size_t n = static_cast<size_t>(snprintf(line, sizeof line, "%s", summary.head));
    for (const char* key : summary.keys) {
      if (key == nullptr || n >= sizeof line) break;
      const option_row& row = kRows[row_of(key)];
      char shown[kPathSettingSize];
      value_text(row, true, shown);
      if (key != summary.keys[0])
        n += static_cast<size_t>(snprintf(line + n, sizeof line - n, ", "));
      if (n < sizeof line)
        n += static_cast<size_t>(snprintf(line + n, sizeof line - n, row.piece, shown));
    }
    log_append(kLogEssential, line);
  }
}

int mqtt_describe_options(int group, option_printer print) {
  int described = 0;
  for (const option_row& row : kRows) {
    if (row.check_group != group) continue;
    if (row.describe != nullptr) {
      described += row.describe(print) ? 1 : 0;
    } else if (row.check_always || !at_default(row)) {
      char text[kPathSettingSize];
      value_text(row, false, text);
      note(print, kNoteFact, row.check, text);
      ++described;
    }
  }
  return described;
}
