// k482916_bench: runs the benchmark groups and prints one line per figure beside its budget.
//
//   k482916_bench [--only startup,publish,idle,commands,discovery,reliability,fresh,cluster,fleet]
//                 [--startup-runs N] [--publish-rounds N] [--actor-samples N] [--cpu-seconds N]
//                 [--command-burst N] [--command-stream N] [--fleet N]
//
// Progress goes to stderr ("# ..."), the table to stdout. Exit status 0 when every figure was
// measured, whatever its verdict; 1 when something failed to run; 2 on a bad command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/bench.h"

namespace {

int usage(const char* why) {
  fprintf(
      stderr,
      "k482916_bench: %s\n"
      "usage: k482916_bench [--only startup,publish,idle,commands,discovery,reliability,fresh,\n"
      "                             cluster,fleet]\n"
      "                     [--startup-runs N] [--publish-rounds N] [--actor-samples N]\n"
      "                     [--cpu-seconds N] [--command-burst N] [--command-stream N]\n"
      "                     [--fleet N]\n",
      why);
  return 2;
}

// Parses a count of at least `min`; false when the text is no such number.
bool parse_count(const char* text, int min, int* out) {
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < min || v > 100000) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bench::Options options;
  std::string only = "startup,publish,idle,commands";
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (strcmp(a, "--help") == 0) return usage("prints the daemon's performance figures"), 0;
    static const char* const kKnown[] = {"--only",           "--startup-runs", "--publish-rounds",
                                         "--actor-samples",  "--cpu-seconds",  "--command-burst",
                                         "--command-stream", "--fleet"};
    bool known = false;
    for (const char* k : kKnown) known |= strcmp(a, k) == 0;
    if (!known) return usage((std::string("unknown argument ") + a).c_str());
    if (i + 1 >= argc) return usage((std::string(a) + " needs a value").c_str());
    const char* v = argv[++i];
    bool ok = true;
    if (strcmp(a, "--only") == 0)
      only = v;
    else if (strcmp(a, "--startup-runs") == 0)
      ok = parse_count(v, 1, &options.startup_runs);
    else if (strcmp(a, "--publish-rounds") == 0)
      ok = parse_count(v, 1, &options.publish_rounds);
    else if (strcmp(a, "--actor-samples") == 0)
      ok = parse_count(v, 1, &options.actor_samples);
    else if (strcmp(a, "--cpu-seconds") == 0)
      ok = parse_count(v, 1, &options.cpu_seconds);
    else if (strcmp(a, "--command-burst") == 0)
      ok = parse_count(v, 0, &options.command_burst);
    else if (strcmp(a, "--command-stream") == 0)
      ok = parse_count(v, 1, &options.command_stream);
    else if (strcmp(a, "--fleet") == 0)
      ok = parse_count(v, 2, &options.fleet);
    if (!ok) return usage((std::string("bad value for ") + a).c_str());
  }
  auto wanted = [&](const char* group) {
    return ("," + only + ",").find(std::string(",") + group + ",") != std::string::npos;
  };
  if (!wanted("startup") && !wanted("publish") && !wanted("idle") && !wanted("commands") &&
      !wanted("discovery") && !wanted("reliability") && !wanted("fresh") && !wanted("cluster") &&
      !wanted("fleet"))
    return usage(
        "--only names none of startup, publish, idle, commands, discovery, reliability, fresh, "
        "cluster, fleet");

  bench::install_stop_handlers();
  bench::Table table;
  bool ran = true;
  if (wanted("startup") && !bench::stop_requested) ran &= bench::run_startup(options, table);
  if (wanted("publish") && !bench::stop_requested) ran &= bench::run_publish(options, table);
  if (wanted("idle") && !bench::stop_requested) ran &= bench::run_idle(options, table);
  if (wanted("commands") && !bench::stop_requested) ran &= bench::run_commands(options, table);
  if (wanted("discovery") && !bench::stop_requested) ran &= bench::run_discovery(options, table);
  if (wanted("reliability") && !bench::stop_requested)
    ran &= bench::run_reliability(options, table);
  if (wanted("fresh") && !bench::stop_requested) ran &= bench::run_fresh(options, table);
  if (wanted("cluster") && !bench::stop_requested) ran &= bench::run_cluster(options, table);
  if (wanted("fleet") && !bench::stop_requested) ran &= bench::run_fleet(options, table);
  table.print();
  return ran && table.complete() && !bench::stop_requested ? 0 : 1;
}
