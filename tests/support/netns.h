// A network namespace of the test's own. Header-only.
#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace test_support {

// Moves this process, and so every child it starts later, into a network namespace of its own
// whose loopback interface is up: fixed ports such as 8883 are free there and meet nobody. Needs
// root. Returns an empty text, or why it could not.
inline std::string enter_private_network() {
  if (unshare(CLONE_NEWNET) != 0) return std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string("socket: ") + strerror(errno);
  ifreq ifr{};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  std::string error;
  if (ioctl(fd, SIOCGIFFLAGS, &ifr) != 0) {
    error = std::string("SIOCGIFFLAGS lo: ") + strerror(errno);
  } else {
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    if (ioctl(fd, SIOCSIFFLAGS, &ifr) != 0)
      error = std::string("SIOCSIFFLAGS lo: ") + strerror(errno);
  }
  close(fd);
  return error;
}

}  // namespace test_support
