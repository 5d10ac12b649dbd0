// A scripted SMTP relay on the loopback interface for the mail tests: one connection, fixed
// replies, and a record of every byte the client sent.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>

namespace mail_test {

// A listening socket on 127.0.0.1 with a port of the system's choosing.
inline int Listen(int* port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(s, 4);
  socklen_t len = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return s;
}

inline void SendAll(int s, std::string_view text) {
  send(s, text.data(), text.size(), MSG_NOSIGNAL);
}

// One connection's worth of a relay that follows a script and records every byte it gets.
// It refuses the recipient "nobody@..." for good and defers "later@...".
class ScriptedPeer {
 public:
  enum class Mode { kAnswer, kSilent, kGreetThenSilent, kScript };

  explicit ScriptedPeer(Mode mode) : listener_(Listen(&port_)) {
    thread_ = std::thread([this, mode] { Serve(mode); });
  }
  // A server of any line protocol: it sends its whole `script` of replies at once (the client
  // reads them in turn) and records what the client sends.
  explicit ScriptedPeer(std::string script)
      : script_(std::move(script)), listener_(Listen(&port_)) {
    thread_ = std::thread([this] { Serve(Mode::kScript); });
  }
  ~ScriptedPeer() {
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }
  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
  // Everything the client sent, once it has hung up.
  std::string Received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void Serve(Mode mode) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 20000) <= 0) return;
    int c = accept(listener_, nullptr, nullptr);
    if (mode == Mode::kAnswer) {
      // A greeting of two lines in two pieces, as some relays send it.
      SendAll(c, "220-relay.test first line\r\n");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      SendAll(c, "220 relay.test <ready>\r\n");
    } else if (mode == Mode::kGreetThenSilent) {
      SendAll(c, "220 relay.test\r\n");
    } else if (mode == Mode::kScript) {
      SendAll(c, script_);
    }
    std::string pending;
    bool data = false;
    char buffer[512];
    for (;;) {
      pollfd q{c, POLLIN, 0};
      if (poll(&q, 1, 20000) <= 0) break;
      ssize_t n = recv(c, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      received_.append(buffer, static_cast<size_t>(n));
      if (mode != Mode::kAnswer) continue;
      pending.append(buffer, static_cast<size_t>(n));
      size_t end;
      while ((end = pending.find("\r\n")) != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 2);
        if (data) {
          if (line == ".") {
            data = false;
            SendAll(c, "250 queued\r\n");
          }
        } else if (line == "DATA") {
          data = true;
          SendAll(c, "354 go ahead\r\n");
        } else if (line == "QUIT") {
          SendAll(c, "221 bye\r\n");
        } else if (line.find("nobody@") != std::string::npos) {
          SendAll(c, "550 5.1.1 <nobody>: no such user\r\n");
        } else if (line.find("later@") != std::string::npos) {
          SendAll(c, "451 4.3.0 try again later\r\n");
        } else {
          SendAll(c, "250 ok\r\n");
        }
      }
    }
    close(c);
  }

  std::string script_;
  int port_ = 0;
  int listener_;
  std::thread thread_;
  std::string received_;
};

}  // namespace mail_test
