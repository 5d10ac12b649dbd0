// The two halves of a status action, as its row of the action table (sheets/action_table.h)
// holds them: the form (method, heading, fields) and the commit (title, required parameters,
// condition, new status and fields, log line, entry, remembered context).
#pragma once

#include <string>
#include <string_view>

#include "store/sheet.h"
#include "web/params.h"

namespace sheets {

// How a form's heading is written (the table that holds its fields opens with it):
//   kTitled:    "<H1>" M(title) "</H1>\n<TABLE ...><TR><TD>\n<P>"
//   kNamed:     "<H1>%s %s</H1>\n<TABLE ...><TR><TD><P>\n" with Msg(title) and the name
//   kNamedOpen: "<H1>%s %s </H1>\n<TABLE ...><TR><TD>\n" (the fields write their own "<P>")
//   kNamedPara: "<H1>%s %s </H1>\n<TABLE ...><TR><TD>\n<P>"
//   kNamedNote: "<H1>%s %s </H1>\n" then the message `lead` as a note in colour, then
//               "<TABLE ...><TR><TD>\n" (the fields write their own "<P>")
// M(n) is message n used as a format with the sheet name.
enum class FormHeading { kTitled, kNamed, kNamedOpen, kNamedPara, kNamedNote };

// The values a form is filled with: after a refusal, what the request carried; on the first
// showing, the proposals of each field.
struct FormValues {
  const web::ParamList* typed = nullptr;  // null: nothing typed yet
  // The typed value of `name`, else `proposal`.
  std::string Get(std::string_view name, std::string_view proposal) const;
  // The typed text of `name` escaped for the page, else `proposal` as it is.
  std::string Text(std::string_view name, std::string_view proposal) const;
};

using FormFields = void (*)(const store::FactSheet& sheet, const FormValues& values);

struct ActionForm {
  std::string_view method;  // of the FORM element
  FormHeading heading;
  int title;
  int lead;             // M(lead) follows the heading; 0: none
  bool corrected_only;  // refused with 508 unless the sheet is corrected
  FormFields fields;
};
// The fields of the forms (action_forms.cpp).
void DesignateFields(const store::FactSheet& sheet, const FormValues& values);
void ConfirmFields(const store::FactSheet& sheet, const FormValues& values);
template <int kRows>
void ReasonFields(const store::FactSheet& sheet, const FormValues& values);
void VerifierFields(const store::FactSheet& sheet, const FormValues& values);
void DuplicateFields(const store::FactSheet& sheet, const FormValues& values);
void PostponeFields(const store::FactSheet& sheet, const FormValues& values);
void AnalyseFields(const store::FactSheet& sheet, const FormValues& values);
void CorrectedFields(const store::FactSheet& sheet, const FormValues& values);
void VerifiedFields(const store::FactSheet& sheet, const FormValues& values);
void AttachFields(const store::FactSheet& sheet, const FormValues& values);

struct Action;
// Writes the form of the status action `action` for the sheet `name` (hidden fields
// included); with `refill` every field holds what the request carried.
void WriteActionForm(const Action& action, const store::FactSheet& sheet, std::string_view name,
                     const web::ParamList& list, bool refill = false);

// What a commit takes from the request, and what its condition works out.
struct CommitInput {
  std::string name;     // the sheet
  std::string user;     // `User`: the acting login
  std::string sub;      // `submitter`: the person the action designates
  std::string title;    // `title`
  std::string version;  // `version`
  std::string test;     // `test`
  std::string text;     // `text`; empty when the request has none
  int load = 0;         // `Load`
  long now = 0;         // the one clock reading of the commit
  int postponed = 0;    // Postpone: the date the condition read
  std::string file;     // Attach: the browser's name of the uploaded file (`Attach`)
  std::string stored;   // Attach: the stored file's path, once the condition stored it
};

// The commit's title: M(title), "%s %s" with Msg(title) and the name, or M(title) with the
// name and `text`.
enum class CommitTitle { kFormat, kLabel, kFormatText };

// Required parameters.
enum Needs : unsigned {
  kNeedUser = 1,
  kNeedSub = 2,
  kNeedTitle = 4,
  kNeedVersion = 8,
  kNeedTestOrText = 16,  // `test` given or `text` not empty
};

// The arguments of the log message, in order.
enum class LogArgs { kSubUser, kByUser, kTextUser, kTitleUser, kUserVersion };

// The entry a commit adds: none, a label message's entry with `text`, the same with the
// `test` value when `text` is empty, an entry named by the `title` parameter, or an
// attachment entry named by `title` whose body is the stored file's path.
enum class EntryKind { kNone, kText, kTextOrTest, kTitled, kAttachment };

// A condition writes its own refusal into the page and returns false.
using Condition = bool (*)(const store::FactSheet& sheet, CommitInput& in);
using SetFields = void (*)(store::FactSheet& sheet, const CommitInput& in);

// The status of a commit that leaves it as it is.
inline constexpr int kStatusUnchanged = -1;

struct ActionCommit {
  CommitTitle title_kind;
  int title;
  unsigned needs;
  int missing;  // the message when a required parameter is missing
  Condition condition;
  int status;  // the new status, or kStatusUnchanged
  SetFields set_fields;
  int log;
  LogArgs log_args;
  EntryKind entry;
  int entry_name;        // the label message of kText and kTextOrTest entries
  bool project_context;  // remember project, sub-project and phase with the login
};

// The conditions and field setters of the commits (action_commits.cpp).
bool ManagerCondition(const store::FactSheet& sheet, CommitInput& in);
bool VerifierCondition(const store::FactSheet& sheet, CommitInput& in);
bool DuplicateCondition(const store::FactSheet& sheet, CommitInput& in);
bool PostponeCondition(const store::FactSheet& sheet, CommitInput& in);
bool AttachCondition(const store::FactSheet& sheet, CommitInput& in);
void SetResponsible(store::FactSheet& sheet, const CommitInput& in);
void SetVerifier(store::FactSheet& sheet, const CommitInput& in);
void SetPostponed(store::FactSheet& sheet, const CommitInput& in);
void SetCorrection(store::FactSheet& sheet, const CommitInput& in);
void SetVerification(store::FactSheet& sheet, const CommitInput& in);

std::string CommitTitleText(const ActionCommit& row, const CommitInput& in);
// The required parameters, the right to change the project and the condition; on a refusal
// the error is in the page and the result is false.
bool AcceptCommit(const ActionCommit& row, const store::FactSheet& sheet,
                  const web::ParamList& list, CommitInput& in);
// Sets the status and fields, logs the action and adds the entry.
void ApplyCommit(const ActionCommit& row, store::FactSheet& sheet, const CommitInput& in);

}  // namespace sheets
