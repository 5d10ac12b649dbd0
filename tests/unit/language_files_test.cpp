// Checks of the shipped language files (share/config/langue.EN, langue.FR) against the
// message catalogue share/config/messages.tsv and against the message numbers the sources use.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "unit_support.h"

namespace {

namespace fs = std::filesystem;

const fs::path kRoot = QUORB_SOURCE_DIR;

struct LanguageFile {
  std::string code;
  std::map<int, std::string> messages;  // the last line of a number wins, as in the loader
  std::vector<std::string> lines;       // every raw line, without its LF
  std::vector<int> repeated;            // numbers given on more than one line
  std::vector<int> out_of_order;        // numbers below one on an earlier line
};

struct CatalogueRow {
  int placeholders = 0;
  std::string conversions;  // conversion letters in order, empty when none
  std::string usage;
};

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

LanguageFile LoadLanguage(const std::string& code) {
  LanguageFile file;
  file.code = code;
  file.lines = SplitLines(unit_test::ReadFile(kRoot / "share" / "config" / ("langue." + code)));
  // "NUMBER,TEXT"; the loader also takes blanks and a sign before the number, which the
  // shipped files never use, so such a line shows as a missing message here.
  const std::regex message("([0-9]+),(.*)");
  for (const auto& line : file.lines) {
    std::smatch m;
    if (!std::regex_match(line, m, message)) continue;
    const int number = std::stoi(m[1]);
    if (file.messages.contains(number)) file.repeated.push_back(number);
    if (!file.messages.empty() && number < file.messages.rbegin()->first)
      file.out_of_order.push_back(number);
    file.messages[number] = m[2];
  }
  return file;
}

std::map<int, CatalogueRow> LoadCatalogue() {
  std::map<int, CatalogueRow> rows;
  const std::regex row("([0-9]+)\t([0-9]+)\t([^\t]+)\t([^\t]*)");
  for (const auto& line :
       SplitLines(unit_test::ReadFile(kRoot / "share" / "config" / "messages.tsv"))) {
    if (line.empty() || line[0] == '#') continue;
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, row)) << "catalogue row: " << line;
    if (m.empty()) continue;
    const int number = std::stoi(m[1]);
    EXPECT_FALSE(rows.contains(number)) << "catalogue lists " << number << " twice";
    rows[number] = {std::stoi(m[2]), m[3] == "-" ? "" : m[3].str(), m[4]};
  }
  return rows;
}

// The conversion letters of a printf format, in order; "%%" is an escaped percent sign.
// A "%" that ends the text gives '?', so that a dangling percent never passes as plain text.
std::string Conversions(const std::string& text) {
  static const std::regex conversion("%(%|[-+ #0]*[0-9*.]*[hlLqjzt]*(.?))");
  std::string letters;
  for (std::sregex_iterator it(text.begin(), text.end(), conversion), end; it != end; ++it)
    if ((*it)[1] != "%") letters += (*it)[2].length() ? (*it)[2].str() : "?";
  return letters;
}

// The files are read once for the whole test program.
const std::vector<LanguageFile>& Both() {
  static const std::vector<LanguageFile> files = {LoadLanguage("EN"), LoadLanguage("FR")};
  return files;
}
const std::map<int, CatalogueRow>& Catalogue() {
  static const std::map<int, CatalogueRow> rows = LoadCatalogue();
  return rows;
}

// Each file names its language and version, holds exactly the catalogued numbers, once each,
// in short plain ASCII lines. The history view colours a journal line by the first keyword it
// contains: every keyword that marks a sheet action must occur in the action's log text.
TEST(LanguageFiles, HoldTheCataloguedNumbersInPlainLinesWithTheirKeywords) {
  ASSERT_FALSE(Catalogue().empty());
  for (const auto& file : Both()) {
    ASSERT_FALSE(file.messages.empty()) << "share/config/langue." << file.code << " is missing";
    EXPECT_EQ(file.messages.at(1), file.code);
    EXPECT_EQ(file.messages.at(2), "v4.6");
    EXPECT_FALSE(file.messages.at(500).empty());
    for (const auto& [number, row] : Catalogue())
      EXPECT_TRUE(file.messages.contains(number)) << "missing message " << number;
    for (const auto& [number, text] : file.messages)
      EXPECT_TRUE(Catalogue().contains(number)) << "uncatalogued message " << number;
    EXPECT_EQ(file.repeated, std::vector<int>{}) << "numbers repeated in langue." << file.code;
    // In number order: the loader then takes the lines as they come, with no sort per request.
    EXPECT_EQ(file.out_of_order, std::vector<int>{}) << "out of order in langue." << file.code;
    for (const auto& line : file.lines) {
      EXPECT_LE(line.size(), 299u) << line;
      EXPECT_TRUE(line.empty() || line.back() != '\r') << "CR LF line end: " << line;
      EXPECT_TRUE(std::all_of(line.begin(), line.end(),
                              [](unsigned char c) { return c >= 0x20 && c < 0x7F; }))
          << "a byte outside printable ASCII in: " << line;
    }
    for (int keyword = 2600; keyword <= 2606; ++keyword) {
      const std::string& word = file.messages.at(keyword);
      ASSERT_FALSE(word.empty()) << keyword;
      bool used = false;
      for (const auto& [number, text] : file.messages)
        if ((number < 2600 || number > 2608) && text.find(word) != std::string::npos) used = true;
      EXPECT_TRUE(used) << "keyword " << keyword << " (" << word << ") is in no other message";
    }
  }
}

TEST(LanguageFiles, CarryTheCataloguedPlaceholders) {
  // The checker's own format reader: a dangling "%" must not pass as plain text.
  EXPECT_EQ(Conversions("%s and %d, 100%% %-5ld %"), "sdd?");
  for (const auto& [number, row] : Catalogue()) {
    EXPECT_EQ(static_cast<int>(row.conversions.size()), row.placeholders)
        << "catalogue row " << number;
    for (const auto& file : Both()) {
      const auto found = file.messages.find(number);
      if (found == file.messages.end()) continue;
      EXPECT_EQ(Conversions(found->second), row.conversions)
          << "message " << number << " (" << row.usage << "): " << found->second;
    }
  }
}

// Every literal message number used by the sources must exist in both files, and the error boxes
// must get texts of the right shape: ErrorBox prints its text as is, ErrorBoxArg formats one
// string, the synchronisation's records up to three.
TEST(LanguageFiles, CoverEveryNumberTheSourcesUse) {
  const std::regex call(
      R"((^|[^A-Za-z0-9_])(Msg|ErrorBox|ErrorBoxArg|NoteError|NoteLastPass)\(\s*([0-9]+)\s*([),]))");
  int references = 0;
  for (const auto& entry : fs::recursive_directory_iterator(kRoot / "src")) {
    const auto extension = entry.path().extension();
    if (!entry.is_regular_file() || (extension != ".cpp" && extension != ".h")) continue;
    const std::string source = unit_test::ReadFile(entry.path());
    for (auto it = std::sregex_iterator(source.begin(), source.end(), call);
         it != std::sregex_iterator(); ++it) {
      const std::string function = (*it)[2];
      if (function == "Msg" && (*it)[4] != ")") continue;
      const int number = std::stoi((*it)[3]);
      const std::string where = entry.path().lexically_relative(kRoot).string() + ": " + function +
                                "(" + std::to_string(number) + ")";
      ++references;
      for (const auto& file : Both())
        EXPECT_TRUE(file.messages.contains(number)) << where << " is not in langue." << file.code;
      const auto row = Catalogue().find(number);
      if (row == Catalogue().end()) continue;
      if (function == "ErrorBox") {
        EXPECT_EQ(row->second.conversions, "") << where;
      } else if (function == "ErrorBoxArg") {
        EXPECT_EQ(row->second.conversions, "s") << where;
      } else if (function != "Msg") {  // the synchronisation's records: up to three strings
        EXPECT_EQ(row->second.conversions, std::string(row->second.placeholders, 's')) << where;
        EXPECT_LE(row->second.placeholders, 3) << where;
      }
    }
  }
  RecordProperty("message_references", references);
}

}  // namespace
