// Actor commands through a real broker into the command blocks of SHM_Sensordata, and a reload
// that changes the subscriptions. One daemon run.
#include <ctime>

#include <gtest/gtest.h>

#include "support/controller.h"

namespace {

using test_support::field_text;
using test_support::LogFile;
using test_support::Scenario;
using namespace std::chrono_literals;

const std::string kUser = Scenario::kUser;

std::string action(const std::string& call) {
  return kUser + "/" + call + "/action";
}

value_block command_of(const test_support::ToolController& c, int32_t db_id) {
  auto e = c.entry_by_db_id(db_id);
  EXPECT_TRUE(e) << "no entry for " << db_id;
  return e ? e->command : value_block{};
}

void expect_command(const test_support::ToolController& c, int32_t db_id, double value,
                    int32_t x100, const std::string& text, time_t before) {
  SCOPED_TRACE(db_id);
  value_block cmd = command_of(c, db_id);
  EXPECT_EQ(cmd.value, value);
  EXPECT_EQ(cmd.value_x100, x100);
  EXPECT_EQ(field_text(cmd.text), text);
  EXPECT_GE(cmd.timestamp, before);
  EXPECT_LE(cmd.timestamp, time(nullptr));
}

void expect_untouched(const test_support::ToolController& c, int32_t db_id) {
  SCOPED_TRACE(db_id);
  value_block cmd = command_of(c, db_id);
  EXPECT_EQ(cmd.value, 0.0);
  EXPECT_EQ(cmd.value_x100, 0);
  EXPECT_EQ(field_text(cmd.text), "");
  EXPECT_EQ(cmd.timestamp, 0);
}

TEST(Actor, CommandsReachTheCommandBlocks) {
  Scenario s;
  test_support::ToolController& c = s.controller();
  const LogFile& log = s.log();

  // Two actors share one call name; two differ only in letter case; "gone" has no entry.
  test_support::BridgeConfig cfg = s.config();
  cfg.name(2001, "lamp").name(2002, "lamp").name(2003, "Dimmer").name(2004, "gone");
  cfg.name(2005, "dimmer");
  for (int32_t id : {2001, 2002, 2003, 2004, 2005}) cfg.subscribe(id);
  ASSERT_TRUE(c.write_config(cfg));
  for (int32_t id : {2001, 2002, 2003, 2005}) ASSERT_TRUE(c.set(id, "0.5", {.type = 2}));

  test_support::Daemon& d = s.start_daemon();
  ASSERT_TRUE(d.wait_main_loop()) << s.diagnostics();
  EXPECT_TRUE(log.contains("Zu subscribender Aktor 0: 0 (\"                2001\") - Topic: \"" +
                           action("lamp") + "\""))
      << d.diagnostics();
  EXPECT_TRUE(log.contains("Zu subscribende Aktoren insgesamt: 5"));

  // One message sets both actors called "lamp", each with its own line.
  size_t mark = log.mark();
  time_t before = time(nullptr);
  ASSERT_TRUE(s.publish(action("lamp"), "21.5"));
  ASSERT_TRUE(log.wait_for("Aktor mit DB_ID 2002 (Real_ID: 1) gesetzt auf 21.50",
                           test_support::kQuickWait, mark))
      << d.diagnostics();
  EXPECT_TRUE(
      log.contains("msg_callback: Topic: \"" + action("lamp") + "\", Data: \"21.5\"", mark));
  EXPECT_EQ(log.count("Aktor mit DB_ID 2001 (Real_ID: 0) gesetzt auf 21.50", mark), 1);
  expect_command(c, 2001, 21.5, 2150, "21.50", before);
  expect_command(c, 2002, 21.5, 2150, "21.50", before);
  expect_untouched(c, 2003);
  // The command goes only into the command block.
  EXPECT_EQ(c.entry_by_db_id(2001)->value2.value, 0.5);

  // An empty payload sets nothing.
  mark = log.mark();
  ASSERT_TRUE(s.publish(action("Dimmer"), ""));
  ASSERT_TRUE(
      log.wait_for("msg_callback: " + action("Dimmer") + " (null)", test_support::kQuickWait, mark))
      << d.diagnostics();
  // An actor without an entry is skipped without a message.
  ASSERT_TRUE(s.publish(action("gone"), "1"));
  ASSERT_TRUE(log.wait_for("msg_callback: Topic: \"" + action("gone") + "\", Data: \"1\"",
                           test_support::kQuickWait, mark))
      << d.diagnostics();
  // Negative values: -0.5 gives -50 and "-0.50".
  before = time(nullptr);
  ASSERT_TRUE(s.publish(action("Dimmer"), "-0.5"));
  ASSERT_TRUE(log.wait_for("Aktor mit DB_ID 2003 (Real_ID: 2) gesetzt auf -0.50",
                           test_support::kQuickWait, mark))
      << d.diagnostics();
  EXPECT_EQ(log.count("Aktor mit DB_ID", mark), 1) << log.text(mark);
  expect_command(c, 2003, -0.5, -50, "-0.50", before);
  expect_command(c, 2001, 21.5, 2150, "21.50", 0);
  expect_untouched(c, 2005);

  // Topics are compared byte for byte: "dimmer" sets only its own actor.
  mark = log.mark();
  ASSERT_TRUE(s.publish(action("dimmer"), "7"));
  ASSERT_TRUE(log.wait_for("Aktor mit DB_ID 2005 (Real_ID: 3) gesetzt auf 7.00",
                           test_support::kQuickWait, mark))
      << d.diagnostics();
  EXPECT_EQ(log.count("Aktor mit DB_ID", mark), 1) << log.text(mark);
  expect_command(c, 2003, -0.5, -50, "-0.50", before);

  // A retained command is handed out again after every subscription, so a reload sets it again.
  // The reload also renames actor 2001 and drops the others but 2003.
  mark = log.mark();
  ASSERT_TRUE(s.publish(action("Dimmer"), "42", true));
  ASSERT_TRUE(log.wait_for("Aktor mit DB_ID 2003 (Real_ID: 2) gesetzt auf 42.00",
                           test_support::kQuickWait, mark))
      << d.diagnostics();
  test_support::BridgeConfig renamed = s.config();
  renamed.name(2001, "light").name(2003, "Dimmer").subscribe(2001).subscribe(2003);
  ASSERT_TRUE(c.write_config(renamed));
  ASSERT_TRUE(c.reload());
  ASSERT_TRUE(
      log.wait_for("Global MQTT_k482916 Configuration re-read.", test_support::kReadWait, mark))
      << d.diagnostics();
  EXPECT_EQ(log.count("Aktor mit DB_ID 2003 (Real_ID: 2) gesetzt auf 42.00", mark), 2)
      << log.text(mark);
  EXPECT_TRUE(log.contains("Zu subscribende Aktoren insgesamt: 2", mark));

  mark = log.mark();
  before = time(nullptr);
  ASSERT_TRUE(s.publish(action("lamp"), "3"));
  ASSERT_TRUE(s.publish(action("light"), "4"));
  ASSERT_TRUE(log.wait_for("Aktor mit DB_ID 2001 (Real_ID: 0) gesetzt auf 4.00",
                           test_support::kQuickWait, mark))
      << d.diagnostics();
  EXPECT_FALSE(log.contains("gesetzt auf 3.00", mark)) << log.text(mark);
  expect_command(c, 2001, 4.0, 400, "4.00", before);
  expect_command(c, 2002, 21.5, 2150, "21.50", 0);
  EXPECT_TRUE(d.running());
}

}  // namespace
