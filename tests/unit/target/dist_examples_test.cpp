// The example configuration files that the installation ships read back, through the daemon's own
// scanner, as the settings and tables they are meant to give: a broken example would otherwise
// only show on a controller.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bridge/config.h"
#include "bridge/scanner.h"
#include "support/files.h"

namespace {

std::string read_example(const char* name) {
  std::filesystem::path dist = std::filesystem::path(__FILE__).parent_path() / "../../../dist";
  return test_support::read_file(dist / name);
}

std::string tag(const std::string& text, const char* name) {
  char out[kSettingSize];
  json_read_tag(text.c_str(), name, out, sizeof out);
  return out;
}

// "DBID=name" for every selected entry of a section.
std::vector<std::string> selected(const std::string& text, const char* pattern) {
  static char call_text[kSectionSize];
  static char section[kSectionSize];
  static call_table calls;
  json_read_section(text.c_str(), kSectionCall, call_text, sizeof call_text);
  scan_call_section(call_text, &calls);
  std::vector<std::string> result;
  if (json_read_section(text.c_str(), pattern, section, sizeof section) < 0) return result;
  int pos = 0;
  selected_entry entry;
  while (scan_next_selected(section, &pos, &calls, &entry) == 1)
    result.push_back(std::to_string(entry.db_id) + "=" + entry.call_name);
  return result;
}

TEST(DistExamples, BrokerAccessGivesEveryBrokerSetting) {
  std::string text = read_example("brokerAccess.json.example");
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(tag(text, "uuid").size(), 36u);
  EXPECT_EQ(tag(text, "password"), "change-me");
  EXPECT_EQ(tag(text, "host"), "broker.example.net");
  EXPECT_EQ(tag(text, "port"), "8883");
}

TEST(DistExamples, BrokerSetupGivesSettingsAndTables) {
  std::string text = read_example("brokerSetup.json.example");
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(tag(text, "ACTIV"), "1");
  EXPECT_EQ(tag(text, "loglevel"), "3");
  EXPECT_EQ(tag(text, "interval"), "60");
  EXPECT_EQ(tag(text, "threshold"), "0.5");
  EXPECT_EQ(selected(text, kSectionPub),
            (std::vector<std::string>{"1001=kitchen_temp", "1002=outside_temp"}));
  EXPECT_EQ(selected(text, kSectionSub), (std::vector<std::string>{"2001=garden_light"}));
}

}  // namespace
