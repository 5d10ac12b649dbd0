#include "mail/smtp.h"

#include <unistd.h>

#include <chrono>

#include "base/files.h"
#include "base/out.h"
#include "config/debug.h"

namespace mail {
namespace {

constexpr size_t kHostMax = 50;

// Whether `text` holds a whole reply: its last line is ended and is not a continuation
// line ("250-..." announces more lines).
bool IsCompleteReply(std::string_view text) {
  if (text.empty() || text.back() != '\n') return false;
  size_t start = text.size() >= 2 ? text.rfind('\n', text.size() - 2) : std::string_view::npos;
  std::string_view last = text.substr(start == std::string_view::npos ? 0 : start + 1);
  return !(last.size() > 3 && last[3] == '-');
}

// Reads one whole reply, however the relay splits it, waiting at most `seconds` in all.
// Empty when nothing came.
std::string ReadReply(int socket, int seconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
  std::string reply;
  while (!IsCompleteReply(reply)) {
    auto left = std::chrono::ceil<std::chrono::seconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    std::string piece;
    NetRead(socket, static_cast<int>(left), &piece);
    if (piece.empty()) break;
    reply += piece;
  }
  if (!reply.empty()) WriteReadComment(static_cast<int>(reply.size()), reply);
  return reply;
}

// Sends one command line and reads its reply; false when the relay is gone or silent.
bool Command(int socket, const std::string& line, int seconds) {
  if (NetWrite(socket, line, 0, seconds) <= 0) return false;
  if (ReadReply(socket, seconds).empty()) {
    config::DebugPage("<! no reply from the mail server >\n");
    return false;
  }
  return true;
}

std::string LocalHostName() {
  std::string name(256, '\0');
  if (gethostname(name.data(), name.size()) != 0) return "localhost";
  name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));
  name = StripLineBreaks(name);
  if (name.size() > kHostMax) name.resize(kHostMax);
  return name;
}

// A line of the message as the data phase carries it: no stray carriage return, a leading
// "." doubled so that the relay cannot take it for the end of the data, ended by CR LF.
std::string DataLine(std::string_view line) {
  std::string out;
  out.reserve(line.size() + 3);
  if (!line.empty() && line.front() == '.') out += '.';
  for (char c : line) {
    if (c != '\r') out += c;
  }
  out += "\r\n";
  return out;
}

// Sends the message file; false when a send failed.
bool SendData(int socket, const std::string& path, int seconds) {
  base::LineReader reader(path);
  std::string line;
  while (reader.Next(line)) {
    if (NetWrite(socket, DataLine(line), 0, seconds) <= 0) return false;
  }
  return true;
}

void Dialogue(int socket, std::string_view sender, std::string_view recipients,
              const std::string& path, int seconds) {
  if (ReadReply(socket, seconds).empty()) {
    config::ReportFailure("no greeting from the mail server",
                          "<! no greeting from the mail server >\n");
    return;
  }
  if (!Command(socket, base::Sprintf("HELO %s\r\n", LocalHostName()), seconds)) return;
  if (!Command(socket, base::Sprintf("MAIL FROM: %s\r\n", StripLineBreaks(sender)), seconds))
    return;
  std::string_view rest = recipients;
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string to = StripLineBreaks(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    if (to.empty()) continue;
    config::DebugPage("<! sending mail to : %s >\n", to);
    if (!Command(socket, base::Sprintf("RCPT TO: <%s>\r\n", to), seconds)) return;
  }
  if (!Command(socket, "DATA\r\n", seconds)) return;
  if (!SendData(socket, path, seconds)) return;
  if (!Command(socket, "\r\n.\r\n", seconds)) return;
  Command(socket, "quit\r\n", seconds);
}

}  // namespace

std::string StripLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

void SmtpSend(std::string_view server, std::string_view sender, std::string_view recipients,
              const std::string& path, int seconds) {
  int socket = NetConnect(StripLineBreaks(server), "25", seconds);
  config::DebugPage("<! sock : %d >\n", socket);
  if (socket < 0) return;
  Dialogue(socket, sender, recipients, path, seconds);
  NetClose(socket);
}

}  // namespace mail
