// The action codes shared by the dispatcher, the action and edit handlers and the mail
// configuration (whose lines they index, 0 standing for the storing of a new sheet).
#pragma once

#include <optional>
#include <string_view>

namespace web {

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

// Which of the two shared handlers takes an action.
enum class ActionKind { kStatus, kEdit };

struct ActionCommand {
  std::string_view cmd;  // the CMD value
  int code;
  ActionKind kind;
};

// The action named by a CMD value (exact, case-sensitive), if any.
std::optional<ActionCommand> FindAction(std::string_view cmd);

// The CMD value of an action code ("new" for 0); empty for an unknown code.
std::string_view ActionCommandName(int code);

}  // namespace web
