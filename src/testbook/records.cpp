#include "testbook/records.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/encode.h"
#include "base/files.h"
#include "base/numbers.h"
#include "base/out.h"
#include "config/debug.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "store/sheet.h"
#include "store/store.h"
#include "testbook/listing.h"
#include "testbook/names_cache.h"

namespace testbook {
namespace {

constexpr std::string_view kNoResult = "&nbsp;";

// One line of a file: the field as written, cut to `limit` bytes, line breaks made blanks,
// so that a value never splits into two fields.
std::string OneLine(std::string_view text, size_t limit) {
  std::string out(text.substr(0, limit));
  for (char& ch : out) {
    if (ch == '\n' || ch == '\r') ch = ' ';
  }
  return out;
}

// The next line of `in` without its line feed; `in` moves past it.
std::string_view NextLine(std::string_view& in) {
  size_t end = in.find('\n');
  std::string_view line = in.substr(0, end);
  in.remove_prefix(end == std::string_view::npos ? in.size() : end + 1);
  return line;
}

std::string WithoutCr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return std::string(line);
}

// The path's directory names from the end: [0] the file name, [1] its folder, and so on.
std::vector<std::string_view> ComponentsFromEnd(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    size_t slash = path.rfind('/');
    std::string_view part = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (!part.empty()) parts.push_back(part);
    if (slash == std::string_view::npos) break;
    path = path.substr(0, slash);
  }
  return parts;
}

// The location of a test file from its path: ".../<project>/<code>/<letter>/Book/test.M.S.N".
void TakeLocationFromPath(std::string_view path, TestRecord& test) {
  std::vector<std::string_view> parts = ComponentsFromEnd(path);
  if (parts.empty()) return;
  std::string_view name = parts[0];
  if (name.starts_with("test.")) {
    name.remove_prefix(5);
    size_t dot = name.find('.');
    if (dot != 0 && dot != std::string_view::npos) {
      test.mod = name.substr(0, dot);
      name.remove_prefix(dot + 1);
      dot = name.find('.');
      if (dot != 0 && dot != std::string_view::npos) {
        test.step = name.substr(0, dot);
        test.number = base::LeadingNumber(name.substr(dot + 1));
      }
    }
  }
  if (parts.size() < 5) return;
  test.phase = config::GetPhaseIndex(parts[2].front());
  test.project = parts[4];
  test.group = config::GetSubprojectName(test.project, parts[3]);
}

std::string& TextField(TestRecord& test, int i) {
  std::string* fields[] = {&test.obj, &test.env,  &test.pre,  &test.steps,
                           &test.exp, &test.post, &test.notes};
  return *fields[i];
}

// A write that failed is told to the administrator (the web server's error log) as well as
// on the page; `ok` passes through.
bool Logged(bool ok, const std::string& path) {
  if (!ok)
    config::ReportFailure(base::Sprintf("unable to write %s: %s", path, std::strerror(errno)),
                          "<! W unable to write %s>\n", base::EscapeHtml(path));
  return ok;
}

std::string ShortDate(long time) {
  std::time_t t = static_cast<std::time_t>(time);
  std::tm tm{};
  localtime_r(&t, &tm);
  return base::Sprintf("%02d/%02d", tm.tm_mday, tm.tm_mon + 1);
}

}  // namespace

std::string_view ResultCodeName(int code) {
  static constexpr std::string_view kNames[] = {"NOK", "OK", "NT", "NA", ""};
  if (code < 0 || code > kResultCodes) return {};
  return kNames[code];
}

void AppendTextBlock(std::string& out, std::string_view text) {
  out += base::Sprintf("%d ", static_cast<int>(text.size()));
  out += text;
}

std::string ReadTextBlock(std::string_view& in) {
  size_t length = 0;
  size_t i = 0;
  while (i < in.size() && in[i] >= '0' && in[i] <= '9') {
    if (length < in.size()) length = length * 10 + static_cast<size_t>(in[i] - '0');
    ++i;
  }
  if (i < in.size()) ++i;  // the character that ends the digits
  in.remove_prefix(i);
  length = std::min(length, in.size());
  std::string text(in.substr(0, length));
  in.remove_prefix(length);
  return text;
}

// --- Module and step files -----------------------------------------------------------------

std::string ModulePath(std::string_view project, std::string_view group, int phase,
                       std::string_view mod) {
  return base::Sprintf("%s%s.%s", BookDirectory(project, group, phase), "mod", mod);
}

std::string StepPath(std::string_view project, std::string_view group, int phase,
                     std::string_view mod, std::string_view step) {
  return base::Sprintf("%s%s.%s.%s", BookDirectory(project, group, phase), "step", mod, step);
}

ItemFile ReadItemFile(const std::string& path) {
  ItemFile item;
  std::optional<std::string> text = base::ReadFile(path);
  if (!text) return item;
  item.exists = true;
  std::string_view rest = *text;
  item.title = WithoutCr(NextLine(rest));
  if (rest.ends_with('\n')) rest.remove_suffix(1);  // the line feed the writer adds
  item.description = rest;
  return item;
}

int WriteItemFile(const std::string& path, std::string_view title, std::string_view description,
                  bool exclusive) {
  std::string content = base::Sprintf("%s\n%s\n", OneLine(title, kMaxTitle), description);
  if (!exclusive) return base::WriteFileAtomic(path, content) ? 1 : -1;
  // Made with its content under the folder's lock: never an empty item, and of two made at
  // once under one name the second is told the name is taken.
  bool existed = false;
  auto create = [&](const std::optional<std::string>& old) {
    existed = old.has_value();
    return existed ? std::nullopt : std::optional<std::string>(content);
  };
  if (!Logged(base::UpdateFileContent(path, create), path)) return -1;
  if (existed) return 0;
  ForgetListings();
  return 1;
}

std::string ModuleTitle(std::string_view project, std::string_view group, int phase,
                        std::string_view mod) {
  return ReadItemFile(ModulePath(project, group, phase, mod)).title;
}

std::string StepTitle(std::string_view project, std::string_view group, int phase,
                      std::string_view mod, std::string_view step) {
  return ReadItemFile(StepPath(project, group, phase, mod, step)).title;
}

// --- Tests ---------------------------------------------------------------------------------

std::string TestPath(const TestRecord& test, int number) {
  return base::Sprintf("%s%s.%s.%s.%03d", BookDirectory(test.project, test.group, test.phase),
                       "test", test.mod, test.step, number);
}

int NextTestNumber(const TestRecord& test) {
  int number = 0;
  while (base::FileExists(TestPath(test, number))) ++number;
  return number;
}

int CreateTest(TestRecord& test) {
  for (test.number = NextTestNumber(test);; ++test.number) {
    bool taken = false;
    auto create = [&](const std::optional<std::string>& old) -> std::optional<std::string> {
      taken = old.has_value();
      return taken ? std::nullopt : std::optional<std::string>(FormatTest(test));
    };
    const std::string path = TestPath(test, test.number);
    if (!Logged(base::UpdateFileContent(path, create), path)) return -1;
    if (!taken) {
      ForgetListings();
      return test.number;
    }
  }
}

std::string FormatTest(const TestRecord& t) {
  std::string out =
      base::Sprintf("%d\n%s\n%ld\n", t.number, OneLine(t.submitter, kMaxLogin), t.created);
  out += base::Sprintf("%s\n%s\n%d\n", OneLine(t.project, kMaxName), OneLine(t.group, kMaxName),
                       t.phase);
  out += base::Sprintf("%s\n%s\n%s\n", OneLine(t.mod, kMaxName), OneLine(t.step, kMaxName),
                       OneLine(t.title, kMaxTitle));
  std::string ref = OneLine(t.ref, kMaxTitle);
  out += base::Sprintf("%d\n%s\n", t.impact, ref.empty() ? " " : ref);
  for (std::string_view text : {t.obj, t.env, t.pre, t.steps, t.exp, t.post, t.notes})
    AppendTextBlock(out, text);
  return out;
}

bool ReadTest(const std::string& path, TestRecord& test) {
  std::optional<std::string> text = base::ReadFile(path);
  if (!text) {
    config::DebugPage("<! R unable to open file %s>\n", base::EscapeHtml(path));
    return false;
  }
  // Every line is taken as it stands, an empty one included, so an empty title or submitter
  // never shifts the fields after it.
  std::string_view in = *text;
  test.number = base::LeadingNumber(NextLine(in));
  test.submitter = NextLine(in);
  test.created = base::LeadingNumber(NextLine(in));
  test.project = NextLine(in);
  test.group = NextLine(in);
  test.phase = base::LeadingNumber(NextLine(in));
  test.mod = NextLine(in);
  test.step = NextLine(in);
  test.title = NextLine(in);
  test.impact = base::LeadingNumber(NextLine(in));
  std::string_view ref = NextLine(in);
  test.ref = ref == " " ? std::string() : std::string(ref.substr(0, kMaxTitle));
  for (int i = 0; i < 7; ++i) TextField(test, i) = ReadTextBlock(in);
  TakeLocationFromPath(path, test);
  return true;
}

bool WriteTest(const TestRecord& test) {
  std::string path = TestPath(test, test.number);
  bool existed = base::FileExists(path);
  if (!base::WriteFileAtomic(path, FormatTest(test))) {
    config::ReportFailure(base::Sprintf("unable to write %s", path),
                          "<! W unable to open file %s>\n", base::EscapeHtml(path));
    return false;
  }
  if (!existed) ForgetListings();
  config::DebugPage("<! %s saved >\n", base::EscapeHtml(path));
  return true;
}

bool RemoveTest(const TestRecord& test) {
  ForgetListings();
  return base::RemoveFile(TestPath(test, test.number));
}

std::string TestReference(const TestRecord& test) {
  std::string path = TestPath(test, test.number);
  size_t skip = config::GetDataDir().size() + 7;  // the data directory and "/Tests/"
  return skip < path.size() ? path.substr(skip) : path;
}

void AppendJournal(const TestRecord& test, std::string_view message, long time) {
  if (time == 0) time = static_cast<long>(std::time(nullptr));
  std::string line = base::Sprintf("%s %s %s\n", store::FormatDate(time), TestReference(test),
                                   OneLine(message, 400));
  store::AppendJournal(line);
}

// --- Results -------------------------------------------------------------------------------

std::string CampaignDirectory(std::string_view project, std::string_view group, int phase,
                              std::string_view campaign) {
  return base::Sprintf("%s/%s/%s.%s", BookDirectory(project, group, phase), "test", "C",
                       CampaignName(campaign));
}

std::string ResultPath(const TestRecord& test, std::string_view campaign) {
  return base::Sprintf("%s%s/%s.%s/%s.%s.%03d", BookDirectory(test.project, test.group, test.phase),
                       "test", "C", CampaignName(campaign), test.mod, test.step, test.number);
}

std::string FormatResult(const ResultRecord& r) {
  std::string out = base::Sprintf("%s\n%ld\n%s\n%d\n", OneLine(r.tester, kMaxLogin), r.time,
                                  OneLine(r.version, kMaxVersion), r.code);
  AppendTextBlock(out, r.comment);
  AppendTextBlock(out, r.history);
  for (const std::string& sheet : r.sheets) out += OneLine(sheet, kMaxTitle) + "\n";
  return out;
}

namespace {

void ParseResult(std::string_view in, ResultRecord& result) {
  result.tester = NextLine(in);
  result.time = base::LeadingNumber(NextLine(in));
  result.date = ShortDate(result.time);
  result.version = NextLine(in);
  result.code = base::LeadingNumber(NextLine(in));
  result.comment = ReadTextBlock(in);
  result.history = ReadTextBlock(in);
  while (!in.empty()) {
    std::string_view sheet = NextLine(in);
    if (!sheet.empty()) result.sheets.emplace_back(sheet);
  }
}

}  // namespace

bool ReadResult(const TestRecord& test, std::string_view campaign, ResultRecord& result,
                bool note) {
  std::string path = ResultPath(test, campaign);
  if (note) config::DebugPage("<! %s >\n", base::EscapeHtml(path));
  result = ResultRecord{};
  std::optional<std::string> text =
      IsSafeCampaignName(CampaignName(campaign)) ? base::ReadFile(path) : std::nullopt;
  if (!text) {
    result.tester = result.date = result.version = kNoResult;
    return false;
  }
  ParseResult(*text, result);
  return true;
}

bool WriteResult(const TestRecord& test, std::string_view campaign, const ResultRecord& result) {
  if (!IsSafeCampaignName(CampaignName(campaign))) return false;
  return base::WriteFileAtomic(ResultPath(test, campaign), FormatResult(result));
}

bool UpdateResult(const TestRecord& test, std::string_view campaign,
                  const std::function<void(ResultRecord&)>& change) {
  if (!IsSafeCampaignName(CampaignName(campaign))) return false;
  auto changed = [&](const std::optional<std::string>& old) {
    ResultRecord result;
    if (old) ParseResult(*old, result);
    change(result);
    return std::optional<std::string>(FormatResult(result));
  };
  const std::string path = ResultPath(test, campaign);
  return Logged(base::UpdateFileContent(path, changed), path);
}

}  // namespace testbook
