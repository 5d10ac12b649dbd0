#include "mail/net.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/out.h"
#include "config/debug.h"

namespace mail {
namespace {

// At most this many bytes per receive, as the page comments have always counted them.
constexpr size_t kReadChunk = 1023;

struct HostPort {
  std::string host;
  std::string port;
};

// "host", "host:port", "[v6]" or "[v6]:port"; a bare v6 address (several colons) has no port.
HostPort SplitServer(std::string_view server, std::string_view default_port) {
  HostPort hp{std::string(server), std::string(default_port)};
  if (!server.empty() && server.front() == '[') {
    size_t close = server.find(']');
    if (close != std::string_view::npos) {
      hp.host = std::string(server.substr(1, close - 1));
      std::string_view rest = server.substr(close + 1);
      if (rest.size() > 1 && rest.front() == ':') hp.port = std::string(rest.substr(1));
    }
    return hp;
  }
  size_t colon = server.find(':');
  if (colon != std::string_view::npos && server.find(':', colon + 1) == std::string_view::npos) {
    hp.host = std::string(server.substr(0, colon));
    if (colon + 1 < server.size()) hp.port = std::string(server.substr(colon + 1));
  }
  return hp;
}

// Waits for `events` on the socket; seconds <= 0 waits without limit. The poll result.
int WaitFor(int socket, short events, int seconds) {
  pollfd p{socket, events, 0};
  int timeout = seconds > 0 ? seconds * 1000 : -1;
  int r;
  do {
    r = poll(&p, 1, timeout);
  } while (r < 0 && errno == EINTR);
  return r;
}

// Connects with a bounded wait; 0 or the error number.
int ConnectWithin(int socket, const sockaddr* addr, socklen_t len, int seconds) {
  int flags = fcntl(socket, F_GETFL, 0);
  fcntl(socket, F_SETFL, flags | O_NONBLOCK);
  int error = 0;
  if (connect(socket, addr, len) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      int r = WaitFor(socket, POLLOUT, seconds);
      if (r <= 0) {
        error = r == 0 ? ETIMEDOUT : errno;
      } else {
        socklen_t size = sizeof error;
        if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
      }
    }
  }
  fcntl(socket, F_SETFL, flags);
  return error;
}

}  // namespace

int NetConnect(std::string_view server, std::string_view port, int seconds) {
  HostPort hp = SplitServer(server, port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (hp.host.empty() || getaddrinfo(hp.host.c_str(), hp.port.c_str(), &hints, &found) != 0 ||
      !found) {
    config::ReportFailure(base::Sprintf("cannot resolve %s", hp.host),
                          "<! impossible to find host %s>\n", hp.host);
    return -3;
  }
  int result = -1;
  int error = 0;
  bool connect_failed = false;
  // Each address of the host in turn: "localhost" may name ::1 before 127.0.0.1.
  for (addrinfo* a = found; a; a = a->ai_next) {
    int s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (s < 0) {
      if (!connect_failed) error = errno;
      continue;
    }
    int wait = seconds > 0 && seconds < kConnectSeconds ? seconds : kConnectSeconds;
    int e = ConnectWithin(s, a->ai_addr, a->ai_addrlen, wait);
    if (e == 0) {
      // A relay that stops reading cannot hold a send for ever.
      timeval tv{seconds > 0 ? seconds : kNetWaitSeconds, 0};
      setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
      result = s;
      break;
    }
    close(s);
    connect_failed = true;
    error = e;
  }
  freeaddrinfo(found);
  if (result >= 0) return result;
  if (!connect_failed) {
    config::DebugPage("<! impossible to open socket: error %d>\n", error);
    config::DebugPage("<! %s >\n", std::strerror(error));
    return -1;
  }
  config::ReportFailure(base::Sprintf("cannot connect to %s: %s", hp.host, std::strerror(error)),
                        "<! impossible to connect to %s: error %d>\n", hp.host, error);
  config::DebugPage("<! %s >\n", std::strerror(error));
  return -2;
}

int NetClose(int socket) {
  if (socket >= 0) {
    shutdown(socket, SHUT_RDWR);
    close(socket);
  }
  return 1;
}

int NetRead(int socket, int seconds, std::string* text) {
  if (text) text->clear();
  int ready = WaitFor(socket, POLLIN, seconds);
  if (ready <= 0) return 0;
  std::string buffer(kReadChunk, '\0');
  ssize_t n;
  do {
    n = recv(socket, buffer.data(), buffer.size(), 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return ready;
  buffer.resize(static_cast<size_t>(n));
  if (text) *text = std::move(buffer);
  return static_cast<int>(n);
}

void WriteReadComment(int count, std::string_view reply) {
  std::string shown(reply);
  for (char& c : shown) {
    if (c == '>') c = '}';
  }
  int code = 0;
  size_t i = 0;
  while (i < shown.size() &&
         (shown[i] == ' ' || shown[i] == '\t' || shown[i] == '\r' || shown[i] == '\n')) {
    ++i;
  }
  bool negative = i < shown.size() && shown[i] == '-';
  if (i < shown.size() && (shown[i] == '-' || shown[i] == '+')) ++i;
  for (; i < shown.size() && shown[i] >= '0' && shown[i] <= '9' && code < 100000000; ++i) {
    code = code * 10 + (shown[i] - '0');
  }
  if (negative) code = -code;
  std::string first;
  for (size_t k = 0; k < shown.size() && k < 30; ++k) {
    unsigned char c = static_cast<unsigned char>(shown[k]);
    first += (c >= 32 && c <= 122) ? static_cast<char>(c) : '.';
  }
  config::DebugPage("<! read : %d %d [%s]>\n", count, code, first);
}

int NetReadReply(int socket, int seconds, std::string* text) {
  std::string reply;
  int count = NetRead(socket, seconds, &reply);
  if (!reply.empty()) WriteReadComment(count, reply);
  if (text) *text = std::move(reply);
  return 0;
}

int NetWrite(int socket, std::string_view text, int replies, int seconds) {
  size_t sent = 0;
  int error = 0;
  while (sent < text.size()) {
    // MSG_NOSIGNAL: a relay that hung up must not kill the request with SIGPIPE.
    ssize_t n = send(socket, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : 0;
      break;
    }
    sent += static_cast<size_t>(n);
  }
  int result = sent == 0 && !text.empty() ? -1 : static_cast<int>(sent);
  config::DebugPage("<! write : %d/%d err:%d[]> \n", result, static_cast<int>(text.size()), error);
  for (int i = 0; i < replies; ++i) NetReadReply(socket, seconds);
  return result;
}

}  // namespace mail
