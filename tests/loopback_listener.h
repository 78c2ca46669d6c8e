#pragma once
// A socket on one loopback address (any of 127.0.0.x) that tells whether
// anything reached it: a TCP connection, or a UDP datagram.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace whorlgen::testing {

class LoopbackListener {
 public:
  LoopbackListener(int type, const std::string& host)
      : type_(type), host_(host), fd_(socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    inet_pton(AF_INET, host.c_str(), &at.sin_addr);
    bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at);
    if (type == SOCK_STREAM)
      listen(fd_, 8);
    socklen_t length = sizeof at;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &length);
    port_ = ntohs(at.sin_port);
  }
  ~LoopbackListener() { close(fd_); }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  std::uint16_t Port() const { return port_; }
  std::string Address() const { return host_ + ":" + std::to_string(port_); }

  // A connection came in (the kernel completes it unaccepted) or a datagram.
  bool Reached() const {
    if (type_ == SOCK_STREAM) {
      const int connection = accept(fd_, nullptr, nullptr);
      if (connection >= 0)
        close(connection);
      return connection >= 0;
    }
    char byte = 0;
    return recv(fd_, &byte, 1, MSG_DONTWAIT) >= 0;
  }

 private:
  int type_;
  std::string host_;
  int fd_;
  std::uint16_t port_ = 0;
};

}  // namespace whorlgen::testing
