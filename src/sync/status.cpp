// What the synchronisation did and what went wrong, for the status page: the errors of the
// last passes and the outcome of the last pass, kept in the synchronisation folder.
#include <cstdio>
#include <ctime>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "config/debug.h"
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

}  // namespace

void NoteError(std::string_view project, std::string_view text) {
  const long now = static_cast<long>(std::time(nullptr));
  std::string line = base::Sprintf("%ld\t%s\t%s\n", now, OneLine(project), OneLine(text));
  std::fprintf(stderr, "quorb synchronisation: %s: %s\n", OneLine(project).c_str(),
               OneLine(text).c_str());
  config::DebugPage("<! synchronisation error: %s: %s >\n", base::EscapeHtml(project),
                    base::EscapeHtml(text));
  if (!base::IsDirectory(config::GetSynchroDir())) return;
  base::File f = base::OpenFile(ErrorsPath(), "ab");
  if (f) std::fwrite(line.data(), 1, line.size(), f.get());
}

std::vector<SyncError> RecentErrors() {
  std::vector<SyncError> errors;
  base::LineReader reader(ErrorsPath());
  std::string line;
  while (reader.Next(line)) {
    size_t a = line.find('\t');
    size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
    if (b == std::string::npos) continue;
    errors.push_back(
        {std::atol(line.substr(0, a).c_str()), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
  }
  return errors;
}

void TrimErrors() {
  std::vector<SyncError> errors = RecentErrors();
  if (errors.size() <= kErrorLinesKept) return;
  std::string text;
  for (size_t i = errors.size() - kErrorLinesKept; i < errors.size(); ++i)
    text += base::Sprintf("%ld\t%s\t%s\n", errors[i].time, errors[i].project, errors[i].text);
  base::WriteFileAtomic(ErrorsPath(), text);
}

void NoteLastPass(std::string_view result) {
  base::WriteFileAtomic(
      LastPassPath(),
      base::Sprintf("%ld\t%s\n", static_cast<long>(std::time(nullptr)), OneLine(result)));
}

std::pair<long, std::string> LastPass() {
  std::string text = base::ReadFile(LastPassPath()).value_or("");
  size_t tab = text.find('\t');
  if (tab == std::string::npos) return {0, {}};
  std::string result = text.substr(tab + 1);
  if (!result.empty() && result.back() == '\n') result.pop_back();
  return {std::atol(text.substr(0, tab).c_str()), result};
}

}  // namespace synch
