// The opt-in keys of the two configuration files. Each is one row of one table (options.cpp): its
// file, its name, its values and default, its parse, and the texts that describe it on the
// level-1 summary lines and in "--check". A key is looked up as "key":"value" (json_read_key),
// written after the legacy keys; a missing key keeps its default, so a file without any gives the
// daemon it always was; a value that cannot be used logs one level-1 line and keeps the default.
// The settings below are written by mqtt_parse_options only; the modules that act on a key read
// its setting here and never look the key up themselves.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bridge/scanner.h"

constexpr size_t kPathSettingSize = 128;  // file paths: at most 127 characters, longer is refused

// brokerAccess.json: how the session connects.
// protocol "3.1" (default), "3.1.1" or "5" (libmosquitto 1.6 or later): kMqttProtocolV31, _V311
// or _V5 (bridge/library.h).
extern int32_t mqtt_protocol;
// cafile: the CA file instead of the system's bundle (kCaBundle); "" (default) = the bundle.
extern char mqtt_cafile[kPathSettingSize];
// certfile and keyfile: a client certificate and its private key, only both together;
// "" (default) = none.
extern char mqtt_certfile[kPathSettingSize];
extern char mqtt_keyfile[kPathSettingSize];
// tls "on": 1 = TLS on any port; "off" (default) = TLS on port kTlsPort only (mqtt_tls_on).
extern int32_t mqtt_tls;
// backoff "10".."3600": each connection attempt bounded (bridge/backoff.h), and after a failed
// attempt or a lost session a random wait of up to that many seconds; 0 (default) = the session
// is rebuilt at the next publish cycle, its connect call waiting as long as the system lets it.
constexpr int32_t kBackoffMinS = 10;
constexpr int32_t kBackoffMaxS = 3600;
constexpr int kAttemptMs = 5000;  // with backoff, an attempt not accepted in this time has failed
extern int32_t mqtt_backoff;

// brokerSetup.json: what the session says and announces.
// availability "on": 1 = the will "offline" and the messages "online"/"offline" on
// "<uuid>/availability"; "off" (default).
extern int32_t mqtt_availability;
// discovery: Home Assistant's discovery prefix; "" (default) = no announcements.
extern char mqtt_discovery[kSettingSize];

// brokerSetup.json: the actor commands.
// command_qos "1" or "2": the action topics' QoS, and a persistent session that keeps the
// commands the broker accepts while the daemon is away; "0" (default) = QoS 0, clean session.
extern int32_t mqtt_command_qos;
// command_retained "ignore": 1 = a message delivered flagged retained is not applied;
// "apply" (default) = 0.
extern int32_t mqtt_command_retained;
// command_numbers "strict": 1 = only a payload that is wholly a decimal number is applied;
// "any" (default) = 0, every payload is converted.
extern int32_t mqtt_command_numbers;
// command_state "on": 1 = the command text written is published, retained, on
// "<uuid>/<call name>/state"; "off" (default).
extern int32_t mqtt_command_state;

// brokerSetup.json: Home Assistant's statistics and the bridge's health.
// heartbeat: seconds (at least the interval) after which an unchanged valid value is published
// again; 0 (default) = never.
extern int32_t mqtt_heartbeat;
// diagnostics "on": 1 = the retained health message on "<uuid>/diagnostics"; "off" (default).
extern int32_t mqtt_diagnostics;
// utf8 "on": 1 = the payload's call and unit in UTF-8; "off" (default) = as the controller has
// them (Latin-1).
extern int32_t mqtt_utf8;
// classes "on": 1 = announcements carry classes and origin and are repeated when Home Assistant
// comes online; "off" (default).
extern int32_t mqtt_classes;

// brokerSetup.json: the publish cycle's period.
// scan "1".."3600": a publish cycle every that many seconds, each publication waiting only
// until it is acknowledged; 0 (default) = a cycle per interval, publications paced by 100 ms polls.
constexpr int32_t kScanMaxS = 3600;
extern int32_t mqtt_scan;

// The two files, for mqtt_parse_options.
constexpr int kAccessFile = 0;
constexpr int kSetupFile = 1;

// Parses the opt-in keys of one file's text (`file`: kAccessFile or kSetupFile) into their
// settings, in the table's order, each refusal with its level-1 line.
// REQUIRES for kSetupFile: mqtt_interval parsed (a heartbeat is at least the interval).
void mqtt_parse_options(int file, const char* text);

// The level-1 lines that show the opt-in keys: "Command options: ...", "Home Assistant options:
// ...", "Scan: ...", "Backoff: ..." and "Broker options: ...", each written only when the files
// hold at least one of its keys ("Scan" and "Backoff" only when their key is set), so a
// configuration without them logs what it always did. REQUIRES: mqtt_port parsed (the broker line
// shows whether TLS is on).
void mqtt_log_options();

// What "--check" prints of the opt-in keys, in three groups at their places in its output.
constexpr int kCheckConnection = 0;  // brokerAccess.json: protocol, TLS and backoff
constexpr int kCheckSetup = 1;       // availability, discovery, Home Assistant's keys, scan
constexpr int kCheckCommands = 2;    // the command keys, once the actors are known
constexpr int kNoteFact = 0;         // a "key: value" line
constexpr int kNoteWarning = 1;      // a pitfall
constexpr int kNoteError = 2;        // a value the daemon cannot use as written
using option_printer = void (*)(int note, const char* text);
// Prints, through `print`, a line for each key of `group` that is set (the protocol always), a
// warning for each pitfall of its value and an error for a value this build cannot carry. Returns
// the number of keys described.
int mqtt_describe_options(int group, option_printer print);

// TLS: this port always has it; mqtt_tls switches it on for any port.
constexpr int kTlsPort = 8883;
// The CA bundle that checks the broker's certificate when no CA file (mqtt_cafile) is given.
constexpr const char* kCaBundle = "/etc/ssl/certs/ca-certificates.crt";
// True when a session on `port` uses TLS: port kTlsPort always, any port when mqtt_tls is set.
bool mqtt_tls_on(int port);

// True when the broker keeps the session between connections (mqtt_command_qos 1 or 2).
bool mqtt_session_persistent();

// The "expire_after" of a sensor announcement with mqtt_heartbeat: a valid value goes out at least
// every heartbeat plus one cycle, so twice the heartbeat plus the interval is missed only when the
// value is in error or the bridge has stopped. 0 without heartbeat.
long long mqtt_expire_after_s();
