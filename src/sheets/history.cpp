#include "sheets/history.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <vector>

#include "base/encode.h"
#include "base/files.h"
#include "base/request_state.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "store/sheet.h"
#include "store/store.h"
#include "users/rights.h"
#include "web/cookies.h"
#include "web/page.h"
#include "web/response.h"

namespace sheets {
namespace {

// A day is the date part of a journal line: "1999/12/31".
constexpr size_t kDayLength = 10;
// The journal is read in blocks of this size (more for a longer line).
constexpr size_t kBlockSize = 1 << 20;
// The test book's action that shows one test.
constexpr int kShowTestAction = 21;

// Streams a file in large reads and hands it over a block of whole lines at a time: each
// block begins at a line start and ends just after a line feed, except the last block of a
// file whose last line has no line feed. Nothing is copied per line.
class LineBlocks {
 public:
  explicit LineBlocks(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~LineBlocks() {
    if (fd_ >= 0) ::close(fd_);
  }
  LineBlocks(const LineBlocks&) = delete;
  LineBlocks& operator=(const LineBlocks&) = delete;

  // The next block; false at the end of the file (or when it cannot be read).
  bool Next(std::string_view& block) {
    if (fd_ < 0) return false;
    // The unfinished line after the last block moves to the front.
    if (taken_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + taken_, filled_ - taken_);
      filled_ -= taken_;
      taken_ = 0;
    }
    size_t searched = filled_;  // the unfinished line holds no line feed
    while (true) {
      if (buffer_.size() - filled_ < kBlockSize / 2) buffer_.resize(buffer_.size() + kBlockSize);
      ssize_t n = ::read(fd_, buffer_.data() + filled_, buffer_.size() - filled_);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {  // the end: what is left is a last line without its line feed
        ::close(fd_);
        fd_ = -1;
        if (filled_ == 0) return false;
        block = std::string_view(buffer_.data(), filled_);
        filled_ = 0;
        return true;
      }
      filled_ += static_cast<size_t>(n);
      const void* last = memrchr(buffer_.data() + searched, '\n', filled_ - searched);
      if (last) {
        taken_ = static_cast<size_t>(static_cast<const char*>(last) - buffer_.data()) + 1;
        block = std::string_view(buffer_.data(), taken_);
        return true;
      }
      searched = filled_;
    }
  }

 private:
  int fd_;
  std::vector<char> buffer_;
  size_t filled_ = 0;  // bytes read into the buffer
  size_t taken_ = 0;   // bytes handed over in the last block
};

// Calls fn(line) for every line of the block, without its line feed.
template <typename Fn>
void ForEachLine(std::string_view block, Fn&& fn) {
  const char* p = block.data();
  const char* end = p + block.size();
  while (p < end) {
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* stop = lf ? lf : end;
    fn(std::string_view(p, static_cast<size_t>(stop - p)));
    p = stop + 1;
  }
}

std::string JournalPath() {
  return base::JoinPath(config::GetDataDir(), store::kJournalName);
}

// A journal value (a day, a sheet name) inside an unquoted link attribute: the characters
// of dates and sheet names stay, any other byte is percent-encoded, so the value neither
// ends the attribute nor adds parameters to the link.
std::string LinkValue(std::string_view text) {
  return base::PercentEncode(text, "/._-:");
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void SkipBlanks(std::string_view& text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  text.remove_prefix(i);
}

// The next word after optional blanks, as "%s" reads it.
std::string_view TakeWord(std::string_view& text) {
  SkipBlanks(text);
  size_t i = 0;
  while (i < text.size() && !IsBlank(text[i])) ++i;
  std::string_view word = text.substr(0, i);
  text.remove_prefix(i);
  return word;
}

// A test reference "project/code/letter/Book/test.module.step.number" in the seven parts
// p1 to p7 that "%[^/]/%[^/]/%[^/]/%[^.].%[^.].%[^.].%[^.]" reads; the parts after the
// first that does not match stay empty.
std::array<std::string, 7> SplitTestReference(std::string_view ref) {
  static constexpr char kStops[7] = {'/', '/', '/', '.', '.', '.', '.'};
  std::array<std::string, 7> parts;
  for (size_t k = 0; k < parts.size(); ++k) {
    size_t n = ref.find(kStops[k]);
    if (n == std::string_view::npos) n = ref.size();
    if (n == 0) break;
    parts[k] = ref.substr(0, n);
    ref.remove_prefix(n);
    if (k + 1 == parts.size()) break;
    if (ref.empty() || ref.front() != kStops[k]) break;
    ref.remove_prefix(1);
  }
  return parts;
}

void WriteTestLink(base::Stream out, const std::string& script, std::string_view ref) {
  using base::EscapeHtml;
  std::array<std::string, 7> p = SplitTestReference(ref);
  std::string group = config::GetSubprojectName(p[0], p[1]);
  int phase = config::GetPhaseIndex(p[2].empty() ? '\0' : p[2][0]);
  base::Printf(out, "<TD><A HREF=\"%s?%s=%s&%s=%s&%s=%s&%s=%d", script, "CMD", "book", "project",
               EscapeHtml(p[0]), "group", EncodeLinkValue(group), "phase", phase);
  base::Printf(out, "&%s=%s", "mod", EncodeLinkValue(p[4]));
  base::Printf(out, "&%s=%s", "step", EncodeLinkValue(p[5]));
  base::Printf(out, "&%s=%s", "test", EncodeLinkValue(p[6]));
  base::Printf(out, "&%s=%d\"> \n", "book", kShowTestAction);
  base::Printf(out, "%s.%s.%s.%s.%s.%s</A> </TD>\n", EscapeHtml(p[0]), EscapeHtml(p[1]),
               EscapeHtml(p[2]), EscapeHtml(p[4]), EscapeHtml(p[5]), EscapeHtml(p[6]));
}

// The names of the day's lines that belonged to sheets which moved since, with the names
// they have now (looked up once each).
struct MovedNames {
  std::map<std::string, std::string, std::less<>> now;
};

std::string CurrentName(std::string_view name) {
  auto& known = base::Cache<MovedNames>().now;
  if (auto it = known.find(name); it != known.end()) return it->second;
  std::string now(name);
  if (store::IsSheetName(name) && !store::SheetFileExists(name) && store::IsForwarded(name))
    now = store::ResolveName(name).value_or(now);
  known.emplace(std::string(name), now);
  return now;
}

// One journal line of the day page: the time, the link, the coloured message. The line of
// a name the sheet had before it moved shows under its current name.
void WriteDayRow(base::Stream out, const std::string& script, const std::string& uid,
                 std::string_view line) {
  std::string_view rest = line.size() > kDayLength + 1 ? line.substr(kDayLength + 1) : "";
  std::string_view time = TakeWord(rest);
  std::string_view name = TakeWord(rest);
  SkipBlanks(rest);
  base::Printf(out, "<TR><TD> %s </TD>\n", base::EscapeHtml(time));
  if (name.find('/') == std::string_view::npos) {
    const std::string now = CurrentName(name);
    if (now == name)
      base::Printf(out, "<TD><A HREF=%s?%s=%s%s>%s</A> </TD>\n", script, "Num", LinkValue(name),
                   uid, base::EscapeHtml(name));
    else
      base::Printf(out, "<TD><A HREF=%s?%s=%s%s>%s</A> (%s %s) </TD>\n", script, "Num",
                   LinkValue(now), uid, base::EscapeHtml(now), config::Msg(570),
                   base::EscapeHtml(name));
  } else
    WriteTestLink(out, script, name);
  base::Printf(out, "<TD> %s</TD><TR>\n", ColourKeywords(rest));
}

// The words of the colouring table and their colours.
struct KeywordTable {
  bool loaded = false;
  std::array<std::string, 9> words;
};

constexpr std::array<std::string_view, 9> kKeywordColours = {
    "BLACK", "RED", "RED", "RED", "STEELBLUE", "GREEN", "GREEN", "GREEN", "RED"};
constexpr int kKeywordMessageBase = 2600;

const KeywordTable& Keywords() {
  KeywordTable& table = base::Cache<KeywordTable>();
  if (!table.loaded) {
    for (size_t k = 0; k < table.words.size(); ++k)
      table.words[k] = config::Msg(kKeywordMessageBase + static_cast<int>(k));
    table.loaded = true;
  }
  return table;
}

}  // namespace

void HistoryCommand(const web::ParamList& list) {
  // The journal holds the actions of every project and every status.
  if (!users::MayReadEverything(list)) {
    web::WritePageHead(nullptr, "History", "", list);
    web::ErrorBox(config::kMsgNoRight);
    return;
  }
  web::StartHtmlPage();
  const std::string& text = web::GetParam(list, "text");
  if (web::IsAbsent(text)) {
    base::Page("<HTML LANG=\"%s\">\n<HEAD>\n<TITLE>History</TITLE>\n</HEAD>\n",
               web::PageLanguage());
    WriteHistoryFrames();
  } else if (text == "PAGE") {
    WriteHistoryPage(web::GetParam(list, "day"), list);
  } else if (text == "TOP") {
    WriteHistoryTitle();
  } else if (text == "LEFT") {
    WriteHistoryDays();
  } else {
    base::Page("<BODY BGCOLOR=#FFFFFF TEXT=#000000 >\n");
    WriteHistoryDay(text);
  }
}

void WriteHistoryFrames(base::Stream out) {
  const std::string today = store::FormatDate(static_cast<long>(std::time(nullptr)));
  const std::string script = web::ScriptName();
  const std::string uid = web::UidSuffix();
  base::Write(out, "<FRAMESET BORDER=1 ROWS=\"50,*\">\n");
  const std::string title = base::EscapeHtml(config::Msg(2036));
  base::Printf(out, "  <FRAME SRC=%s?%s=history&%s=TOP name=TOP TITLE=\"%s\" ", script, "CMD",
               "text", title);
  base::Write(out, "     scrolling=no frameborder=0 noresize />\n");
  base::Write(out, "  <FRAMESET BORDER=1 COLS=\"100,*\">\n");
  base::Printf(out, "     <FRAME SRC=%s?%s=history&%s=LEFT%s name=LEFT TITLE=\"%s\" />\n", script,
               "CMD", "text", uid, title);
  base::Printf(out, "     <FRAME SRC=%s?%s=history&%s=%s%s name=HIST TITLE=\"%s\" />\n", script,
               "CMD", "text", std::string_view(today).substr(0, kDayLength), uid,
               base::EscapeHtml(config::Msg(2037)));
  base::Write(out, "  </FRAMESET>\n");
  base::Write(out, "</FRAMESET>\n");
}

void WriteHistoryTitle(base::Stream out) {
  base::Write(out, "<BODY BGCOLOR=#FFFFFF TEXT=#000000 >\n");
  // The way home leaves the frames.
  base::Printf(out, "<DIV STYLE=\"float:right\">%s</DIV>\n", web::HomeAnchor(true));
  base::Printf(out, "<P ALIGN=CENTER><B><FONT SIZE=5>%s</FONT>\n", config::Msg(2036));
  // The same history on one page, for a phone, the back button and a screen reader.
  base::Printf(out, "</B> <A HREF=\"%s?CMD=history&text=PAGE%s\" TARGET=\"_top\">%s</A>\n",
               web::ScriptName(), base::EscapeHtml(web::UidSuffix()), config::Msg(2140));
  base::Write(out, "</BODY>\n");
}

namespace {

// The first day of each run of lines, in journal order. A line too short to hold a day
// neither adds one nor ends a run.
std::vector<std::string> JournalDays() {
  std::vector<std::string> days;
  LineBlocks journal(JournalPath());
  std::string_view block;
  while (journal.Next(block)) {
    ForEachLine(block, [&](std::string_view line) {
      if (line.size() < kDayLength) return;
      std::string_view day = line.substr(0, kDayLength);
      if (days.empty() || days.back() != day) days.emplace_back(day);
    });
  }
  return days;
}

}  // namespace

void WriteHistoryDays(base::Stream out) {
  base::Write(out, "<BODY BGCOLOR=#FFFFFF TEXT=#000000 >\n");
  const std::vector<std::string> days = JournalDays();
  const std::string script = web::ScriptName();
  const std::string uid = web::UidSuffix();
  std::string html;
  for (auto it = days.rbegin(); it != days.rend(); ++it) {
    html += base::Sprintf("<A HREF=%s?%s=history&%s=%s%s TARGET=HIST >\n", script, "CMD", "text",
                          LinkValue(*it), uid);
    html += base::EscapeHtml(*it);
    html += "</A><BR>\n";
  }
  base::Write(out, html);
}

void WriteHistoryPage(std::string_view day, const web::ParamList& list) {
  web::WritePageHead(nullptr, config::Msg(2036), "", list);
  web::WriteHomeLink();
  const std::vector<std::string> days = JournalDays();
  // Today's actions unless a day is asked for.
  std::string shown(day);
  if (web::IsAbsent(shown))
    shown = store::FormatDate(static_cast<long>(std::time(nullptr))).substr(0, kDayLength);
  WriteHistoryDay(shown);
  const std::string script = web::ScriptName();
  const std::string uid = base::EscapeHtml(web::UidSuffix());
  std::string html = "<P>\n";
  for (auto it = days.rbegin(); it != days.rend(); ++it)
    html += base::Sprintf("<A HREF=\"%s?CMD=history&text=PAGE&day=%s%s\">%s</A>\n", script,
                          LinkValue(*it), uid, base::EscapeHtml(*it));
  base::Write(nullptr, html);
}

void WriteHistoryDay(std::string_view day, base::Stream out) {
  base::Printf(out, "<H1>%s %s</H1>\n", config::Msg(2037), base::EscapeHtml(day));
  base::Write(out, "<TABLE BORDER=0 CELLSPACING=0 CELLPADDING=0 >\n");
  if (day.size() == kDayLength) {
    const std::string script = web::ScriptName();
    const std::string uid = web::UidSuffix();
    LineBlocks journal(JournalPath());
    std::string_view block;
    while (journal.Next(block)) {
      ForEachLine(block, [&](std::string_view line) {
        if (line.starts_with(day)) WriteDayRow(out, script, uid, line);
      });
    }
  }
  base::Write(out, "</TABLE>\n");
}

std::string ColourKeywords(std::string_view text) {
  const KeywordTable& table = Keywords();
  for (size_t k = 0; k < table.words.size(); ++k) {
    const std::string& word = table.words[k];
    if (word.empty()) break;
    size_t at = text.find(word);
    if (at == std::string_view::npos) continue;
    return base::EscapeHtml(text.substr(0, at)) +
           base::Sprintf("<B><FONT COLOR=%s>%s</Font></B>", kKeywordColours[k], word) +
           base::EscapeHtml(text.substr(at + word.size()));
  }
  return base::EscapeHtml(text);
}

}  // namespace sheets
