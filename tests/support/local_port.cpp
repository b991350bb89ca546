#include "tests/support/local_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

LocalPort::LocalPort(bool listening) : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto len = static_cast<socklen_t>(sizeof addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) return;
  if (listening && listen(fd, 8) != 0) return;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return;
  port = std::to_string(ntohs(addr.sin_port));
}

LocalPort::~LocalPort() {
  if (fd >= 0) close(fd);
}
