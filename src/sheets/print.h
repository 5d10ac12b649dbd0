// Printing: a sheet laid out as a plain-text table with its entries and log, and the print
// file and print command that every printed listing goes through.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "store/sheet.h"
#include "web/params.h"

namespace sheets {

// Eight rows of four cells (cell = row * 4 + column); empty cells are left out of the print.
inline constexpr int kPrintColumns = 4;
inline constexpr int kPrintRows = 8;
using PrintGrid = std::array<std::string, kPrintRows * kPrintColumns>;
using ColumnWidths = std::array<int, kPrintColumns>;
// The columns grow until they are this wide together.
inline constexpr int kPrintInnerWidth = 78;

// The cells of a sheet: name, date, status and submitter; the title across its row; the
// coded fields; the postponement, correction and verification rows by status.
PrintGrid FillPrintGrid(const store::FactSheet& sheet);

// The column widths: the longest cell of each column that is followed by a non-empty cell
// (or is last in its row), then grown in turn from column 0 until they add up to 78. Every
// non-empty cell is padded with blanks to its span, its column and the empty cells after
// it. Returns the sum of the widths plus 3.
int LayoutCells(PrintGrid& grid, ColumnWidths& widths);

// "+", then for each of the first n widths that many "-" and "+", then a line feed.
void WriteRule(std::string& out, const ColumnWidths& widths, int n);

// The whole print text of a sheet: the table, each entry with its rule, the log.
std::string FormatPrintText(const store::FactSheet& sheet);

// CMD=Print: the page titled by message 156 with the printed text in a PRE block, and the
// text handed to the print command. A name that is not a readable sheet gets the error box
// with message 504 and nothing is printed.
void PrintSheet(const web::ParamList& list, std::string_view name);

// The command that prints the file `path`, from the PRINT setting: `shown` is the command
// line as the page reports it ("<setting> <path>", or the setting with its "%s" replaced
// by the path), `argv` what is run. A setting of plain words runs directly; one that needs
// the shell runs through "/bin/sh -c" with the path passed as "$1", never inside the
// command text. An empty setting runs nothing.
struct PrintCommand {
  std::string shown;
  std::vector<std::string> argv;
};
PrintCommand BuildPrintCommand(std::string_view setting, const std::string& path);

// What a command run to its end said: whether it started, its exit status (128 + the signal
// when killed) and what it wrote on standard output and standard error.
struct CommandOutcome {
  bool started = false;
  int status = -1;
  std::string output;
  std::string error;
};
// Runs `args` with standard input from /dev/null and waits for it. With `output_fd`, its
// standard output goes to that file rather than into the outcome.
CommandOutcome RunCommand(const std::vector<std::string>& args, int output_fd = -1);

// The error box of a failed print: message 530 with the command's own message.
inline constexpr int kPrintFailedMessage = 530;

// Whether this request may run the print command (with security on, only a request that
// carries its own token: a link or a cookie alone prints nothing). Allowed until said.
void AllowPrinting(bool allowed);

// Writes `text` to a print file of its own in the data directory's "tmp" folder, copies it
// (escaped) to the page, runs the print command on it and removes the file. When the command
// succeeds its output follows the text; when it cannot start or ends with a non-zero status,
// the preformatted block is closed and the error box of message 530 gives its error output
// (standard error says so too). The command runs at most once per request, and only when
// printing is allowed. False, with nothing written, when the file cannot be made.
bool PrintText(std::string_view text);

// The same for a text written piece by piece: the file is made at once, each piece goes to
// it as it comes, and Print does what PrintText does after writing (false, with nothing on
// the page, when the file could not be made or written). A file not printed is removed.
class PrintFile {
 public:
  PrintFile();
  ~PrintFile();
  PrintFile(const PrintFile&) = delete;
  PrintFile& operator=(const PrintFile&) = delete;
  void Append(std::string_view text);
  bool Print();

 private:
  std::string path_;
  int fd_ = -1;
  bool written_ = false;  // made, and every piece written so far
};

}  // namespace sheets
