// The daemon's entry: start-up and the endless main loop.
#pragma once

#include <cstdint>

struct sqlite3;

// The configuration database, opened at start-up (never created) and kept open for the life of the
// process. Written by daemon_main only.
extern sqlite3* sql_config_handle;

// Installs the routines the bridge calls up through (bridge/hooks.h): the full configuration read
// after a failed publication, Home Assistant's announcements and diagnostics after each full
// read, and its birth message. daemon_main calls it before the first configuration read.
void daemon_install_hooks();

// Runs the daemon: returns only at start-up ("-v": 0; segments missing: 0; a refused
// K482916_ROOT or K482916_SHM_KEY_OFFSET: kExitBadEnvironment; "--check" or "--help": the exit
// status of check_command); otherwise the process ends through the signal handling.
int daemon_main(int argc, char** argv);
