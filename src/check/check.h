// The configuration check: "--check [--connect]" shows what the daemon would do with its two
// configuration files and the settings database, and why a login fails; "--help" or "-h" shows
// the usage. Neither starts the daemon, attaches a segment, writes the log or the status entry,
// or creates a file. Output is plain text on stdout, one fact per line:
//   "key: value" for each setting and table entry, "warning: ..." for each pitfall found,
//   "error: ..." for what makes the configuration unusable, and a last line "result: ...".
#pragma once

// Result of check_command when the command line asks for neither: the daemon starts.
constexpr int kNotACheck = -1;

// Exit statuses of the check.
constexpr int kCheckUsable = 0;    // warnings do not change it
constexpr int kCheckErrors = 1;    // the configuration has errors, or --connect failed
constexpr int kCheckBadUsage = 2;  // a bad command line

// Seconds that --connect waits for the broker's answer.
constexpr int kConnectWaitSeconds = 5;

// Decides by argv[1]: "--check", alone or followed by "--connect", runs the check and returns its
// exit status; "--help" or "-h" prints the usage on stdout and returns kCheckUsable; "--check"
// followed by anything else prints the usage on stderr and returns kCheckBadUsage. Any other
// command line (none, "-v", anything else) returns kNotACheck at once, having done nothing.
// REQUIRES: paths_init has run.
int check_command(int argc, char** argv);

// Opens one session with the current settings (mqtt_host, mqtt_port, mqtt_keepalive,
// mqtt_username, mqtt_password) the way the daemon opens it: same client set-up, protocol level
// and TLS. Waits at most kConnectWaitSeconds for the broker's answer, prints it as one line
// "broker: ..." on stdout and closes the session again. Subscribes and publishes nothing. Returns
// true when the broker accepted the connection.
bool check_connect();
