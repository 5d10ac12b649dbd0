#include "mail/pop3.h"

#include <algorithm>
#include <chrono>

#include "base/files.h"
#include "base/numbers.h"
#include "base/out.h"
#include "base/text.h"
#include "config/debug.h"
#include "config/main_config.h"
#include "mail/smtp.h"

namespace mail {
namespace {

using Clock = std::chrono::steady_clock;

// Longest project or message name taken from a subject.
constexpr size_t kSubjectWordMax = 100;
// A one-line reply longer than this is not a POP3 reply.
constexpr size_t kReplyLineMax = 65536;

// The reply shown in a comment: no markup, no line breaks.
std::string Shown(std::string_view reply) {
  std::string out;
  for (char c : reply.substr(0, 200)) {
    if (c == '<') c = '{';
    if (c == '>') c = '}';
    if (c == '\r' || c == '\n') continue;
    out += c;
  }
  return out;
}

// Receives into session.pending, waiting at most the session's time. False when nothing
// came (time-out or closed connection).
int Bounded(const PopSession& session, int seconds) {
  if (session.deadline == Clock::time_point{}) return seconds;
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(session.deadline - Clock::now());
  if (left.count() <= 0) return -1;
  return std::max(1, std::min(seconds, static_cast<int>((left.count() + 999) / 1000)));
}

bool Receive(PopSession& session, int seconds) {
  std::string chunk;
  seconds = Bounded(session, seconds);
  if (seconds < 0) return false;
  NetRead(session.socket, seconds, &chunk);
  if (chunk.empty()) return false;
  session.pending += chunk;
  return true;
}

// One reply line (with its line end), or empty when none came in time.
std::string ReadLine(PopSession& session) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kPopReplySeconds);
  for (;;) {
    size_t end = session.pending.find(session.line_end);
    if (end != std::string::npos) {
      std::string line = session.pending.substr(0, end + 1);
      session.pending.erase(0, end + 1);
      WriteReadComment(static_cast<int>(line.size()), line);
      return line;
    }
    if (session.pending.size() > kReplyLineMax || Clock::now() >= deadline ||
        !Receive(session, session.seconds))
      return {};
  }
}

// Reads a multi-line reply. False when it did not end in time or the server hung up.
bool ReadMultiline(PopSession& session, MultilineReply& reply) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kPopReplySeconds);
  std::string chunk = std::move(session.pending);
  session.pending.clear();
  while (!reply.Feed(chunk)) {
    if (Clock::now() >= deadline) return false;
    chunk.clear();
    int seconds = Bounded(session, session.seconds);
    if (seconds < 0) return false;
    NetRead(session.socket, seconds, &chunk);
    if (chunk.empty()) return false;
  }
  session.pending = reply.TakeRest();
  return true;
}

bool Command(PopSession& session, const std::string& line) {
  return NetWrite(session.socket, line, 0, session.seconds) > 0;
}

// Sends a one-line command and reads its reply; true for "+OK".
bool Simple(PopSession& session, const std::string& line) {
  if (!Command(session, line)) return false;
  std::string reply = ReadLine(session);
  return !reply.empty() && reply[0] == '+';
}

bool IsSafeWord(std::string_view word) {
  return !word.empty() && word.size() <= kSubjectWordMax && word != "." &&
         word.find_first_of("/\\") == std::string_view::npos &&
         word.find("..") == std::string_view::npos && word.find('\0') == std::string_view::npos;
}

bool IsMessageName(std::string_view name) {
  if (name.size() < 6 || name.size() > 12 || name[0] != 's') return false;
  for (char c : name.substr(1))
    if (c < '0' || c > '9') return false;
  return true;
}

// The line at `pos` without its end (CR LF, LF or CR); `pos` moves past it.
std::string_view NextLine(std::string_view text, size_t& pos) {
  size_t end = text.find_first_of("\r\n", pos);
  if (end == std::string_view::npos) end = text.size();
  std::string_view line = text.substr(pos, end - pos);
  pos = end + 1;
  if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ++pos;
  return line;
}

}  // namespace

bool IsEndOfMultiline(std::string_view text, char line_end) {
  if (line_end == '\r') return text.ends_with("\r.\r");
  return text.ends_with("\n.\r\n") || text.ends_with("\n.\n");
}

bool MultilineReply::Feed(std::string_view chunk) {
  if (done_) return true;
  size_t scan = raw_.size();
  raw_ += chunk;
  if (status_end_ == std::string::npos) {
    size_t end = raw_.find(line_end_);
    if (end == std::string::npos) return false;
    status_end_ = end + 1;
    if (raw_[0] != '+') {
      end_ = status_end_;
      return done_ = true;
    }
    scan = status_end_;
  }
  // Only a line end among the new bytes, past the status line, can close the reply.
  for (size_t pos = raw_.find(line_end_, std::max(scan, status_end_)); pos != std::string::npos;
       pos = raw_.find(line_end_, pos + 1)) {
    if (IsEndOfMultiline(std::string_view(raw_).substr(0, pos + 1), line_end_)) {
      end_ = pos + 1;
      return done_ = true;
    }
  }
  return false;
}

std::string MultilineReply::TakeRest() {
  if (!done_ || end_ >= raw_.size()) return {};
  std::string rest = raw_.substr(end_);
  raw_.resize(end_);
  return rest;
}

std::string_view MultilineReply::Status() const {
  if (status_end_ == std::string::npos) return {};
  return std::string_view(raw_).substr(0, status_end_);
}

std::string MultilineReply::Body() const {
  std::string body;
  if (!done_ || !IsOk() || end_ <= status_end_) return body;
  std::string_view rest = std::string_view(raw_).substr(status_end_, end_ - status_end_);
  // The terminating "." line goes.
  size_t last = rest.size() >= 2 ? rest.rfind(line_end_, rest.size() - 2) : std::string::npos;
  rest = last == std::string_view::npos ? std::string_view() : rest.substr(0, last + 1);
  body.reserve(rest.size());
  size_t pos = 0;
  while (pos < rest.size()) {
    size_t end = rest.find(line_end_, pos);
    end = end == std::string_view::npos ? rest.size() : end + 1;
    std::string_view line = rest.substr(pos, end - pos);
    if (!line.empty() && line[0] == '.') line.remove_prefix(1);
    body += line;
    pos = end;
  }
  return body;
}

std::vector<std::pair<int, int>> ParseListing(std::string_view body) {
  std::vector<std::pair<int, int>> pairs;
  size_t pos = 0;
  while (pos < body.size()) {
    std::string_view line = NextLine(body, pos);
    size_t at = 0;
    std::string_view number = base::NextWord(line, at);
    std::string_view size = base::NextWord(line, at);
    if (number.empty() || size.empty() || number[0] < '0' || number[0] > '9' || size[0] < '0' ||
        size[0] > '9')
      continue;
    int n = base::LeadingNumber(number);
    if (n > 0) pairs.emplace_back(n, base::LeadingNumber(size));
  }
  return pairs;
}

std::optional<std::pair<std::string, std::string>> FindSynchSubject(std::string_view header) {
  const std::string marker = "Subject: " + std::string(kSynchMarker);
  size_t pos = 0;
  while (pos < header.size()) {
    std::string_view line = NextLine(header, pos);
    if (line.empty()) break;  // the end of the header block
    if (!line.starts_with(marker)) continue;
    std::string_view rest = line.substr(marker.size());
    if (rest.empty() || !base::IsBlank(rest[0])) continue;
    size_t at = 0;
    std::string_view project = base::NextWord(rest, at);
    std::string_view name = base::NextWord(rest, at);
    if (!IsSafeWord(project) || !IsMessageName(name)) return std::nullopt;
    return std::make_pair(std::string(project), std::string(name));
  }
  return std::nullopt;
}

bool popLogin(PopSession& session) {
  config::DebugPage("<! popLogin>\n");
  session.socket = NetConnect(StripLineBreaks(config::GetConfig("POP3")), "110", session.seconds);
  if (session.socket < 0) return false;
  // The greeting tells the server's line ends: CR LF (or LF), or CR alone.
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(session.seconds);
  while (session.pending.find('\n') == std::string::npos) {
    if (!session.pending.empty() && session.pending.back() == '\r') {
      // A lone CR: either a CR-only server, or a CR LF split across two reads.
      if (!Receive(session, 1)) break;
      continue;
    }
    if (Clock::now() >= deadline || !Receive(session, session.seconds)) break;
  }
  if (session.pending.empty()) {
    config::DebugPage("<! no greeting from the POP3 server >\n");
    session.failure = kPopSilent;
    return false;
  }
  session.line_end = session.pending.find('\n') == std::string::npos ? '\r' : '\n';
  std::string greeting = ReadLine(session);
  session.failure = kPopRefusedConnection;
  if (greeting.empty() || greeting[0] != '+') return false;
  std::string user = StripLineBreaks(config::GetConfig("POP3USER"));
  if (!Command(session, base::Sprintf("USER %s\r\n", user))) return false;
  std::string reply = ReadLine(session);
  config::DebugPage("<!%s>\n", Shown(reply));
  session.failure = kPopRefusedUser;
  if (reply.empty() || reply[0] != '+') return false;
  // The password goes to the server only: the write comment shows lengths, never the text.
  if (!Command(session, "PASS " + StripLineBreaks(config::GetConfig("POP3PASS")) + "\r\n"))
    return false;
  reply = ReadLine(session);
  config::DebugPage("<!%s>\n", Shown(reply));
  session.failure = reply.empty() ? kPopSilentAtPassword : kPopRefusedPassword;
  return !reply.empty() && reply[0] == '+';
}

std::vector<std::pair<int, int>> PopList(PopSession& session) {
  if (!Command(session, "LIST\r\n")) return {};
  MultilineReply reply(session.line_end);
  if (!ReadMultiline(session, reply) || !reply.IsOk()) return {};
  WriteReadComment(static_cast<int>(reply.Status().size()), reply.Status());
  return ParseListing(reply.Body());
}

std::vector<SynchMailEntry> PopFindSynchMails(PopSession& session) {
  std::vector<SynchMailEntry> found;
  for (const auto& [number, size] : PopList(session)) {
    if (!Command(session, base::Sprintf("TOP %d 1\r\n", number))) break;
    MultilineReply reply(session.line_end);
    if (!ReadMultiline(session, reply)) {
      config::DebugPage("<! no whole header for mail %d >\n", number);
      break;  // the dialogue is out of step
    }
    if (auto subject = FindSynchSubject(reply.Body()))
      found.push_back({number, subject->first, subject->second, size});
  }
  return found;
}

int PopCollect(const MailSink& sink, const std::function<void()>& keep_alive) {
  PopSession session;
  session.seconds = kPopWaitSeconds;
  session.deadline = Clock::now() + std::chrono::seconds(kPopBudgetSeconds);
  bool logged_in = popLogin(session);
  if (!logged_in) {
    if (session.socket >= 0) {
      session.deadline = Clock::now() + std::chrono::seconds(1);
      Simple(session, "QUIT\r\n");
    }
    NetClose(session.socket);
    return session.failure == 0 ? kPopUnreachable : session.failure;
  }
  for (const SynchMailEntry& entry : PopFindSynchMails(session)) {
    if (keep_alive) keep_alive();
    if (Clock::now() >= session.deadline) {
      base::Page("<! no time left: the other mails wait for the next pass >\n");
      break;
    }
    config::DebugPage("<! synchfile :'%d %s %s %d' >", entry.number, entry.project, entry.name,
                      entry.size);
    if (!Command(session, base::Sprintf("RETR %d\r\n", entry.number))) break;
    MultilineReply reply(session.line_end);
    if (!ReadMultiline(session, reply)) {
      // Cut off: nothing is stored, the mail stays, and the dialogue is out of step.
      config::DebugPage("<! mail %d cut off: left in the mailbox >\n", entry.number);
      break;
    }
    if (!reply.IsOk()) continue;
    std::string text(reply.Status());
    text += reply.Body();
    if (sink(entry, text) == Keep::kDelete)
      Simple(session, base::Sprintf("DELE %d\r\n", entry.number));
  }
  // Deletions take effect only when the server sees QUIT; it gets a second of its own.
  session.deadline = Clock::now() + std::chrono::seconds(1);
  Simple(session, "QUIT\r\n");
  NetClose(session.socket);
  return 0;
}

}  // namespace mail
