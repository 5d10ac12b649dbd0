#include "sheets/print.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <optional>
#include <utility>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"
#include "config/debug.h"
#include "config/labels.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "store/store.h"
#include "users/rights.h"
#include "web/page.h"

extern char** environ;

namespace sheets {
namespace {

// A sheet name ends with a dot and its number in at least five digits.
constexpr size_t kMinNumberDigits = 5;

std::string Label(int message, std::string_view value) {
  return base::Sprintf("%s : %s", config::Msg(message), value);
}

std::string LabelNumber(int message, int value) {
  return base::Sprintf("%s : %ld", config::Msg(message), static_cast<long>(value));
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsAlnum(unsigned char c) {
  return IsDigit(static_cast<char>(c)) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The sheet `name` when it is one: a sheet file name ("<prefix>.<number>"), inside the data
// directory, a readable file, whose header carries the number of its name. The index, the
// journal, temporary files and folders are not sheets.
std::optional<store::FactSheet> ReadPrintableSheet(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  std::string_view digits = name.substr(dot + 1);
  if (digits.size() < kMinNumberDigits || !std::all_of(digits.begin(), digits.end(), IsDigit))
    return std::nullopt;
  std::optional<store::FactSheet> sheet = store::ReadSheet(name);
  if (!sheet || sheet->number <= 0 || sheet->number != base::LeadingNumber(digits))
    return std::nullopt;
  return sheet;
}

// A setting the shell would read differently from plain words split at blanks.
bool NeedsShell(std::string_view setting) {
  for (unsigned char c : setting) {
    if (IsAlnum(c) || c == ' ') continue;
    if (std::string_view("-_./:,+=@%").find(static_cast<char>(c)) == std::string_view::npos)
      return true;
  }
  std::string_view first = setting.substr(0, setting.find(' '));
  return first.find('=') != std::string_view::npos;  // a variable assignment
}

// Reads both pipes to their ends, whichever has something, so that neither fills up.
void Drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* into[2] = {&out, &err};
  int open = out_fd < 0 ? 1 : 2;
  char chunk[4096];
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fds[i].fd = -1;
        --open;
        continue;
      }
      into[i]->append(chunk, static_cast<size_t>(n));
    }
  }
}

// Hands `each` what `fd` holds from where it stands, a block at a time.
void ReadBlocks(int fd, const std::function<void(std::string_view)>& each) {
  std::string block(1 << 16, '\0');
  for (;;) {
    ssize_t n = ::read(fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    each(std::string_view(block.data(), static_cast<size_t>(n)));
  }
}

}  // namespace

CommandOutcome RunCommand(const std::vector<std::string>& args, int output_fd) {
  CommandOutcome outcome;
  int out[2] = {-1, -1}, err[2];
  if (output_fd < 0 && ::pipe2(out, O_CLOEXEC) != 0) return outcome;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    if (out[0] >= 0) ::close(out[0]);
    if (out[1] >= 0) ::close(out[1]);
    return outcome;
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, output_fd < 0 ? out[1] : output_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t pid;
  int rc = argv.empty() || !argv[0]
               ? ENOENT
               : posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (out[1] >= 0) ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    if (out[0] >= 0) ::close(out[0]);
    ::close(err[0]);
    outcome.error = base::Sprintf("%s: %s", args.empty() ? "" : args.front(), std::strerror(rc));
    return outcome;
  }
  outcome.started = true;
  Drain(out[0], err[0], outcome.output, outcome.error);
  if (out[0] >= 0) ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    outcome.status = WEXITSTATUS(status);
  } else {
    outcome.status = 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  }
  return outcome;
}

namespace {}  // namespace

PrintGrid FillPrintGrid(const store::FactSheet& sheet) {
  using config::Msg;
  using store::FormatDate;
  PrintGrid grid;
  grid[0] = store::GetSheetName(sheet);
  grid[1] = FormatDate(sheet.created);
  grid[2] = Label(119, store::GetStatusLabel(sheet.status));
  grid[3] = Label(113, sheet.submitter);
  grid[4] = Label(106, sheet.title);
  grid[8] = Label(100, sheet.project);
  grid[9] = Label(101, sheet.group);
  grid[10] = Label(102, config::GetPhaseName(sheet.phase));
  grid[11] = Label(108, sheet.prog);
  grid[12] = Label(109, config::GetSeverityLabel(sheet.sev));
  grid[13] = Label(110, sheet.version);
  grid[14] = Label(111, sheet.exp);
  grid[15] = Label(104, config::GetImpactName(sheet.impact));
  grid[16] = Label(123, config::GetTypeLabel(sheet.type));
  grid[17] = Label(122, sheet.mdapda);
  grid[18] = Label(117, sheet.resp);
  grid[19] = LabelNumber(124, sheet.Load);
  if (sheet.status == store::kPostponed) grid[20] = Label(125, FormatDate(sheet.postponed));
  if (sheet.status == store::kCorrected || sheet.status == store::kVerified) {
    grid[24] = base::Sprintf(Msg(126), sheet.corrector, FormatDate(sheet.corrDate), sheet.corrVers);
    grid[27] = LabelNumber(127, sheet.corrLoad);
  }
  if (sheet.status == store::kVerified)
    grid[28] = base::Sprintf(Msg(128), sheet.verifier, FormatDate(sheet.verDate), sheet.verVers);
  return grid;
}

int LayoutCells(PrintGrid& grid, ColumnWidths& widths) {
  auto cell = [&](int row, int column) -> std::string& {
    return grid[row * kPrintColumns + column];
  };
  widths.fill(0);
  for (int c = 0; c < kPrintColumns; ++c) {
    for (int r = 0; r < kPrintRows; ++r) {
      const std::string& text = cell(r, c);
      // A cell followed by an empty one spans it and sets no width.
      if (text.empty() || (c + 1 < kPrintColumns && cell(r, c + 1).empty())) continue;
      widths[c] = std::max(widths[c], static_cast<int>(text.size()));
    }
  }
  int sum = std::accumulate(widths.begin(), widths.end(), 0);
  for (int c = 0; sum < kPrintInnerWidth; c = (c + 1) % kPrintColumns) {
    ++widths[c];
    ++sum;
  }
  for (int r = 0; r < kPrintRows; ++r) {
    for (int c = 0; c < kPrintColumns; ++c) {
      std::string& text = cell(r, c);
      if (text.empty()) continue;
      size_t span = static_cast<size_t>(widths[c]);
      for (int k = c + 1; k < kPrintColumns && cell(r, k).empty(); ++k)
        span += static_cast<size_t>(widths[k]);
      if (text.size() < span) text.append(span - text.size(), ' ');
    }
  }
  return sum + 3;
}

void WriteRule(std::string& out, const ColumnWidths& widths, int n) {
  out += '+';
  for (int c = 0; c < n && c < kPrintColumns; ++c) {
    out.append(static_cast<size_t>(std::max(widths[c], 0)), '-');
    out += '+';
  }
  out += '\n';
}

std::string FormatPrintText(const store::FactSheet& sheet) {
  PrintGrid grid = FillPrintGrid(sheet);
  ColumnWidths widths;
  LayoutCells(grid, widths);
  std::string out;
  WriteRule(out, widths, kPrintColumns);
  for (int r = 0; r < kPrintRows; ++r) {
    if (grid[r * kPrintColumns].empty()) continue;
    for (int c = 0; c < kPrintColumns; ++c) {
      const std::string& text = grid[r * kPrintColumns + c];
      if (text.empty()) {
        out += ' ';
      } else {
        out += '|';
        out += text;
      }
    }
    out += "|\n";
    WriteRule(out, widths, kPrintColumns);
  }
  ColumnWidths entry_rule{std::accumulate(widths.begin(), widths.end(), 0), 0, 0, 0};
  for (const store::SheetEntry& entry : sheet.entries) {
    out +=
        base::Sprintf("%s      %s     %s\n", entry.name, store::FormatDate(entry.time), entry.who);
    // An attached file is named within the data folder, as its page names it: a printout
    // leaves the server and does not tell where its data lives.
    const size_t trace = entry.kind == store::kAttachmentEntry ? entry.text.find("TRACE_") : 0;
    out += std::string_view(entry.text).substr(trace == std::string::npos ? 0 : trace);
    out += '\n';
    WriteRule(out, entry_rule, 1);
  }
  out += sheet.log;
  out += '\n';
  return out;
}

void PrintSheet(const web::ParamList& list, std::string_view name) {
  std::optional<store::FactSheet> sheet = ReadPrintableSheet(name);
  web::WritePageHead(nullptr, config::Msg(156), "", list);
  if (!sheet) {
    web::ErrorBox(config::kMsgCannotReadSheet);
    return;
  }
  if (!users::MayReadSheet(list, sheet->project, store::IsOpenStatus(sheet->status))) {
    web::ErrorBox(config::kMsgNoRight);
    return;
  }
  base::Page("<PRE>");
  PrintText(FormatPrintText(*sheet));
}

PrintCommand BuildPrintCommand(std::string_view setting, const std::string& path) {
  PrintCommand command;
  size_t at = setting.find("%s");
  bool placeholder = at != std::string_view::npos;
  if (placeholder)
    command.shown = std::string(setting.substr(0, at)) + path + std::string(setting.substr(at + 2));
  else
    command.shown = base::Sprintf("%s %s", setting, path);
  if (setting.find_first_not_of(' ') == std::string_view::npos) return command;

  if (NeedsShell(setting)) {
    std::string script = placeholder ? std::string(setting.substr(0, at)) + "\"$1\"" +
                                           std::string(setting.substr(at + 2))
                                     : std::string(setting) + " \"$1\"";
    command.argv = {"/bin/sh", "-c", script, "quorb-print", path};
    return command;
  }
  bool placed = false;
  size_t start = 0;
  while (start < setting.size()) {
    size_t end = setting.find(' ', start);
    if (end == std::string_view::npos) end = setting.size();
    std::string word(setting.substr(start, end - start));
    start = end + 1;
    if (word.empty()) continue;
    size_t hole = word.find("%s");
    if (!placed && hole != std::string::npos) {
      word.replace(hole, 2, path);
      placed = true;
    }
    command.argv.push_back(std::move(word));
  }
  if (!placed) command.argv.push_back(path);
  return command;
}

namespace {

struct PrintPermit {
  bool allowed = true;
  bool used = false;
};

}  // namespace

void AllowPrinting(bool allowed) {
  base::Cache<PrintPermit>().allowed = allowed;
}

PrintFile::PrintFile() {
  std::string dir = base::JoinPath(config::GetDataDir(), "tmp");
  base::MakeDirectory(dir);
  // The process id and a random part: no other request, nor a second print of this one,
  // uses the same file.
  path_ = base::Sprintf("%s/quorb.%d.XXXXXX.prt", dir, static_cast<int>(::getpid()));
  fd_ = ::mkstemps(path_.data(), 4);
  written_ = fd_ >= 0;
}

PrintFile::~PrintFile() {
  if (fd_ >= 0) ::close(fd_);
  if (written_ || fd_ >= 0) base::RemoveFile(path_);
}

void PrintFile::Append(std::string_view text) {
  written_ = written_ && base::WriteAll(fd_, text);
}

bool PrintFile::Print() {
  if (fd_ < 0) return false;
  bool ok = written_;
  ok = ::close(std::exchange(fd_, -1)) == 0 && ok;
  const std::string path = path_;
  written_ = false;
  if (!ok) {
    base::RemoveFile(path);
    return false;
  }
  // The page shows the text from the file, a block at a time.
  if (int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); in >= 0) {
    ReadBlocks(in, [](std::string_view piece) { base::Write(nullptr, base::EscapeHtml(piece)); });
    ::close(in);
  }

  PrintCommand command = BuildPrintCommand(config::GetConfig("PRINT"), path);
  config::DebugPage("<! -%s- >\n", base::EscapeHtml(command.shown));
  // Printing is an action of its own: allowed to this request, and once.
  PrintPermit& permit = base::Cache<PrintPermit>();
  if (!permit.allowed || permit.used) {
    base::Page("<!Not printed>\n");
    base::RemoveFile(path);
    return true;
  }
  permit.used = true;
  CommandOutcome outcome;
  // What the command says goes to a file of its own beside the print file (a command that
  // echoes a long index would else be held whole), or through a pipe when none can be made.
  std::string said =
      base::Sprintf("%s/quorb.%d.XXXXXX.out", base::JoinPath(config::GetDataDir(), "tmp"),
                    static_cast<int>(::getpid()));
  int said_fd = ::mkostemps(said.data(), 4, O_CLOEXEC);
  if (said_fd < 0) said.clear();
  if (!command.argv.empty()) {
    std::fflush(stdout);
    outcome = RunCommand(command.argv, said_fd);
  } else {
    outcome.error = "PRINT is not set in quorb.cfg";
  }
  base::RemoveFile(path);
  const bool printed = outcome.started && outcome.status == 0;
  if (said_fd >= 0) {
    ::lseek(said_fd, 0, SEEK_SET);
    ReadBlocks(said_fd, [&](std::string_view piece) {
      if (printed)
        base::Write(nullptr, base::EscapeHtml(piece));
      else
        outcome.output += piece;
    });
    ::close(said_fd);
    base::RemoveFile(said);
  }
  if (printed) {
    base::Write(nullptr, base::EscapeHtml(outcome.output));
    return true;
  }
  // Nothing was printed: the page says so in the command's own words.
  std::string why = outcome.error.empty() ? outcome.output : outcome.error;
  while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' '))
    why.pop_back();
  if (why.empty()) why = base::Sprintf("exit status %d", outcome.status);
  std::fprintf(stderr, "quorb: print command failed: %s\n", why.c_str());
  base::Write(nullptr, "</PRE>\n");
  web::ErrorBoxArg(kPrintFailedMessage, why);
  return true;
}

bool PrintText(std::string_view text) {
  PrintFile file;
  file.Append(text);
  return file.Print();
}

}  // namespace sheets
