// The test-book pages: the navigator and the pages of the module, step and test actions.
#pragma once

#include <string_view>

#include "web/params.h"

namespace testbook {

// `CMD=book`: the page frame, then the page that `book` selects (the navigator when there is
// no such action). `cmd` is the command that reached it.
void TestBookPage(web::ParamList& list, std::string_view cmd);
// Whether a CMD=book request saves or deletes (its `book` names such an action).
bool BookRequestChanges(const web::ParamList& list);

// The banner at the top of the action pages: `title` (markup) on the left, the project, the
// group and the phase's name on the right.
void BookBanner(std::string_view title, std::string_view project, std::string_view group,
                int phase);

}  // namespace testbook
