#include "web/action_codes.h"

namespace web {
namespace {

constexpr ActionCommand kActions[] = {
    {"Change_Header", kActionChangeHeader, ActionKind::kEdit},
    {"Observed", kActionObserved, ActionKind::kStatus},
    {"Analyse", kActionAnalyse, ActionKind::kStatus},
    {"Copy", kActionCopy, ActionKind::kEdit},
    {"Assign", kActionAssign, ActionKind::kStatus},
    {"Open", kActionOpen, ActionKind::kStatus},
    {"Not_a_Bug", kActionNotABug, ActionKind::kStatus},
    {"Not_Reproducible", kActionNotReproducible, ActionKind::kStatus},
    {"Duplicate", kActionDuplicate, ActionKind::kStatus},
    {"Postpone", kActionPostpone, ActionKind::kStatus},
    {"Corrected", kActionCorrected, ActionKind::kStatus},
    {"For_Verification", kActionForVerification, ActionKind::kStatus},
    {"Verified", kActionVerified, ActionKind::kStatus},
    {"Rejected", kActionRejected, ActionKind::kStatus},
    {"Abandoned", kActionAbandoned, ActionKind::kStatus},
    {"Edit", kActionEdit, ActionKind::kEdit},
    {"Attach", kActionAttach, ActionKind::kStatus},
};

}  // namespace

std::optional<ActionCommand> FindAction(std::string_view cmd) {
  for (const ActionCommand& a : kActions)
    if (a.cmd == cmd) return a;
  return std::nullopt;
}

std::string_view ActionCommandName(int code) {
  if (code == kActionNew) return "new";
  for (const ActionCommand& a : kActions)
    if (a.code == code) return a.cmd;
  return {};
}

}  // namespace web
