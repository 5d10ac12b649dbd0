// Printed listings of a test book: 80 columns of plain text, one test, one step, one module or
// the whole book, either as the tests are written or, with a campaign, as a report with one result
// row per test. A listing is handed to the print command and shown in the page.
#pragma once

#include <string>
#include <string_view>

#include "testbook/page_parts.h"
#include "testbook/records.h"

namespace testbook {

// Every line of a listing is this wide, without its line feed.
inline constexpr int kPrintWidth = 80;

// --- Text primitives (each returns whole lines ending with a line feed, but PrintField) ---

// 80 characters: `edge` at positions 1, a, b and 80 (counting from 1; 0 means none), `fill`
// everywhere else. Plain rule ('+', '-'), with column marks (a = 26, b = 53), double rule
// ('+', '='), empty framed line ('|', ' '), star rule ('*', '*').
std::string PrintRule(int a, int b, char edge, char fill);
std::string PlainRule();
// Exactly `width` characters of `text`, cut or padded with blanks, then "|". Control
// characters print as blanks; the text "&nbsp;" (a result not given) prints as blanks.
std::string PrintField(std::string_view text, int width);
// A field of "label : value".
std::string PrintLabelled(std::string_view label, std::string_view value, int width);
// Each line of `text` (a carriage return before its line feed dropped) in pieces of at most
// 78 characters, each framed: "|", a field of 78, a line feed. An empty line, and an empty
// text, print one empty framed piece.
std::string PrintWrapped(std::string_view text);
// "|", a field of 78 holding "label : ", a line feed, the wrapped text, a plain rule.
std::string PrintSection(std::string_view label, std::string_view text);

// --- Listings ---------------------------------------------------------------------------

// One test as it is written; a form feed ends it, so each test starts a printed page.
std::string ListTest(const TestRecord& test);
// The result table's separator, its head, and the row of one test's result, ending with a
// separator. Linked sheets are shown with their status abbreviation ("?" when the reference
// names no readable sheet).
std::string ResultSeparator();
std::string ResultTableHead();
std::string ResultRow(const TestRecord& test, const ResultRecord& result);

// The step, module or whole book at `place`; with `campaign` as a report of its results.
std::string ListStep(const BookPlace& place, const std::string* campaign);
std::string ListModule(const BookPlace& place, const std::string* campaign);
std::string ListBook(const BookPlace& place, const std::string* campaign);

// --- Pages: the listing printed and shown inside a PRE block ---------------------------

void PrintTest(const BookPlace& place);
void PrintStep(const BookPlace& place, const std::string* campaign);
void PrintModule(const BookPlace& place, const std::string* campaign);
void PrintBook(const BookPlace& place, const std::string* campaign);

}  // namespace testbook
