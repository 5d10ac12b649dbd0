// Loopback ports for the tests' own peers (mail servers, the print spooler).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace test_ports {

// A port of 127.0.0.1 that nothing listens on now.
inline int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), size);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// Whether something accepts connections on the port of 127.0.0.1, waiting up to ten seconds
// for a peer that is starting.
inline bool AcceptsWithin10s(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < 100; std::this_thread::sleep_for(std::chrono::milliseconds(100)), ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (up) return true;
  }
  return false;
}

}  // namespace test_ports
