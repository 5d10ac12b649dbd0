// What the synchronisation did and what went wrong, for the status page: the errors of the
// last passes and the outcome of the last pass, kept in the synchronisation folder as
// language message numbers with their words, so that the page says them in its language.
//
//   errors.txt    "<time>\t<project>\t<message>\t<a>\t<b>\t<c>\n", oldest first
//   lastpass.txt  "<time>\t<message>\t<a>\t<b>\n"
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/encode.h"
#include "base/files.h"
#include "base/numbers.h"
#include "base/out.h"
#include "config/debug.h"
#include "config/language.h"
#include "config/main_config.h"
#include "sync/sync.h"
#include "sync/sync_parts.h"

namespace synch {
namespace {

// The error file keeps at most this many lines; when it has more, the oldest go.
constexpr size_t kErrorLinesKept = 100;

std::string ErrorsPath() {
  return config::GetSynchroDir() + "errors.txt";
}

std::string LastPassPath() {
  return config::GetSynchroDir() + "lastpass.txt";
}

// A text on one line, without the separator.
std::string OneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  return out;
}

std::vector<std::string> Fields(std::string_view line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.emplace_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

// A language message with its strings, as markup: the strings escaped.
std::string SayHtml(int message, std::string_view a, std::string_view b, std::string_view c) {
  return base::Sprintf(config::Msg(message), base::EscapeHtml(a), base::EscapeHtml(b),
                       base::EscapeHtml(c));
}

// The recorded message whose number is the field before `first`, with the fields from
// `first` on as its strings.
std::string Say(const std::vector<std::string>& fields, size_t first) {
  auto at = [&](size_t k) { return k < fields.size() ? fields[k] : std::string(); };
  const int message = base::LeadingNumber(at(first - 1));
  if (message <= 0) return base::EscapeHtml(at(first - 1));  // from before errors had numbers
  return SayHtml(message, at(first), at(first + 1), at(first + 2));
}

std::vector<std::string> ErrorLines() {
  std::vector<std::string> lines;
  base::LineReader reader(ErrorsPath());
  std::string line;
  while (reader.Next(line))
    if (Fields(line).size() >= 3) lines.push_back(line);
  return lines;
}

}  // namespace

void NoteError(int message, std::string_view project, std::string_view a, std::string_view b,
               std::string_view c) {
  const std::string text = OneLine(base::Sprintf(config::Msg(message), a, b, c));
  std::fprintf(stderr, "quorb synchronisation: %s: %s\n", OneLine(project).c_str(), text.c_str());
  config::DebugPage("<! synchronisation error: %s: %s >\n", base::EscapeHtml(project),
                    OneLine(SayHtml(message, a, b, c)));
  if (!base::IsDirectory(config::GetSynchroDir())) return;
  const std::string line =
      base::Sprintf("%ld\t%s\t%d\t%s\t%s\t%s\n", static_cast<long>(std::time(nullptr)),
                    OneLine(project), message, OneLine(a), OneLine(b), OneLine(c));
  base::File f = base::OpenFile(ErrorsPath(), "ab");
  if (f) std::fwrite(line.data(), 1, line.size(), f.get());
}

std::vector<SyncError> RecentErrors() {
  std::vector<SyncError> errors;
  for (const std::string& line : ErrorLines()) {
    std::vector<std::string> f = Fields(line);
    errors.push_back({std::atol(f[0].c_str()), f[1], Say(f, 3)});
  }
  return errors;
}

void TrimErrors() {
  std::vector<std::string> lines = ErrorLines();
  if (lines.size() <= kErrorLinesKept) return;
  std::string text;
  for (size_t i = lines.size() - kErrorLinesKept; i < lines.size(); ++i) text += lines[i] + "\n";
  base::WriteFileAtomic(ErrorsPath(), text);
}

void NoteLastPass(int message, std::string_view a, std::string_view b) {
  base::WriteFileAtomic(LastPassPath(),
                        base::Sprintf("%ld\t%d\t%s\t%s\n", static_cast<long>(std::time(nullptr)),
                                      message, OneLine(a), OneLine(b)));
}

std::pair<long, std::string> LastPass() {
  std::string text = base::ReadFile(LastPassPath()).value_or("");
  if (!text.empty() && text.back() == '\n') text.pop_back();
  std::vector<std::string> f = Fields(text);
  if (f.size() < 2) return {0, {}};
  return {std::atol(f[0].c_str()), Say(f, 2)};
}

}  // namespace synch
