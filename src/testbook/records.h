// The files of a test book: module and step files, test files and campaign results.
//
// Module and step files hold their title on the first line and their description after it.
// A test file holds its fields one per line and its seven texts as text blocks: the length in
// bytes, one blank, then exactly that many bytes ("%d %s"); an empty text is "0 ". A result
// file holds the tester, the time, the version and the verdict one per line, the comment and
// the result's history as text blocks, then one linked sheet per line to the end.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace testbook {

// Limits of the one-line fields; longer values are cut when written.
inline constexpr size_t kMaxLogin = 19;
inline constexpr size_t kMaxName = 39;
inline constexpr size_t kMaxTitle = 199;
inline constexpr size_t kMaxVersion = 43;

struct TestRecord {
  int number = 0;
  std::string submitter;
  long created = 0;
  std::string project;
  std::string group;  // the sub-project's name
  int phase = 0;
  std::string mod;
  std::string step;
  std::string title;
  int impact = -1;  // index into impacts.cfg; -1 when none was chosen
  std::string ref;
  std::string obj, env, pre, steps, exp, post, notes;
};

// Verdicts: 0 "NOK", 1 "OK", 2 "NT", 3 "NA"; 4 is the empty name that ends the table.
inline constexpr int kResultNok = 0;
inline constexpr int kResultOk = 1;
inline constexpr int kResultNotTested = 2;
inline constexpr int kResultNotApplicable = 3;
inline constexpr int kResultCodes = 4;
std::string_view ResultCodeName(int code);

struct ResultRecord {
  std::string tester;
  long time = 0;
  std::string date;  // "%02d/%02d" of day and month of `time`, set on reading
  std::string version;
  int code = kResultNotTested;
  std::string comment;
  std::string history;
  std::vector<std::string> sheets;  // linked fact-sheet names
};

// --- Text blocks ---------------------------------------------------------------------------

// "%d %s" of the text's length and the text.
void AppendTextBlock(std::string& out, std::string_view text);
// Reads one text block at the start of `in` and moves past it. The length is the run of
// digits; the one character after them is consumed; a length past the end takes what is there.
std::string ReadTextBlock(std::string_view& in);

// --- Module and step files -----------------------------------------------------------------

struct ItemFile {
  bool exists = false;
  std::string title;
  std::string description;
};

std::string ModulePath(std::string_view project, std::string_view group, int phase,
                       std::string_view mod);
std::string StepPath(std::string_view project, std::string_view group, int phase,
                     std::string_view mod, std::string_view step);

// The first line is the title, the rest (without the line feed that ends it) the description.
ItemFile ReadItemFile(const std::string& path);
// The title (one line) and the description, each followed by a line feed. With `exclusive`
// an existing file is left alone and 0 comes back; 1 when written, -1 when it could not be.
int WriteItemFile(const std::string& path, std::string_view title, std::string_view description,
                  bool exclusive);

// The first line of the module or step file; empty when it cannot be read.
std::string ModuleTitle(std::string_view project, std::string_view group, int phase,
                        std::string_view mod);
std::string StepTitle(std::string_view project, std::string_view group, int phase,
                      std::string_view mod, std::string_view step);

// --- Tests ---------------------------------------------------------------------------------

// The test file of the test's location with the given number.
std::string TestPath(const TestRecord& test, int number);
// The smallest number from 0 whose test file at the test's location does not exist.
int NextTestNumber(const TestRecord& test);
// Stores a new test under the first number from NextTestNumber up that no file has yet, its
// content written with the file (never an empty test, even after a crash); the number (also
// put in `test`), or -1 when nothing can be created there.
int CreateTest(TestRecord& test);

// The file's text as WriteTest writes it.
std::string FormatTest(const TestRecord& test);
// Reads the content, then takes the location (project, group, phase, module, step, number)
// from the path. False, with the record untouched, when the file cannot be read.
bool ReadTest(const std::string& path, TestRecord& test);
// Replaces the test file at TestPath(test, test.number); false when it could not be written.
bool WriteTest(const TestRecord& test);
bool RemoveTest(const TestRecord& test);

// The test file's path from the project folder on ("P/C/L/Book/test.M.S.NNN"), the name by
// which journal lines refer to a test.
std::string TestReference(const TestRecord& test);
// Appends "<date> <test reference> <message>\n" to the journal "history.dat" of the data
// directory in one write, the message made one line of at most 400 characters; the date is
// that of `time` (0: now). A journal that cannot be opened loses the line.
void AppendJournal(const TestRecord& test, std::string_view message, long time = 0);

// --- Results -------------------------------------------------------------------------------

std::string CampaignDirectory(std::string_view project, std::string_view group, int phase,
                              std::string_view campaign);
std::string ResultPath(const TestRecord& test, std::string_view campaign);
std::string FormatResult(const ResultRecord& result);
// A missing file reads as no result: "&nbsp;" for tester, date and version, verdict NT.
// True when the file was read. With `note` the result's path goes into the page as a comment
// (downloads read without).
bool ReadResult(const TestRecord& test, std::string_view campaign, ResultRecord& result,
                bool note = true);
bool WriteResult(const TestRecord& test, std::string_view campaign, const ResultRecord& result);
// Reads the stored result (empty when there is none), lets `change` change it and stores
// it, all under the folder's lock, so that two testers saving at once each keep the other's
// verdict in the history. False when it could not be stored.
bool UpdateResult(const TestRecord& test, std::string_view campaign,
                  const std::function<void(ResultRecord&)>& change);

}  // namespace testbook
