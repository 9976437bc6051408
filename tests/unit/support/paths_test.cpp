#include "support/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(Paths, PrefixAndKeyOffsetFromTheEnvironment) {
  setenv("K482916_ROOT", "/srv/ctl", 1);
  setenv("K482916_SHM_KEY_OFFSET", "1000", 1);
  paths_init();
  char out[kPathCapacity];
  EXPECT_EQ(path_with_root("/tmp/k.log", out, sizeof out), 0);
  EXPECT_STREQ(out, "/srv/ctl/tmp/k.log");
  EXPECT_EQ(shm_key(41984), 42984);

  // A cut path is reported and still terminated.
  char small[10];
  EXPECT_EQ(path_with_root("/tmp/k.log", small, sizeof small), -1);
  EXPECT_STREQ(small, "/srv/ctl/");

  setenv("K482916_SHM_KEY_OFFSET", "many", 1);
  unsetenv("K482916_ROOT");
  paths_init();
  EXPECT_EQ(shm_key(41984), 41984);
  EXPECT_EQ(path_with_root("/dev/console", out, sizeof out), 0);
  EXPECT_STREQ(out, "/dev/console");
  unsetenv("K482916_SHM_KEY_OFFSET");
}

}  // namespace
