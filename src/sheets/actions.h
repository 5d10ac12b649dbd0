// The status actions on a sheet (Observed, Analyse, Assign, Open, Not_a_Bug, Not_Reproducible,
// Duplicate, Postpone, Corrected, For_Verification, Verified, Rejected, Abandoned). Each runs
// in two requests on the same CMD value: without a `User` parameter the page is the action's
// form, with one it is the commit, which changes the sheet, logs the action, stores the sheet,
// remembers the acting user and mails the change.
#pragma once

#include "web/params.h"

namespace sheets {

// The whole page of the action `code` (ActionCode): form or commit. False, with nothing
// written, for a code this handler does not take.
bool HandleAction(int code, const web::ParamList& list);

}  // namespace sheets
