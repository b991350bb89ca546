// A TCP port on 127.0.0.1 that the test holds for as long as the object lives.
#pragma once

#include <string>

struct LocalPort {
  // Listening: connections complete, but nothing ever answers. Merely
  // bound: connections are refused at once.
  explicit LocalPort(bool listening);
  ~LocalPort();
  LocalPort(const LocalPort&) = delete;
  LocalPort& operator=(const LocalPort&) = delete;

  int fd;
  std::string port;  // empty when the socket could not be set up
};
