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

// The code of a reply: the first three digits of its last line; 0 when there is none.
int ReplyCode(std::string_view reply) {
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.remove_suffix(1);
  size_t start = reply.rfind('\n');
  std::string_view last = reply.substr(start == std::string_view::npos ? 0 : start + 1);
  if (last.size() < 3) return 0;
  int code = 0;
  for (char c : last.substr(0, 3)) {
    if (c < '0' || c > '9') return 0;
    code = code * 10 + (c - '0');
  }
  return code;
}

// The reply without its line ends, for an error report.
std::string OneLine(std::string_view reply) {
  std::string out;
  for (char c : reply) {
    if (c == '\r') continue;
    out += c == '\n' ? ' ' : c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// Sends one command line and reads its reply. The reply code, or 0 when the relay is gone
// or silent (with `error` saying so).
int Command(int socket, const std::string& line, int seconds, std::string& reply,
            std::string& error) {
  if (NetWrite(socket, line, 0, seconds) <= 0) {
    error = "the connection to the mail server broke";
    return 0;
  }
  reply = ReadReply(socket, seconds);
  if (reply.empty()) {
    config::DebugPage("<! no reply from the mail server >\n");
    error = "no reply from the mail server";
    return 0;
  }
  return ReplyCode(reply);
}

// Sorts a reply that is not the expected one: 5xx refuses for good, anything else is
// tried again later.
void Failed(SmtpResult& result, std::string_view step, int code, const std::string& reply,
            const std::string& error) {
  if (code == 0) {
    result.error = error;
    return;
  }
  result.refused = code >= 500 && code < 600;
  result.error = base::Sprintf("%s: %s", step, OneLine(reply));
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
              const std::string& path, int seconds, SmtpResult& result) {
  std::string reply = ReadReply(socket, seconds);
  if (reply.empty()) {
    config::DebugPage("<! no greeting from the mail server >\n");
    result.error = "no greeting from the mail server";
    return;
  }
  result.connected = true;
  std::string error;
  int code = ReplyCode(reply);
  if (code != 220) return Failed(result, "greeting", code, reply, error);
  code = Command(socket, base::Sprintf("HELO %s\r\n", LocalHostName()), seconds, reply, error);
  if (code != 250) return Failed(result, "HELO", code, reply, error);
  code = Command(socket, base::Sprintf("MAIL FROM:<%s>\r\n", StripLineBreaks(sender)), seconds,
                 reply, error);
  if (code != 250) return Failed(result, "MAIL FROM", code, reply, error);
  std::string_view rest = recipients;
  int accepted = 0;
  std::string refusals;
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string to = StripLineBreaks(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    if (to.empty()) continue;
    config::DebugPage("<! sending mail to : %s >\n", to);
    code = Command(socket, base::Sprintf("RCPT TO:<%s>\r\n", to), seconds, reply, error);
    if (code == 0) return Failed(result, "RCPT TO", code, reply, error);
    if (code == 250 || code == 251) {
      ++accepted;
      continue;
    }
    (code >= 500 && code < 600 ? result.refused_rcpt : result.deferred_rcpt).push_back(to);
    if (!refusals.empty()) refusals += "; ";
    refusals += base::Sprintf("RCPT TO %s: %s", to, OneLine(reply));
  }
  result.error = refusals;
  if (accepted == 0) {
    result.refused = result.deferred_rcpt.empty();
    if (result.error.empty()) {
      result.error = "no recipient";
      result.refused = true;
    }
    Command(socket, "QUIT\r\n", seconds, reply, error);
    return;
  }
  code = Command(socket, "DATA\r\n", seconds, reply, error);
  if (code != 354) return Failed(result, "DATA", code, reply, error);
  if (!SendData(socket, path, seconds)) {
    result.error = "the connection to the mail server broke";
    return;
  }
  code = Command(socket, "\r\n.\r\n", seconds, reply, error);
  if (code != 250) return Failed(result, "end of data", code, reply, error);
  result.sent = true;
  Command(socket, "QUIT\r\n", seconds, reply, error);
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

SmtpResult SmtpSend(std::string_view server, std::string_view sender, std::string_view recipients,
                    const std::string& path, int seconds) {
  SmtpResult result;
  int socket = NetConnect(StripLineBreaks(server), "25", kConnectSeconds);
  config::DebugPage("<! sock : %d >\n", socket);
  if (socket < 0) {
    result.error = base::Sprintf("cannot reach the mail server %s", StripLineBreaks(server));
    return result;
  }
  Dialogue(socket, sender, recipients, path, seconds, result);
  NetClose(socket);
  return result;
}

namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A header value: Latin-1 text outside ASCII goes as an encoded word, so that readers show
// the letters the sender meant.
std::string HeaderText(std::string_view text) {
  std::string plain = StripLineBreaks(text);
  bool ascii = true;
  for (unsigned char c : plain) {
    if (c >= 0x80 || c < 0x20) ascii = false;
  }
  if (ascii) return plain;
  std::string out = "=?ISO-8859-1?Q?";
  for (unsigned char c : plain) {
    if (c == ' ') {
      out += '_';
    } else if (c < 0x20 || c >= 0x7f || c == '=' || c == '?' || c == '_') {
      out += base::Sprintf("=%02X", static_cast<unsigned>(c));
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "?=";
}

}  // namespace

std::string MailDate(std::time_t now) {
  std::tm local{};
  localtime_r(&now, &local);
  long offset = local.tm_gmtoff / 60;
  char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  return base::Sprintf("%s, %02d %s %d %02d:%02d:%02d %c%02ld%02ld", kDays[local.tm_wday % 7],
                       local.tm_mday, kMonths[local.tm_mon % 12], local.tm_year + 1900,
                       local.tm_hour, local.tm_min, local.tm_sec, sign, offset / 60, offset % 60);
}

std::string FormatMailHeader(const MailHeader& header, std::time_t now) {
  static int serial = 0;
  std::string to = StripLineBreaks(header.to);
  if (to.empty()) {
    to = "undisclosed-recipients:;";
  } else {
    // One address a line, so that no header line grows past what relays accept.
    std::string folded;
    for (char c : to) {
      folded += c;
      if (c == ',') folded += "\n ";
    }
    to = folded;
  }
  std::string domain = StripLineBreaks(header.domain);
  if (domain.empty()) domain = "localhost";
  std::string out;
  out += base::Sprintf("From: %s\n", StripLineBreaks(header.from));
  out += base::Sprintf("To: %s\n", to);
  out += base::Sprintf("Subject: %s\n", HeaderText(header.subject));
  out += base::Sprintf("Date: %s\n", MailDate(now));
  out += base::Sprintf("Message-ID: <%ld.%d.%d.quorb@%s>\n", static_cast<long>(now),
                       static_cast<int>(getpid()), ++serial, domain);
  out += "MIME-Version: 1.0\n";
  out +=
      base::Sprintf("Content-Type: %s; charset=ISO-8859-1\n", StripLineBreaks(header.content_type));
  out += "Content-Transfer-Encoding: 8bit\n";
  out += "\n";
  return out;
}

}  // namespace mail
