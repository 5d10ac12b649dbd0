// The program's entry: decode the request, then the home page or the dispatch.
#pragma once

#include <span>
#include <string_view>

#include "web/params.h"

namespace front {

// What a page needs, with security on, before its handler runs.
enum class Access {
  kOpen,    // anyone (the help page)
  kRead,    // a valid token (the request's own, or the cookie's) of a reader of the project
  kChange,  // the request's own valid token, of a member of the project holding the right
};

// Where the project acted on is taken from.
enum class ProjectFrom {
  kToken,  // the token's own project
  kForm,   // the "project" parameter, else the token's project
  kSheet,  // the project of the sheet `Num` names, else the token's project
};

// Right 0 asks for no right beyond reading (or membership, for a change); kSheetReading is
// the right the sheet's status asks for (7 open, 6 closed).
inline constexpr int kSheetReading = -1;

struct Needs {
  Access access;
  int right;
  ProjectFrom from;
  int refusal;  // the message of the error box a refused request gets
};

using Handler = void (*)(web::ParamList&);

// One row for every CMD value and every page-selecting parameter: its handler, what showing
// needs, what a change needs, and which requests change.
struct CommandRow {
  std::string_view trigger;  // the CMD value, or the parameter's name
  bool parameter;            // a parameter (find, Numero, Num) rather than a CMD value
  Handler run;
  Needs read;
  Needs change;
  bool (*changes)(const web::ParamList& list);  // null: never changes anything
  // A field besides `User` that names who acts: with security on it is the token's login.
  std::string_view actor = {};
};

std::span<const CommandRow> CommandRows();
// The row of a CMD value (exact, case-sensitive), or of a parameter; null when none.
const CommandRow* FindCommandRow(std::string_view trigger, bool parameter = false);

// The one gate: true when the request may run the row's handler. Otherwise the refusal is
// already written (an error box, the way to the login for one not logged in).
bool PassGate(const CommandRow& row, const web::ParamList& list);

// The gate's decision alone, nothing written: whether the request may run the row's handler
// (and make the change it asks, when it asks one).
bool GateGrants(const CommandRow& row, const web::ParamList& list);

// Runs one request; always returns 0.
int Main(int argc, char** argv);

// True for the home road: no parameter, or only `Uid`.
bool IsHomeRequest(const web::ParamList& list);

// The dispatch road: every CMD, find, Numero and Num node in list order, then the
// parameter dump when a CMD value was unknown.
void Dispatch(web::ParamList& list);

}  // namespace front
