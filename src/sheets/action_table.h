// The actions on a sheet, in one table: the code shared by the dispatcher, the action and
// edit handlers and the mail configuration (whose lines they name, 0 standing for the
// storing of a new sheet), the CMD value, the button of the action bar, the label of the
// button and of the mail subject, the handler that takes it, who is mailed by default, and
// for a status action its form and its commit (action_parts.h). A new action is one row.
#pragma once

#include <span>
#include <string_view>

#include "sheets/action_parts.h"
#include "web/params.h"

namespace sheets {

enum ActionCode {
  kActionNew = 0,
  kActionChangeHeader = 1,
  kActionObserved = 2,
  kActionAnalyse = 3,
  kActionCopy = 4,
  kActionAssign = 5,
  kActionOpen = 6,
  kActionNotABug = 7,
  kActionNotReproducible = 8,
  kActionDuplicate = 9,
  kActionPostpone = 10,
  kActionCorrected = 11,
  kActionForVerification = 12,
  kActionVerified = 13,
  kActionRejected = 14,
  kActionAbandoned = 15,
  kActionEdit = 16,
  kActionAttach = 17,
};
constexpr int kActionCount = 18;
// Printing has a button but no action code.
constexpr int kNoActionCode = -1;

// Who takes an action: the storing of a new sheet, the status handler, the edit handler,
// or the printing of the sheet.
enum class ActionKind { kNew, kStatus, kEdit, kPrint };

struct Action {
  int code;
  std::string_view cmd;    // the CMD value, also the key of the action's line in "sendmail.cfg"
  std::string_view image;  // the button's image (".gif"); empty: no button in the bar
  int label;               // the button's and the mail subject's message
  ActionKind kind;
  void (*handle)(const Action& action, web::ParamList& list);  // the whole page
  std::string_view mail;  // the recipients of a new "sendmail.cfg" (role letters)
  ActionForm form;        // a status action's form (action_forms.cpp); others: none
  ActionCommit commit;    // a status action's commit (action_commits.cpp); others: none
};

// Every action, buttons in the order of the bar.
std::span<const Action> Actions();

// The action a CMD value names (exact, case-sensitive); null when none.
const Action* FindAction(std::string_view cmd);
// The action of a code; null for an unknown code.
const Action* ActionOfCode(int code);

}  // namespace sheets
