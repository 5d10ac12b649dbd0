#include "testbook/book_print.h"

#include <optional>

#include "base/numbers.h"
#include "base/out.h"
#include "config/labels.h"
#include "config/language.h"
#include "config/projects.h"
#include "sheets/print.h"
#include "store/store.h"
#include "testbook/listing.h"

namespace testbook {
namespace {

using config::Msg;

// The result table: number, title, verdict, tester, date, sheet reference, sheet status.
constexpr int kColumns[] = {3, 41, 3, 6, 5, 12, 2};
constexpr int kFirstHeading = 2507;
// The inner width of framed lines, and of the pieces of an item file's description.
constexpr size_t kFramed = 78;
constexpr size_t kDescriptionPiece = 76;
constexpr size_t kItemTitle = 77;

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

std::string Framed(std::string_view piece) {
  return "|" + PrintField(piece, static_cast<int>(kFramed)) + "\n";
}

// The rest of a module or step file after its title line: each line with its line feed, in
// pieces of at most 76 characters, each framed.
std::string PrintDescription(std::string_view description) {
  std::string text(description);
  text += '\n';
  std::string out;
  std::string_view rest = text;
  while (!rest.empty()) {
    size_t end = rest.find('\n');  // found: the text ends with one
    std::string line(rest.substr(0, end));
    rest.remove_prefix(end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line += '\n';
    for (size_t at = 0; at < line.size(); at += kDescriptionPiece)
      out += Framed(std::string_view(line).substr(at, kDescriptionPiece));
  }
  return out;
}

std::string TestPrefix(const BookPlace& place) {
  return base::Sprintf("%s.%s.%s", "test", place.mod, place.step);
}

// The tests of the step at `place`, read, in ascending order.
std::vector<TestRecord> StepTests(const BookPlace& place) {
  std::vector<TestRecord> tests;
  std::string directory = BookDirectory(place.project, place.group, place.phase);
  std::string prefix = TestPrefix(place);
  for (const std::string& key : ListItemsIn(directory, prefix)) {
    TestRecord test = place.Test(base::LeadingNumber(key));
    if (ReadTest(base::Sprintf("%s%s.%s", directory, prefix, key), test))
      tests.push_back(std::move(test));
  }
  return tests;
}

// The status abbreviation of the sheet named `reference`.
std::string SheetStatus(const std::string& reference) {
  std::optional<store::FactSheet> sheet = store::ReadSheet(reference);
  if (!sheet) return "?";
  return std::string(store::GetStatusCode(sheet->status));
}

void RunPrint(const std::string& listing) {
  base::Page("<PRE>\n");
  sheets::PrintText(listing);
}

}  // namespace

std::string PrintRule(int a, int b, char edge, char fill) {
  std::string line(kPrintWidth, fill);
  for (int at : {1, a, b, kPrintWidth}) {
    if (at >= 1 && at <= kPrintWidth) line[static_cast<size_t>(at - 1)] = edge;
  }
  line += '\n';
  return line;
}

std::string PlainRule() {
  return PrintRule(0, 0, '+', '-');
}

std::string PrintField(std::string_view text, int width) {
  size_t size = width > 0 ? static_cast<size_t>(width) : 0;
  if (text == "&nbsp;") text = {};
  std::string out(text.substr(0, size));
  for (char& ch : out) {
    if (IsControl(static_cast<unsigned char>(ch))) ch = ' ';
  }
  out.resize(size, ' ');
  out += '|';
  return out;
}

std::string PrintLabelled(std::string_view label, std::string_view value, int width) {
  return PrintField(base::Sprintf("%s : %s", label, value), width);
}

std::string PrintWrapped(std::string_view text) {
  std::string out;
  if (text.empty()) return Framed("");
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) out += Framed("");
    for (size_t at = 0; at < line.size(); at += kFramed) out += Framed(line.substr(at, kFramed));
  }
  return out;
}

std::string PrintSection(std::string_view label, std::string_view text) {
  return Framed(base::Sprintf("%s : ", label)) + PrintWrapped(text) + PlainRule();
}

std::string ListTest(const TestRecord& test) {
  std::string out = PlainRule();
  out += base::Sprintf("|%03d ", test.number) + PrintLabelled("Title", test.title, 74) + "\n";
  out += PrintRule(26, 53, '+', '-');
  out += "|" + PrintLabelled(Msg(103), test.submitter, 24) +
         PrintLabelled(Msg(104), config::GetImpactName(test.impact), 26) +
         PrintLabelled(Msg(2440), test.ref, 26) + "\n";
  out += PrintRule(26, 53, '+', '-');
  const std::string* texts[] = {&test.obj, &test.env,  &test.pre,  &test.steps,
                                &test.exp, &test.post, &test.notes};
  for (int i = 0; i < 7; ++i) out += PrintSection(Msg(1002 + i), *texts[i]);
  out += '\f';
  return out;
}

std::string ResultSeparator() {
  std::string out;
  for (int width : kColumns) out += "+" + std::string(static_cast<size_t>(width), '-');
  out += "+\n";
  return out;
}

std::string ResultTableHead() {
  std::string out = ResultSeparator();
  for (int i = 0; i < static_cast<int>(std::size(kColumns)); ++i)
    out += "|" + PrintField(Msg(kFirstHeading + i), kColumns[i]).substr(0, kColumns[i]);
  out += "|\n";
  out += ResultSeparator();
  return out;
}

std::string ResultRow(const TestRecord& test, const ResultRecord& result) {
  std::string out = base::Sprintf("|%03d|", test.number);
  out += PrintField(test.title, kColumns[1]);
  out += PrintField(ResultCodeName(result.code), kColumns[2]);
  out += PrintField(result.tester, kColumns[3]);
  out += PrintField(result.date, kColumns[4]);
  for (size_t i = 0; i < result.sheets.size(); ++i) {
    if (i > 0) out += "\n|   |" + PrintField("", kColumns[1]) + "   |      |     |";
    out += PrintField(result.sheets[i], kColumns[5]);
    out += PrintField(SheetStatus(result.sheets[i]), kColumns[6]);
  }
  if (result.sheets.empty()) out += "            |  |";
  out += "\n";
  out += ResultSeparator();
  return out;
}

std::string ListStep(const BookPlace& place, const std::string* campaign) {
  ItemFile step =
      ReadItemFile(StepPath(place.project, place.group, place.phase, place.mod, place.step));
  std::string title = step.title.substr(0, kItemTitle);
  std::string out;
  if (campaign) {
    out += base::Sprintf("\n  %s : %s : %s \n", Msg(2514), place.step, title);
    out += "  ===============================\n\n";
    out += ResultTableHead();
    for (const TestRecord& test : StepTests(place)) {
      ResultRecord result;
      ReadResult(test, *campaign, result);
      out += ResultRow(test, result);
    }
    return out;
  }
  if (step.exists) {
    out += PrintRule(0, 0, '+', '=');
    out += PrintRule(0, 0, '|', ' ');
    out += base::Sprintf("|  %s :", Msg(2514)) + PrintLabelled(place.step, title, 70) + "\n";
    out += PrintRule(0, 0, '|', ' ');
    out += PrintRule(0, 0, '+', '=');
    out += PrintDescription(step.description);
    out += PlainRule();
    out += "\n";
  }
  for (const TestRecord& test : StepTests(place)) out += ListTest(test) + "\n";
  return out;
}

std::string ListModule(const BookPlace& place, const std::string* campaign) {
  ItemFile mod = ReadItemFile(ModulePath(place.project, place.group, place.phase, place.mod));
  std::string out;
  if (campaign) {
    out += base::Sprintf("\n\n %s : %s : %s\n", Msg(2515), place.mod, mod.title);
    out += " ===============================\n";
  } else if (mod.exists) {
    out += PrintRule(0, 0, '*', '*');
    out += PrintRule(0, 0, '|', ' ');
    out += base::Sprintf("|  %s :", Msg(2515)) + PrintLabelled(place.mod, mod.title, 68) + "\n";
    out += PrintRule(0, 0, '|', ' ');
    out += PrintRule(0, 0, '*', '*');
    out += PrintDescription(mod.description);
    out += PlainRule();
    out += "\n";
  }
  BookPlace step_place = place;
  for (const std::string& step : ListItems(place.project, place.group, place.phase,
                                           base::Sprintf("%s.%s", "step", place.mod))) {
    step_place.step = step;
    out += ListStep(step_place, campaign);
  }
  return out;
}

std::string ListBook(const BookPlace& place, const std::string* campaign) {
  std::string out = base::Sprintf("                     %s\n\n", Msg(2516));
  out += base::Sprintf("%s\t: %s\n", Msg(100), place.project);
  out += base::Sprintf("%s\t: %s\n", Msg(101), place.group);
  out += base::Sprintf("%s\t\t: %s\n\n", Msg(102), config::GetPhaseName(place.phase));
  if (campaign) out += base::Sprintf("%s\t: %s\n", Msg(2491), *campaign);
  BookPlace mod_place = place;
  for (const std::string& mod : ListItems(place.project, place.group, place.phase, "mod")) {
    mod_place.mod = mod;
    out += ListModule(mod_place, campaign);
  }
  return out;
}

void PrintTest(const BookPlace& place) {
  TestRecord test = place.Test(base::LeadingNumber(place.test));
  if (ReadTest(TestPath(test, test.number), test)) RunPrint(ListTest(test));
}

void PrintStep(const BookPlace& place, const std::string* campaign) {
  RunPrint(ListStep(place, campaign));
}

void PrintModule(const BookPlace& place, const std::string* campaign) {
  RunPrint(ListModule(place, campaign));
}

void PrintBook(const BookPlace& place, const std::string* campaign) {
  RunPrint(ListBook(place, campaign));
}

}  // namespace testbook
