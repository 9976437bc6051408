// The configuration scanner on texts as they occur in brokerAccess.json and brokerSetup.json,
// including the odd ones the plain text search accepts, and the storage limits.
#include "bridge/scanner.h"
#include "bridge/config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Looks tag up in text into a buffer of cap bytes; returns the result and the buffer's text.
std::pair<int, std::string> tag(const std::string& text, const char* name, size_t cap = 80) {
  char out[kValueSize];
  memset(out, 'X', sizeof out);
  const int r = json_read_tag(text.c_str(), name, out, cap);
  return {r, std::string(out)};
}

// The entries of a "pub"/"sub" section text, one "db_id|id field|name|index" string each.
std::vector<std::string> selected(const std::string& sect, const call_table* calls) {
  std::vector<std::string> out;
  int pos = 0;
  selected_entry e;
  while (scan_next_selected(sect.c_str(), &pos, calls, &e) == 1) {
    out.push_back(std::to_string(e.db_id) + "|" + e.id_field + "|" + e.call_name + "|" +
                  std::to_string(e.call_index));
  }
  return out;
}

TEST(StrFind, ResultsAtTheEdges) {
  EXPECT_EQ(str_find("abc", "abcd", 0), -2);  // pattern longer than the text
  EXPECT_EQ(str_find("", "a", 0), -2);
  EXPECT_EQ(str_find("abcabc", "cab", 0), 2);   // lowest index wins
  EXPECT_EQ(str_find("abcabc", "abc", 1), 3);   // at or after the start index
  EXPECT_EQ(str_find("abcabc", "ABC", 0), -1);  // case-sensitive
  EXPECT_EQ(str_find("abcabc", "bc", 5), -1);   // start beyond length - pattern length
  EXPECT_EQ(str_find("abcabc", "bc", 4), 4);    // the last possible place still counts
  EXPECT_EQ(str_find("abc", "", 2), 2);         // empty pattern: the start index
  EXPECT_EQ(str_find("", "", 0), 0);
}

TEST(JsonReadTag, ValuesAndErrorTexts) {
  EXPECT_EQ(tag("{\"port\":\"1883\"}", "port"), std::make_pair(4, std::string("1883")));
  // Blanks and line breaks around the colon.
  EXPECT_EQ(tag("{\"port\" :\n  \"1883\"}", "port").second, "1883");
  EXPECT_EQ(tag("{\"uuid\":\"\"}", "uuid"), std::make_pair(0, std::string("")));
  EXPECT_EQ(tag("{\"uuid\":\"x\"}", "host"), std::make_pair(-1, std::string("(tag not found)")));
  EXPECT_EQ(tag("{\"port\":1883}", "port"),
            std::make_pair(-2, std::string("(data begin not found)")));
  // The name at the very end: the value scan would begin past the text.
  EXPECT_EQ(tag("\"port", "port").first, -2);
  EXPECT_EQ(tag("{\"host\":\"broker", "host"),
            std::make_pair(-3, std::string("(data end not found)")));
  EXPECT_EQ(tag("{\"host\":\"", "host"), std::make_pair(-3, std::string("(data end not found)")));
}

TEST(JsonReadTag, TakesTheFirstOccurrenceOfTheBareName) {
  // "ghosthost" holds "host": the scan starts in the password and takes the next quoted text.
  EXPECT_EQ(tag("{\"password\":\"ghosthost\",\"host\":\"broker\"}", "host").second, ",");
  // A bare number: the next quoted string, here the following key's name, is the value.
  EXPECT_EQ(tag("{\"port\":1883,\"host\":\"broker\"}", "port").second, "host");
  // The name inside a longer key.
  EXPECT_EQ(tag("{\"report\":\"7\",\"port\":\"1883\"}", "port").second, "7");
}

TEST(JsonReadTag, CutsAtTheCapacity) {
  EXPECT_EQ(tag("{\"host\":\"abcdefgh\"}", "host", 5), std::make_pair(4, std::string("abcd")));
  EXPECT_EQ(tag("{\"host\":\"abcd\"}", "host", 5), std::make_pair(4, std::string("abcd")));
  EXPECT_EQ(tag("{}", "host", 4), std::make_pair(-1, std::string("(ta")));
  const std::string longer = "{\"host\":\"" + std::string(200, 'h') + "\"}";
  EXPECT_EQ(tag(longer, "host", kSettingSize).second, std::string(79, 'h'));
  // An unterminated value is reported as such even when the capacity is reached first.
  EXPECT_EQ(tag("{\"host\":\"" + std::string(200, 'h'), "host", kSettingSize).first, -3);
  char none[1] = {'Z'};
  EXPECT_EQ(json_read_tag("{}", "host", none, 0), -1);
  EXPECT_EQ(none[0], 'Z');
}

// Only the quoted name and colon are the key; a failed lookup leaves its error text, cut.
TEST(JsonReadKey, QuotedNameOnly) {
  const std::pair<const char*, std::pair<int, std::string>> cases[] = {
      {"{\"discovery\" :\"x\",\"discovery\": \"ha\"}", {2, "ha"}},
      {"{\"prefix\":\"discovery\",\"discovery\":\"\"}", {0, ""}},
      {"{\"nodiscovery\":\"x\"}", {-1, "(tag no"}},
      {"{\"discovery\":\"ha", {-3, "(data e"}}};
  for (const auto& [text, want] : cases) {
    char out[8] = "X";
    const int r = json_read_key(text, "discovery", out, sizeof out);
    EXPECT_EQ(std::make_pair(r, std::string(out)), want) << text;
  }
}

TEST(Section, FoundEmptyMissingAndCut) {
  char sect[kSectionSize];
  EXPECT_EQ(json_read_section("{\"pub\":{\"1\":\"on\"},\"x\":{}}", kSectionPub, sect, sizeof sect),
            8);
  EXPECT_STREQ(sect, "\"1\":\"on\"");
  EXPECT_EQ(json_read_section("{\"pub\":{}}", kSectionPub, sect, sizeof sect), 0);
  EXPECT_STREQ(sect, "");
  EXPECT_EQ(json_read_section("{\"pub\": {\"1\":\"on\"}}", kSectionPub, sect, sizeof sect), -1);
  EXPECT_EQ(json_read_section("{\"call\":{\"1\":\"a\"", kSectionCall, sect, sizeof sect), 7);
  EXPECT_STREQ(sect, "\"1\":\"a\"");  // no closing brace: up to the end of the text

  const std::string big = "\"sub\":{" + std::string(9000, 'a') + "}";
  EXPECT_EQ(json_read_section(big.c_str(), kSectionSub, sect, sizeof sect), 8183);
  EXPECT_EQ(strlen(sect), 8183u);
}

TEST(CallSection, EntryRules) {
  call_table calls;
  // Blank after the colon: empty name. Blank before the colon: no key text, DB id 0. A colon in
  // a value starts another entry (its key text is the name before it).
  const char* sect = "\"1001\":\"kitchen\", \"1002\": \"x\", \"1003\" :\"y\", \"1004\":\"a:b\"";
  EXPECT_EQ(scan_call_section(sect, &calls), 5);
  ASSERT_EQ(calls.count, 5);
  EXPECT_EQ(calls.dbid[0], 1001);
  EXPECT_STREQ(calls.name[0], "kitchen");
  EXPECT_EQ(calls.dbid[1], 1002);
  EXPECT_STREQ(calls.name[1], "");
  EXPECT_EQ(calls.dbid[2], 0);
  EXPECT_STREQ(calls.name[2], "y");
  EXPECT_EQ(calls.dbid[3], 1004);
  EXPECT_STREQ(calls.name[3], "a:b");
  EXPECT_EQ(calls.dbid[4], 0);      // "a" stands at colon - 1, the quote before it ends the key
  EXPECT_STREQ(calls.name[4], "");  // "b" stands at colon + 1, the quote after it ends the name

  // A colon at the very start or end of the section.
  EXPECT_EQ(scan_call_section(":", &calls), 1);
  EXPECT_EQ(calls.dbid[0], 0);
  EXPECT_STREQ(calls.name[0], "");
  EXPECT_EQ(scan_call_section("\"5\":\"", &calls), 1);
  EXPECT_STREQ(calls.name[0], "");
}

TEST(CallSection, Limits) {
  call_table calls;
  // 600 entries: the first 512 are kept.
  std::string sect;
  for (int i = 0; i < 600; i++)
    sect += "\"" + std::to_string(i + 1) + "\":\"n" + std::to_string(i) + "\",";
  EXPECT_EQ(scan_call_section(sect.c_str(), &calls), 600);
  EXPECT_EQ(calls.count, 512);
  EXPECT_EQ(calls.dbid[511], 512);
  EXPECT_STREQ(calls.name[511], "n511");

  // A name of 60 characters is cut to 39; a key of 30 characters keeps the 20 nearest the colon.
  const std::string key = "999999999900000000000000001234";
  sect = "\"" + key + "\":\"" + std::string(60, 'n') + "\"";
  EXPECT_EQ(scan_call_section(sect.c_str(), &calls), 1);
  EXPECT_EQ(calls.dbid[0], 1234);
  EXPECT_EQ(std::string(calls.name[0]), std::string(39, 'n'));
}

TEST(SelectedEntries, OnlyOnRightAfterTheColonAndNamesByFirstMatch) {
  call_table calls;
  scan_call_section("\"1001\":\"first\",\"1001\":\"second\",\"2001\":\"lamp\"", &calls);
  const std::string sect =
      "\"1001\":\"on\", \"1002\":\"On\", \"1003\": \"on\", \"1004\":\"1\", \"2001\":\"on\","
      " \"3000\":\"on\"";
  const auto got = selected(sect, &calls);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], "1001|                1001|first|0");
  EXPECT_EQ(got[1], "2001|                2001|lamp|2");
  EXPECT_EQ(got[2], "3000|                3000|(undefined)|3");  // index = number of call names

  // Without call names every entry is undefined with index 0.
  const auto bare = selected("\"7\":\"on\",\"8\":\"on\"", nullptr);
  ASSERT_EQ(bare.size(), 2u);
  EXPECT_EQ(bare[1], "8|                   8|(undefined)|0");
  // A section that ends right after the colon or inside "on.
  EXPECT_TRUE(selected("\"7\":", nullptr).empty());
  EXPECT_TRUE(selected("\"7\":\"on", nullptr).empty());
}

}  // namespace
