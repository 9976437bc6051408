// The "pub" and "sub" sections: one walk over a section's selected entries that decides each
// entry's fate the way the full configuration read does and fills the table from it. The read
// logs what the walk reports (and subscribes each actor), "--check" prints it: the two can never
// disagree.
#pragma once

#include <cstdint>

#include "bridge/scanner.h"
#include "bridge/settings.h"
#include "bridge/topics.h"

// One of the two selection tables and the words that name it.
struct selection {
  const char* pattern;  // kSectionPub or kSectionSub
  const char* section;  // "pub" or "sub"
  const char* tag;      // "PUB" or "SUB", for the read's missing-section line
  const char* kind;     // "sensor" or "actor"
  const char* what;     // "sensors to publish" or "actors to subscribe"
  const char* total;    // the words of the read's total line
  int32_t* count;
  int32_t* dbid;
  char (*name)[kCallNameSize];
  char (*topic)[kActionTopicSize];  // actors: each gets its action topic; null for sensors
};
extern const selection kPublishSelection;    // mqtt_publish_sensor_* from "pub"
extern const selection kSubscribeSelection;  // mqtt_subscribe_actor_* from "sub"

// What the walk makes of a selected entry.
constexpr int kSelectedStored = 0;        // entered in its table at `index`
constexpr int kSelectedTableFull = 1;     // left out: the table holds kTableSize entries already
constexpr int kSelectedTopicTooLong = 2;  // left out: an actor whose action topic exceeds 79
                                          // characters (cut, it could equal another actor's)

// One selected entry as the walk reports it.
struct selected_report {
  selected_entry entry;          // DB id, id field and call name
  int fate;                      // kSelected...
  int32_t index;                 // its place in the table (the count before it)
  char topic[kActionTopicSize];  // an actor's action topic made with mqtt_username ("" for a
                                 // sensor); cut when too long
  int topic_length;              // an actor's whole topic length
};

// Called for every selected entry, in the order of the section, after the table was filled from
// it; `context` is the walk's.
using selected_visitor = void (*)(const selection& table, const selected_report& report,
                                  void* context);

// Sets *table.count to 0, then walks the selected entries of `section` (the text of the section,
// json_read_section) with the call names of `calls`, stores every one that fits into the table
// and reports each to `visit` (may be null). Returns how many were left out because the table was
// full. Logs nothing.
int32_t mqtt_walk_selection(const selection& table, const char* section, const call_table& calls,
                            selected_visitor visit, void* context);
