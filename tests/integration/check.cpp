// "--check [--connect]" and "--help" of the daemon binary: what a configuration check reports,
// its exit statuses, the broker's answer in words, and that nothing is left behind.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#include <gtest/gtest.h>
#include <mosquitto.h>

#include "shm/shm.h"
#include "support/controller.h"

namespace {

using Controller = test_support::ToolController;

const std::string kAccess = R"({"uuid":"dev-1","password":"pw","host":"127.0.0.1","port":"1883"})";

std::string access_with(const std::string& user, const std::string& port) {
  return R"({"uuid":")" + user + R"(","password":"pw","host":"127.0.0.1","port":")" + port + "\"}";
}

const std::string kTlsAccess =
    kAccess.substr(0, kAccess.size() - 1) +
    R"(,"tls":"on","cafile":"/c.crt","certfile":"/c.crt","keyfile":"/c.key"})";

// Writes the TLS files of kTlsAccess, the key with `mode`.
std::function<void(const test_support::ToolController&)> key_mode(mode_t mode) {
  return [mode](const test_support::ToolController& c) {
    test_support::write_file(c.path("/c.crt"), "x");
    test_support::write_file(c.path("/c.key"), "x");
    chmod(c.path("/c.key").c_str(), mode);
  };
}

std::string good_setup() {
  test_support::BridgeConfig cfg;
  return cfg.name(1001, "kitchen").name(2001, "lamp").publish(1001).subscribe(2001).setup_json();
}

test_support::ProcessResult run(const Controller& c, const std::vector<std::string>& args) {
  std::vector<std::string> argv{test_support::daemon_binary()};
  argv.insert(argv.end(), args.begin(), args.end());
  return test_support::run_process(argv, c.env());
}

constexpr bool kMqtt5 = LIBMOSQUITTO_VERSION_NUMBER >= 1006000;
const std::string kBuiltWith = std::to_string(LIBMOSQUITTO_MAJOR) + "." +
                               std::to_string(LIBMOSQUITTO_MINOR) + "." +
                               std::to_string(LIBMOSQUITTO_REVISION);

struct Case {
  const char* name;
  std::string access;
  std::string setup;
  std::function<void(const Controller&)> prepare;
  int status;
  std::vector<std::string> want;  // in stdout and stderr
  std::vector<std::string> args = {"--check"};
};

TEST(Check, ReportsEachPitfallWithItsExitStatus) {
  const std::string long_name(45, 'n');
  std::string many_pub = R"({"ACTIV":"1","loglevel":"4","interval":"5","threshold":"1","pub":{)";
  for (int id = 1; id <= 513; ++id) many_pub += "\"" + std::to_string(id) + "\":\"on\",";
  many_pub += "},\"call\":{\"2001\":\"" + std::string(39, 'c') + "\"},\"sub\":{\"2001\":\"on\"}}";
  many_pub += std::string(17000, ' ');
  const std::vector<Case> cases = {
      {"good",
       kAccess,
       good_setup(),
       nullptr,
       0,
       {"libmosquitto: " + kBuiltWith + "\n", "host: 127.0.0.1",
        "sensor 1001 \"kitchen\": dev-1/1001, dev-1/kitchen",
        "actor 2001 \"lamp\": dev-1/lamp/action", "result: usable, warnings: 0"}},
      {"key inside a value, number without quotes",
       R"({"password":"my uuid","uuid":"dev-1","host":"127.0.0.1","port":1883,"x":"y"})",
       good_setup(),
       nullptr,
       1,
       {"warning: \"uuid\" first occurs at line 1 inside another key or value",
        "warning: \"port\" at line 1: value not in double quotes; the daemon takes the next "
        "quoted text instead: \"x\"",
        "error: port 0 is no TCP port"}},
      {"sections and entries",
       kAccess,
       "{\"ACTIV\":\"1\",\"loglevel\":\"4\",\"interval\":\"5\",\"threshold\":\"1\",\n"
       "\"call\":{\"2001\":\"lamp\",\"2002\":\"lamp\",\"2003\":\"" +
           long_name +
           "\"},\n"
           "\"pub\" :{\"1001\":\"on\"},\n"
           "\"sub\":{\"2001\":\"on\",\"2002\":\"on\",\"2003\":\"on\",\"2004\":\"on\",\"2005\":"
           "\"On\","
           "\"2006\": \"on\"}}",
       nullptr,
       0,
       {"warning: call name of 2003 has 45 characters, cut to 39",
        "warning: section \"pub\" not found: write it as \"pub\":{",
        "warning: actors 2001 and 2002 share the call name \"lamp\"",
        "warning: actor 2004 has no call name: it is named \"(undefined)\"",
        "warning: sub entry 2005: the value written \"On\" does not select it",
        "warning: sub entry 2006: the value written  \"on\" does not select it", "actors: 4"}},
      {"closing brace missing",
       kAccess,
       R"({"ACTIV":"1","loglevel":"4","interval":"5","threshold":"1","call":{"1001":"a","pub":{"1001":"on"},"sub":{}})",
       nullptr,
       0,
       {"warning: section \"call\" runs into the next section"}},
      {"limits",
       access_with(std::string(40, 'u'), "1883"),
       many_pub,
       nullptr,
       0,
       {"warning: the uuid has 40 characters", "bytes: only the first 16383 are read",
        "warning: more than 512 entries in \"pub\": 1 left out",
        "warning: actor 2001 \"" + std::string(39, 'c') +
            "\" left out: its action topic has 87 characters, at most 79"}},
      {"no host, empty uuid",
       R"({"uuid":"","password":"pw","port":"1883"})",
       good_setup(),
       nullptr,
       1,
       {"error: no host", "error: the uuid is empty"}},
      {"non-UTF-8 uuid, no CA bundle on 8883",
       access_with("\xff", "8883"),
       good_setup(),
       nullptr,
       1,
       {"error: the uuid is not UTF-8", "error: CA bundle", "result: not usable, errors: 2"}},
      // One rule for the client key, the daemon's: group-writable is secret, group-readable not.
      {"key file of mode 0620 is used",
       kTlsAccess,
       good_setup(),
       key_mode(0620),
       0,
       {"client certificate: ", "result: usable"}},
      {"key file of mode 0640 is refused",
       kTlsAccess,
       good_setup(),
       key_mode(0640),
       1,
       {"c.key\" is readable by group or others (mode 640): the daemon does not use it"}},
      {"missing database, planted log link",
       kAccess,
       good_setup(),
       [](const Controller& c) {
         std::filesystem::remove(c.path("/etc/korvanenv/config.s3db"));
         std::filesystem::create_symlink("/dev/null", c.path("/tmp/k482916.log"));
       },
       0,
       {"warning: settings database", "missing",
        "is a symbolic link: the daemon does not write it"}},
      {"unreadable file",
       kAccess,
       good_setup(),
       [](const Controller& c) {
         std::filesystem::remove(c.path("/opt/korvan/k482916/brokerAccess.json"));
       },
       1,
       {"error: cannot read"}},
      {"Home Assistant options",
       kAccess,
       R"({"heartbeat":"3","diagnostics":"on","utf8":"on","classes":"on",)" +
           good_setup().substr(1),
       nullptr,
       0,
       {"Config: \"heartbeat\" \"3\" is no number of seconds of at least the interval (5)",
        "diagnostics: on, topic dev-1/diagnostics", "utf8: on",
        "warning: \"classes\" without \"discovery\""}},
      // MQTT 5 needs libmosquitto 1.6: an older one refuses the level like a bad value.
      {"protocol 5", kAccess.substr(0, kAccess.size() - 1) + R"(,"protocol":"5"})", good_setup(),
       nullptr, kMqtt5 ? 0 : 1,
       kMqtt5
           ? std::vector<std::string>{"protocol: MQTT 5"}
           : std::vector<
                 std::
                     string>{"Config: \"protocol\" \"5\" needs libmosquitto 1.6 or later (built with " +
                                 kBuiltWith + "), using 3.1",
                             "error: \"protocol\" \"5\" needs libmosquitto 1.6 or later (built with " +
                                 kBuiltWith + "): the daemon speaks MQTT 3.1"}},
      {"scan out of range",
       kAccess,
       good_setup().insert(good_setup().rfind('}'), R"(,"scan":"3601")"),
       nullptr,
       0,
       {"Config: unknown value \"3601\" of \"scan\", using the interval",
        "scan: not used, a publish cycle every 5 s (interval)"}},
      {"backoff of a fleet's controller, its password readable by others",
       kAccess.substr(0, kAccess.size() - 1) + R"(,"backoff":"60"})",
       good_setup(),
       [](const Controller& c) {
         chmod(c.path("/opt/korvan/k482916/brokerAccess.json").c_str(), 0644);
       },
       0,
       {"backoff: each attempt at most 5 s, then a random wait of up to 60 s",
        "brokerAccess.json is readable by group or others (mode 644)"}},
      {"bad command line", kAccess, good_setup(), nullptr, 2, {"Usage:"}, {"--check", "-x"}},
      {"help", kAccess, good_setup(), nullptr, 0, {"Usage:"}, {"-h"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Controller c({.create_segments = false});
    ASSERT_TRUE(c.write_broker_access(k.access));
    ASSERT_TRUE(c.write_broker_setup(k.setup));
    if (k.prepare) k.prepare(c);
    test_support::ProcessResult r = run(c, k.args);
    EXPECT_EQ(r.status, k.status) << r.out << r.err;
    for (const std::string& part : k.want)
      EXPECT_NE((r.out + r.err).find(part), std::string::npos) << part << "\n" << r.out << r.err;
  }
}

TEST(Check, ConnectTellsTheBrokersAnswer) {
  test_support::Broker broker;
  ASSERT_TRUE(broker.running()) << broker.log();
  const std::string port = std::to_string(broker.port());
  const std::string closed = std::to_string(test_support::free_port());
  struct {
    std::string password, port, want;
    int status;
  } cases[] = {{"pass", port, "broker: connected to 127.0.0.1", 0},
               {"wrong", port, "broker: refused: ", 1},
               {"pass", closed, "broker: connection refused by 127.0.0.1 port " + closed, 1}};
  Controller c({.create_segments = false});
  ASSERT_TRUE(c.write_broker_setup(good_setup()));
  for (const auto& k : cases) {
    ASSERT_TRUE(c.write_broker_access(R"({"uuid":"user","password":")" + k.password +
                                      R"(","host":"127.0.0.1","port":")" + k.port + "\"}"));
    test_support::ProcessResult r = run(c, {"--check", "--connect"});
    EXPECT_EQ(r.status, k.status) << r.out;
    EXPECT_NE(r.out.find(k.want), std::string::npos) << k.want << "\n" << r.out << broker.log();
  }
}

// Every file below the root with its size.
std::map<std::string, uintmax_t> files_below(const std::string& root) {
  std::map<std::string, uintmax_t> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root))
    files[e.path().string()] = e.is_regular_file() ? e.file_size() : 0;
  return files;
}

TEST(Check, LeavesNoSegmentAttachedAndNoFileBehind) {
  Controller c;
  ASSERT_TRUE(
      c.write_broker_access(access_with("dev-1", std::to_string(test_support::free_port()))));
  ASSERT_TRUE(c.write_broker_setup(good_setup()));
  const auto before = files_below(c.root());
  const auto status = c.status();
  ASSERT_TRUE(status);
  const std::pair<std::vector<std::string>, int> runs[] = {
      {{"--help"}, 0}, {{"--check"}, 0}, {{"--check", "--connect"}, 1}};
  for (const auto& [args, exit_status] : runs) {
    EXPECT_EQ(run(c, args).status, exit_status) << args.back();
    for (const shm_segment& seg : kSegments) {
      shmid_ds info{};
      const int id = shmget(seg.key + c.key_offset(), 0, 0);
      ASSERT_EQ(shmctl(id, IPC_STAT, &info), 0) << seg.name;
      EXPECT_EQ(info.shm_nattch, 0u) << seg.name << " after " << args[0];
    }
  }
  EXPECT_EQ(files_below(c.root()), before);
  const auto after = c.status();
  ASSERT_TRUE(after);
  EXPECT_EQ(memcmp(&*after, &*status, sizeof(status_entry)), 0);
}

}  // namespace
