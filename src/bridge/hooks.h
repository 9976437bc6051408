// The routines that the modules above the bridge install into it, so that every include runs one
// way: the bridge calls up through these and never includes what lies above it. The daemon
// installs them before its first configuration read (daemon_install_hooks); a hook left null does
// nothing.
#pragma once

struct bridge_hooks {
  // Run by the publish cycle after a publication that was not acknowledged: the full
  // configuration read, which rebuilds the session from the files as they are now.
  void (*rebuild)();
  // Run by the full configuration read once the session is subscribed and announced online,
  // before it is serviced: Home Assistant's announcements and the diagnostics message.
  void (*announce)();
  // Offered every delivered message before the actor commands see it; true when it was taken
  // (Home Assistant's birth message).
  bool (*take_message)(const char* topic, const char* payload, bool retained);
};

// Written by daemon_install_hooks only.
inline bridge_hooks mqtt_hooks = {};
