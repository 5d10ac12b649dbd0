// The search page: the quick access by sheet name, the form of criteria, the display options.
#pragma once

#include "web/params.h"

namespace search {

// CMD=search. The lists are those of `project`, else of the user's remembered project.
void ShowSearchForm(const web::ParamList& params);

}  // namespace search
