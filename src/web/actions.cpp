#include "web/actions.h"

namespace web {
namespace {

constexpr Action kActions[] = {
    {kActionChangeHeader, "Change_Header", "header", 140, ActionKind::kEdit},
    {kActionObserved, "Observed", "observe", 141, ActionKind::kStatus},
    {kActionAnalyse, "Analyse", "analyse", 142, ActionKind::kStatus},
    {kActionAttach, "Attach", "attach", 143, ActionKind::kStatus},
    {kActionCopy, "Copy", "copy", 144, ActionKind::kEdit},
    {kActionAssign, "Assign", "assign", 145, ActionKind::kStatus},
    {kActionOpen, "Open", "open", 146, ActionKind::kStatus},
    {kActionNotABug, "Not_a_Bug", "notabug", 147, ActionKind::kStatus},
    {kActionNotReproducible, "Not_Reproducible", "notRep", 148, ActionKind::kStatus},
    {kActionDuplicate, "Duplicate", "duplicate", 149, ActionKind::kStatus},
    {kActionPostpone, "Postpone", "postpone", 150, ActionKind::kStatus},
    {kActionCorrected, "Corrected", "correct", 151, ActionKind::kStatus},
    {kActionForVerification, "For_Verification", "forverif", 152, ActionKind::kStatus},
    {kActionVerified, "Verified", "verify", 153, ActionKind::kStatus},
    {kActionRejected, "Rejected", "reject", 154, ActionKind::kStatus},
    {kActionAbandoned, "Abandoned", "abandon", 155, ActionKind::kStatus},
    {kNoActionCode, "Print", "print", 156, ActionKind::kPrint},
    {kActionEdit, "Edit", "", 2024, ActionKind::kEdit},
    {kActionNew, "new", "", 200, ActionKind::kNew},
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

}  // namespace web
