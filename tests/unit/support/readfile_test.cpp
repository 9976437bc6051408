#include "support/readfile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/files.h"

namespace {

using test_support::write_file;

TEST(ReadFileInString, ReadsWholeFilesAndKeepsTheBufferOnFailure) {
  test_support::TempDir dir;
  char buffer[16];

  strcpy(buffer, "keep");
  EXPECT_EQ(readfileinstring((dir.path() + "/missing").c_str(), buffer, sizeof buffer), -2);
  EXPECT_STREQ(buffer, "keep");

  write_file(dir.path() + "/empty", "");
  EXPECT_EQ(readfileinstring((dir.path() + "/empty").c_str(), buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");

  // A zero byte is stored like any other; the count includes what follows it.
  write_file(dir.path() + "/zero", std::string("ab\0cd", 5));
  EXPECT_EQ(readfileinstring((dir.path() + "/zero").c_str(), buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(buffer, 6), std::string("ab\0cd\0", 6));
  EXPECT_STREQ(buffer, "ab");
}

TEST(ReadFileInString, CutsAtCapacityMinusOne) {
  test_support::TempDir dir;
  write_file(dir.path() + "/long", "abcdefgh");
  char buffer[8];
  memset(buffer, 'z', sizeof buffer);
  EXPECT_EQ(readfileinstring((dir.path() + "/long").c_str(), buffer, 4), 3);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(buffer[4], 'z');  // nothing written past the capacity
  EXPECT_EQ(readfileinstring((dir.path() + "/long").c_str(), buffer, 1), 0);
  EXPECT_STREQ(buffer, "");
}

}  // namespace
