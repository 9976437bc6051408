#include "log/log_syslog.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "log/line_text.h"
#include "log/local_clock.h"
#include "log/log_paths.h"
#include "support/paths.h"

namespace {

constexpr const char* kLoggerSocket = "/dev/log";
constexpr int kPriority = LOG_USER | LOG_INFO;
// Header (at most 4 + 16 + 39 + 13 bytes) and a syslog-mode line (at most 260 bytes).
constexpr size_t kDatagramSize = 512;
// Month names of the time stamp, as the C locale writes them.
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Written by log_syslog_open; the connection also by the senders below.
struct sockaddr_un logger_address;
char console_path[kPathCapacity];
int logger_fd = -1;
int logger_type = SOCK_DGRAM;

void logger_close() {
  if (logger_fd >= 0) close(logger_fd);
  logger_fd = -1;
}

// A logger that listens on a stream socket refuses a datagram socket with EPROTOTYPE; the other
// type is tried then, as the C library does.
bool logger_connect() {
  for (int attempt = 0; attempt < 2 && logger_fd < 0; ++attempt) {
    int fd = socket(AF_UNIX, logger_type | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&logger_address), sizeof logger_address) ==
        0) {
      logger_fd = fd;
      break;
    }
    int error = errno;
    close(fd);
    if (error != EPROTOTYPE) return false;
    logger_type = logger_type == SOCK_DGRAM ? SOCK_STREAM : SOCK_DGRAM;
  }
  return logger_fd >= 0;
}

// A stream logger takes the NUL after the message as the end of the record.
bool logger_send(const LineText& message) {
  size_t size = message.size() + (logger_type == SOCK_STREAM ? 1 : 0);
  return logger_connect() && send(logger_fd, message.c_str(), size, MSG_NOSIGNAL) >= 0;
}

}  // namespace

// A socket path that does not fit the address is left empty: connecting then fails, and the lines
// go to the console.
void log_syslog_open() {
  char path[kPathCapacity];
  path_with_root(kLoggerSocket, path, sizeof path);
  memset(&logger_address, 0, sizeof logger_address);
  logger_address.sun_family = AF_UNIX;
  if (strlen(path) < sizeof logger_address.sun_path)
    memcpy(logger_address.sun_path, path, strlen(path) + 1);
  log_console_path(console_path, sizeof console_path);
  logger_close();
  logger_type = SOCK_DGRAM;
  logger_connect();
}

void log_syslog_datagram(const char* ident, const char* line) {
  int saved_errno = errno;
  local_stamp t = local_clock_stamp(time(nullptr));
  char buffer[kDatagramSize];
  LineText message(buffer, sizeof buffer);
  message.text("<").number(kPriority).text(">");
  message.text(t.month >= 1 && t.month <= 12 ? kMonths[t.month - 1] : "???");
  message.text(t.day < 10 ? "  " : " ").number(t.day).text(" ");
  message.number(t.hour, 2).text(":").number(t.minute, 2).text(":").number(t.second, 2).text(" ");
  size_t header = message.size();
  message.text(ident).text("[").number(getpid()).text("]: ").text(line);

  // The logger may have gone away (restarted, its socket made anew) since the last line.
  if (!logger_send(message)) {
    logger_close();
    if (!logger_send(message)) {
      logger_close();
      int fd = open(console_path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
      if (fd >= 0) {
        struct iovec iov[2] = {{buffer + header, message.size() - header},
                               {const_cast<char*>("\r\n"), 2}};
        ssize_t written = writev(fd, iov, 2);
        static_cast<void>(written);
        close(fd);
      }
    }
  }
  errno = saved_errno;
}
