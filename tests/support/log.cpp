#include "support/log.h"

#include <sys/stat.h>

#include <regex>
#include <sstream>

#include "log/log.h"
#include "log/signal.h"
#include "shm/demonstatus.h"
#include "support/paths.h"

namespace test_support {

bool parse_log_line(const std::string& line, LogLine* out) {
  static const std::regex re(R"(^(\d{4}-\d{2}-\d{2},\d{2}:\d{2}:\d{2})\[(-?\d+)\]([\s\S]*)$)");
  std::smatch m;
  if (!std::regex_match(line, m, re)) return false;
  out->stamp = m[1];
  out->level = std::stoi(m[2]);
  out->text = m[3];
  return true;
}

size_t LogFile::mark() const {
  struct stat st;
  return stat(path_.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

std::string LogFile::text(size_t from) const {
  std::string all = read_file(path_);
  return from < all.size() ? all.substr(from) : std::string();
}

std::vector<std::string> LogFile::lines(size_t from) const {
  std::string t = text(from);
  std::vector<std::string> result;
  size_t start = 0;
  for (size_t nl; (nl = t.find('\n', start)) != std::string::npos; start = nl + 1)
    result.push_back(t.substr(start, nl - start));
  return result;
}

std::vector<std::string> LogFile::texts() const {
  std::vector<std::string> result;
  std::istringstream in(text());
  for (std::string line; std::getline(in, line);) {
    size_t bracket = line.find('[');
    result.push_back(bracket == std::string::npos ? line : line.substr(bracket));
  }
  return result;
}

std::vector<LogLine> LogFile::find(const std::string& part, size_t from) const {
  std::vector<LogLine> result;
  for (const auto& l : lines(from)) {
    LogLine parsed;
    if (parse_log_line(l, &parsed) && parsed.text.find(part) != std::string::npos)
      result.push_back(parsed);
  }
  return result;
}

bool LogFile::contains(const std::string& part, size_t from) const {
  return text(from).find(part) != std::string::npos;
}

int LogFile::count(const std::string& part, size_t from) const {
  int n = 0;
  for (const auto& l : lines(from)) n += l.find(part) != std::string::npos;
  return n;
}

bool LogFile::wait_for(const std::string& part, milliseconds timeout, size_t from, int n) const {
  return wait_until([&] { return count(part, from) >= n; }, timeout);
}

int LogFile::count_exact(int level, const std::string& text) const {
  std::string want = "[" + std::to_string(level) + "]" + text;
  int n = 0;
  for (const auto& l : texts()) n += l == want;
  return n;
}

int LogFile::index_of(int level, const std::string& prefix, int from) const {
  std::string want = "[" + std::to_string(level) + "]" + prefix;
  auto all = texts();
  for (size_t i = static_cast<size_t>(from); i < all.size(); ++i)
    if (all[i].rfind(want, 0) == 0) return static_cast<int>(i);
  return -1;
}

LogRoot::LogRoot(int32_t key_offset) : LogFile(TempDir::path() + "/tmp/k482916.log") {
  mkdir((root() + "/tmp").c_str(), 0755);
  paths_set(root().c_str(), key_offset);
  log_init("k482916.log", 4, kDemonSlot, "mqtt_k482916_demon");
  linux_signal_install_all();  // as the daemon does right after log_init
  log_max_filesize = 10000000;
}

}  // namespace test_support
