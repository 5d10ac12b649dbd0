#include "sheets/action_table.h"

#include "sheets/actions.h"
#include "sheets/create.h"
#include "sheets/edit.h"
#include "sheets/print.h"

namespace sheets {
namespace {

void Status(const Action& action, web::ParamList& list) {
  HandleAction(action.code, list);
}
void Edit(const Action& action, web::ParamList& list) {
  EditCommand(action.code, list);
}
void New(const Action&, web::ParamList& list) {
  StoreNewSheet(list);
}
void Print(const Action&, web::ParamList& list) {
  const std::string name = web::GetParam(list, "Num");
  PrintSheet(list, name);
}

using enum ActionKind;
constexpr Action kActions[] = {
    {kActionChangeHeader, "Change_Header", "header", 140, kEdit, Edit, " M"},
    {kActionObserved, "Observed", "observe", 141, kStatus, Status, " s"},
    {kActionAnalyse, "Analyse", "analyse", 142, kStatus, Status, " M a"},
    {kActionAttach, "Attach", "attach", 143, kStatus, Status, " M a"},
    {kActionCopy, "Copy", "copy", 144, kEdit, Edit, ""},
    {kActionAssign, "Assign", "assign", 145, kStatus, Status, " a"},
    {kActionOpen, "Open", "open", 146, kStatus, Status, " a"},
    {kActionNotABug, "Not_a_Bug", "notabug", 147, kStatus, Status, " M s"},
    {kActionNotReproducible, "Not_Reproducible", "notRep", 148, kStatus, Status, " M s"},
    {kActionDuplicate, "Duplicate", "duplicate", 149, kStatus, Status, " s"},
    {kActionPostpone, "Postpone", "postpone", 150, kStatus, Status, " s"},
    {kActionCorrected, "Corrected", "correct", 151, kStatus, Status, " M V"},
    {kActionForVerification, "For_Verification", "forverif", 152, kStatus, Status, " v"},
    {kActionVerified, "Verified", "verify", 153, kStatus, Status, " M V c"},
    {kActionRejected, "Rejected", "reject", 154, kStatus, Status, " M V"},
    {kActionAbandoned, "Abandoned", "abandon", 155, kStatus, Status, " M s"},
    {kNoActionCode, "Print", "print", 156, kPrint, Print, ""},
    {kActionEdit, "Edit", "", 2024, kEdit, Edit, " M a"},
    {kActionNew, "new", "", 200, kNew, New, " M V"},
};

}  // namespace

std::span<const Action> Actions() {
  return kActions;
}

const Action* FindAction(std::string_view cmd) {
  for (const Action& a : kActions)
    if (a.cmd == cmd) return &a;
  return nullptr;
}

const Action* ActionOfCode(int code) {
  if (code == kNoActionCode) return nullptr;
  for (const Action& a : kActions)
    if (a.code == code) return &a;
  return nullptr;
}

}  // namespace sheets
