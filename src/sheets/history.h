// The history view: the journal "history.dat" shown day by day in three frames, a title, the
// list of the days that have journal lines (newest first) and the actions of one day, each
// linking to its sheet, or to its test when the line names a test of a test book.
#pragma once

#include <string>
#include <string_view>

#include "base/encode.h"
#include "base/out.h"
#include "web/params.h"

namespace sheets {

// CMD=history. By `text`: absent, the frameset; "TOP", the title; "LEFT", the days; any
// other value, the actions of that day.
void HistoryCommand(const web::ParamList& list);

// The writers of the four answers; output goes to `out` (null: the page).
void WriteHistoryFrames(base::Stream out = nullptr);
void WriteHistoryTitle(base::Stream out = nullptr);
// One link per run of consecutive journal lines of the same day, the last run first.
void WriteHistoryDays(base::Stream out = nullptr);
// One table row per journal line of `day` ("1999/12/31"), in journal order.
void WriteHistoryDay(std::string_view day, base::Stream out = nullptr);
// The history on one page, without frames: the actions of `day` (today when absent), then
// every day of the journal, newest first, each linking to its own page.
void WriteHistoryPage(std::string_view day, const web::ParamList& list);

// `text` as HTML, with the first word of the colouring table (messages 2600 to 2608, in
// that order, up to the first empty one) that occurs in it set in bold and in its colour at
// its first occurrence. Only one word per text is coloured.
std::string ColourKeywords(std::string_view text);

// A value written into a test-book link.
using base::EncodeLinkValue;

}  // namespace sheets
