// The configuration check. Both files are read and looked up with the daemon's own routines (the
// same scanner, limits, floors and defaults, the same table rules); on top of that, small look-ups
// find the places where the plain text search would take something other than what the writer
// of the file meant, and say so.
#include "check/check.h"

#include <mosquitto.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "bridge/library.h"
#include "bridge/options.h"
#include "bridge/parse.h"
#include "bridge/scanner.h"
#include "bridge/selection.h"
#include "bridge/session.h"
#include "bridge/settings.h"
#include "bridge/tls.h"
#include "bridge/topics.h"
#include "log/log.h"
#include "support/identity.h"
#include "support/paths.h"
#include "support/readfile.h"
#include "support/sqldb.h"

namespace {

// MQTT 3.1 allows client ids of 1 to 23 characters; stricter brokers refuse longer ones.
constexpr size_t kStrictClientIdLength = 23;
constexpr int32_t kMaxPort = 65535;

int warnings = 0;
int errors = 0;

// Storage of the check: one file at a time, as the full read holds it, and the call table.
char text[kConfigTextSize];
char section[kSectionSize];
call_table calls;

// One "kind: text" line, counted in *count.
void report(const char* kind, int* count, const char* format, va_list args) {
  ++*count;
  printf("%s: ", kind);
  vprintf(format, args);
  putchar('\n');
}

__attribute__((format(printf, 1, 2))) void warn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  report("warning", &warnings, format, args);
  va_end(args);
}

__attribute__((format(printf, 1, 2))) void fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  report("error", &errors, format, args);
  va_end(args);
}

// How the opt-in keys' descriptions reach the output (mqtt_describe_options).
void print_note(int note, const char* text) {
  if (note == kNoteWarning)
    warn("%s", text);
  else if (note == kNoteError)
    fail("%s", text);
  else
    printf("%s\n", text);
}

void print_usage(FILE* out) {
  fprintf(out,
          "Usage: %s [-v]                run the daemon (-v: print the version)\n"
          "       %s --check [--connect] check the configuration and exit\n"
          "       %s --help | -h         print this text\n"
          "--check reads brokerAccess.json, brokerSetup.json and the settings database as the\n"
          "daemon does and prints the settings, the tables and every pitfall found; --connect\n"
          "also opens one session to the broker and prints its answer. Exit status: 0 usable,\n"
          "1 errors, 2 bad command line. Nothing is started, attached, logged or created.\n",
          kDemonName, kDemonName, kDemonName);
}

// Line number (from 1) of text[pos].
int line_of(int pos) {
  int line = 1;
  for (int i = 0; i < pos; i++) line += text[i] == '\n';
  return line;
}

// Reads one configuration file into text as the full read does (a file that cannot be read
// leaves text as it was). Returns false when it cannot be read.
bool read_config_file(const char* absolute) {
  char path[kPathCapacity];
  path_with_root(absolute, path, sizeof path);
  const int32_t bytes = readfileinstring(path, text, sizeof text);
  if (bytes < 0) {
    fail("cannot read %s: %s", path, strerror(errno));
    return false;
  }
  printf("file: %s, %ld bytes\n", path, static_cast<long>(bytes));
  struct stat st;
  if (stat(path, &st) == 0 && st.st_size >= static_cast<off_t>(kConfigTextSize)) {
    warn("%s has %lld bytes: only the first %zu are read", path, static_cast<long long>(st.st_size),
         kConfigTextSize - 1);
  }
  return true;
}

// Looks `tag` up as the daemon does and returns the lookup's result (-1: not found). Warns when
// the lookup starts at a place that is not the key, or when the key's value is not quoted: in
// both cases the daemon takes the next quoted text, which is shown unless `secret`.
int check_key(const char* tag, bool secret) {
  char found[kSettingSize];
  const int rc = json_read_tag(text, tag, found, sizeof found);
  const int p = str_find(text, tag, 0);
  if (p < 0) return rc;
  const int value = json_key_at(text, tag, p);
  const char* shown = secret ? "(censored)" : found;
  if (value < 0) {
    warn(
        "\"%s\" first occurs at line %d inside another key or value; the daemon reads the "
        "value after that place: \"%s\"",
        tag, line_of(p), shown);
  } else if (text[value] != '"') {
    warn(
        "\"%s\" at line %d: value not in double quotes; the daemon takes the next quoted text "
        "instead: \"%s\"",
        tag, line_of(p), shown);
  }
  return rc;
}

// A controller of a fleet logs in at a shared broker service: its password is worth keeping.
void check_access_mode() {
  char path[kPathCapacity];
  path_with_root(kBrokerAccessFile, path, sizeof path);
  struct stat st;
  if (stat(path, &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0)
    warn(
        "%s is readable by group or others (mode %03o): it holds the password of this "
        "controller's login at the broker service",
        path, static_cast<unsigned>(st.st_mode & 0777));
}

void check_host_port(int host_rc, int port_rc) {
  printf("host: %s\n", mqtt_host);
  if (host_rc <= 0) fail("no host in brokerAccess.json");
  printf("port: %ld\n", static_cast<long>(mqtt_port));
  if (port_rc < 0)
    fail("no port in brokerAccess.json");
  else if (mqtt_port < 1 || mqtt_port > kMaxPort)
    fail("port %ld is no TCP port", static_cast<long>(mqtt_port));
}

// The TLS files with the session's own files and key rule (bridge/tls.h), after the TLS line.
void check_tls() {
  if (!mqtt_tls_on(mqtt_port)) return;
  tls_files files;
  mqtt_tls_files(&files);
  const char* ca_kind = mqtt_cafile[0] != '\0' ? "CA file" : "CA bundle";
  // Without its CA file the daemon does not connect at all rather than send the password in
  // clear text: the configuration cannot work.
  if (access(files.cafile, R_OK) != 0)
    fail("%s %s cannot be read (%s): with TLS the daemon never connects", ca_kind, files.cafile,
         strerror(errno));
  if (!files.with_cert) return;
  printf("client certificate: %s, key %s\n", files.certfile, files.keyfile);
  char why[kPathCapacity + 64];
  if (mqtt_key_exposed(files, why, sizeof why)) fail("%s: the daemon does not use it", why);
}

void check_uuid(int user_rc) {
  printf("uuid: %s\n", mqtt_username);
  const size_t user_length = strlen(mqtt_username);
  if (user_rc < 0) {
    fail("no uuid in brokerAccess.json");
  } else if (user_length == 0) {
    fail("the uuid is empty: no client can be made for it");
  } else if (!mqtt_client_id_acceptable(mqtt_username)) {
    fail("the uuid is not UTF-8 text: no client can be made for it");
  } else if (user_length > kStrictClientIdLength && mqtt_protocol == kMqttProtocolV31) {
    warn(
        "the uuid has %zu characters: MQTT 3.1 allows client ids of at most %zu, strict brokers "
        "refuse it",
        user_length, kStrictClientIdLength);
  }
}

void check_access() {
  text[0] = '\0';
  const bool readable = read_config_file(kBrokerAccessFile);
  const int user_rc = check_key("uuid", false);
  const int password_rc = check_key("password", true);
  const int host_rc = check_key("host", false);
  const int port_rc = check_key("port", false);
  mqtt_parse_access(text);
  if (!readable) return;

  check_host_port(host_rc, port_rc);
  mqtt_parse_options(kAccessFile, text);
  mqtt_describe_options(kCheckConnection, print_note);
  if (mqtt_backoff > 0) check_access_mode();
  check_tls();
  check_uuid(user_rc);
  printf("password: %zu characters\n", strlen(mqtt_password));
  if (password_rc < 0) warn("no \"password\": the daemon sends the text \"%s\"", mqtt_password);
}

// Top-level keys of brokerSetup.json. The value a missing key gives is the read's own: the
// check names the line that shows it.
struct setup_key {
  const char* tag;
  const char* shown_as;  // the line below that shows the setting
};
constexpr setup_key kSetupKeys[] = {{"ACTIV", "enabled"},
                                    {"loglevel", "log level"},
                                    {"interval", "interval"},
                                    {"threshold", "threshold"}};

void check_setup() {
  // Unreadable, it leaves brokerAccess.json in the buffer, and the daemon looks there.
  read_config_file(kBrokerSetupFile);
  for (const setup_key& key : kSetupKeys) {
    if (check_key(key.tag, false) == -1)
      warn("no \"%s\" in brokerSetup.json: the daemon takes the default, see \"%s:\" below",
           key.tag, key.shown_as);
  }
  mqtt_parse_setup(text);
  mqtt_parse_options(kSetupFile, text);
  printf("enabled: %ld%s\n", static_cast<long>(mqtt_enabled),
         mqtt_enabled != 0 ? "" : " (bridge off: nothing is published, no command is taken)");
  printf("log level: %d\n", static_cast<int>(log_level));
  printf("interval: %ld s\n", static_cast<long>(mqtt_interval));
  printf("threshold: %1.4f\n", mqtt_threshold);
  mqtt_describe_options(kCheckSetup, print_note);
}

// The command options, once the actors are known. Whether the broker keeps a persistent session
// (mosquitto: persistence) is the broker's side and cannot be seen from here.
void check_commands() {
  const int described = mqtt_describe_options(kCheckCommands, print_note);
  if (described > 0 && mqtt_subscribe_actor_dbids == 0)
    warn("command options without actors: they have no effect");
}

// Reads the section `pattern` ("call", "pub" or "sub" as `name`) into section; warns when it is
// missing, when only its spelling keeps it from being found, and when it runs into the next one.
bool read_section(const char* pattern, const char* name) {
  if (json_read_section(text, pattern, section, sizeof section) < 0) {
    char key[16];
    snprintf(key, sizeof key, "\"%s\"", name);
    if (str_find(text, key, 0) >= 0)
      warn("section \"%s\" not found: write it as %s with nothing between key, colon and brace",
           name, pattern);
    else
      warn("no section \"%s\"", name);
    return false;
  }
  if (strchr(section, '{') != nullptr)
    warn("section \"%s\" runs into the next section: its closing brace is missing", name);
  return true;
}

void check_calls() {
  calls.count = 0;
  if (!read_section(kSectionCall, "call")) return;
  const int32_t found = scan_call_section(section, &calls);
  if (found > calls.count)
    warn("more than %ld call names: %ld left out", static_cast<long>(kTableSize),
         static_cast<long>(found - calls.count));
  int32_t k = 0;
  for (int i = 0; section[i] != '\0' && k < calls.count; i++) {
    if (section[i] != ':') continue;
    const char* name = nullptr;
    const int length = scan_entry_value(section, i, &name);
    if (calls.dbid[k] == 0)
      warn("call entry %ld has no DB id (a blank before its colon, or a colon in a call name)",
           static_cast<long>(k + 1));
    if (static_cast<size_t>(length) >= kCallNameSize)
      warn("call name of %ld has %d characters, cut to %zu: \"%s\"",
           static_cast<long>(calls.dbid[k]), length, kCallNameSize - 1, calls.name[k]);
    ++k;
  }
}

// Warns about entries of a "pub" or "sub" section that look selected but are not: a value such as
// "On", "yes" or "1", or "on" after a blank.
void check_unselected(const char* name) {
  static constexpr const char* kMeantOn[] = {"on", "yes", "true", "1"};
  char id_field[kIdFieldWidth + 1];
  for (int i = 0; section[i] != '\0'; i++) {
    if (section[i] != ':' || strncmp(section + i + 1, "\"on\"", 4) == 0) continue;
    const char* open = section + i + 1 + strspn(section + i + 1, kBlanks);
    if (*open != '"') continue;
    const char* close = strchr(open + 1, '"');
    if (close == nullptr) continue;
    const size_t length = static_cast<size_t>(close - open - 1);
    for (const char* meant : kMeantOn) {
      if (length != strlen(meant) || strncasecmp(open + 1, meant, length) != 0) continue;
      warn(
          "%s entry %ld: the value written %.*s does not select it; only \"on\" right after the "
          "colon does",
          name, static_cast<long>(scan_entry_key(section, i, id_field)),
          static_cast<int>(close - (section + i)), section + i + 1);
    }
  }
}

// The check's part of each selected entry, as the walk of the full read reports it.
void report_selected(const selection& table, const selected_report& r, void*) {
  const selected_entry& e = r.entry;
  if (e.db_id == 0) warn("%s entry with DB id 0 (a blank before its colon?)", table.section);
  if (r.fate == kSelectedTopicTooLong) {
    warn("actor %ld \"%s\" left out: its action topic has %d characters, at most %zu",
         static_cast<long>(e.db_id), e.call_name, r.topic_length, kActionTopicSize - 1);
  }
  if (r.fate != kSelectedStored) return;
  if (e.call_index >= calls.count)
    warn("%s %ld has no call name: it is named \"%s\"", table.kind, static_cast<long>(e.db_id),
         e.call_name);
  if (table.topic == nullptr) {
    char by_id[kTopicIdSize];
    char by_name[kTopicNameSize];
    publish_topic_id(mqtt_username, e.db_id, by_id);
    publish_topic_name(mqtt_username, e.call_name, by_name);
    printf("sensor %ld \"%s\": %s, %s\n", static_cast<long>(e.db_id), e.call_name, by_id, by_name);
    return;
  }
  printf("actor %ld \"%s\": %s\n", static_cast<long>(e.db_id), e.call_name, r.topic);
  for (int32_t j = 0; j < r.index; j++) {
    if (strcmp(table.name[j], e.call_name) == 0)
      warn("actors %ld and %ld share the call name \"%s\": a command sets both",
           static_cast<long>(table.dbid[j]), static_cast<long>(e.db_id), e.call_name);
  }
}

// One of the two selection tables, filled by the full read's own walk.
void check_selection(const selection& table) {
  *table.count = 0;
  if (!read_section(table.pattern, table.section)) return;
  check_unselected(table.section);
  const int32_t ignored = mqtt_walk_selection(table, section, calls, report_selected, nullptr);
  if (ignored > 0)
    warn("more than %ld entries in \"%s\": %ld left out", static_cast<long>(kTableSize),
         table.section, static_cast<long>(ignored));
  printf("%ss: %ld\n", table.kind, static_cast<long>(*table.count));
}

void check_log() {
  char database[kPathCapacity];
  path_with_root(kConfigDatabase, database, sizeof database);
  // A missing database costs no retries: the reads see that it does not exist.
  if (access(database, F_OK) != 0)
    warn("settings database %s missing: the log settings take their defaults", database);
  else
    printf("settings database: %s\n", database);
  log_read_settings();

  if (log_syslog_enabled == 1) {
    printf("log: syslog to \"%s\", level override %ld\n", log_syslog_server,
           static_cast<long>(log_syslog_logleveloverride));
    return;
  }
  char path[kPathCapacity];
  log_file_path(kLogFileName, path, sizeof path);
  printf("log: file %s, at most %ld bytes\n", path, static_cast<long>(log_max_filesize));
  struct stat st;
  if (lstat(path, &st) != 0) return;  // not there yet: the daemon creates it
  if (const char* refusal = log_file_refusal(st))
    warn("log file %s is %s: the daemon does not write it", path, refusal);
}

int run_check(bool connect) {
  // Lines the configuration read would log (an unknown option value) are shown, not written.
  log_init_stdout();
  // The library the daemon runs on, for reports from the field.
  printf("libmosquitto: %s\n", mqtt_library_version());
  check_access();
  check_setup();
  check_calls();
  check_selection(kPublishSelection);
  check_selection(kSubscribeSelection);
  check_commands();
  check_log();

  bool connected = true;
  if (connect && errors == 0) connected = check_connect();
  if (connect && errors > 0) printf("broker: not tried, the configuration has errors\n");

  if (errors == 0 && connected)
    printf("result: usable, warnings: %d\n", warnings);
  else
    printf("result: not usable, errors: %d, warnings: %d%s\n", errors, warnings,
           connected ? "" : ", no session with the broker");
  return errors == 0 && connected ? kCheckUsable : kCheckErrors;
}

}  // namespace

int check_command(int argc, char** argv) {
  if (argc < 2) return kNotACheck;
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
    print_usage(stdout);
    return kCheckUsable;
  }
  if (strcmp(argv[1], "--check") != 0) return kNotACheck;
  const bool connect = argc == 3 && strcmp(argv[2], "--connect") == 0;
  if (argc > 3 || (argc == 3 && !connect)) {
    print_usage(stderr);
    return kCheckBadUsage;
  }
  return run_check(connect);
}
