// The forms of the status actions: who acts, whom the action designates and what goes with it.
#include <ctime>
#include <string>
#include <string_view>

#include "base/encode.h"
#include "base/out.h"
#include "base/text.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/options.h"
#include "config/projects.h"
#include "sheets/action_parts.h"
#include "sheets/action_table.h"
#include "sheets/revision.h"
#include "store/store.h"
#include "users/user_context.h"
#include "web/cookies.h"
#include "web/identity.h"
#include "web/page.h"

namespace sheets {
namespace {

using config::Msg;

constexpr std::string_view kTable = "<TABLE BORDER=0 WIDTH=100%><TR><TD>";
constexpr std::string_view kNextRow = "</TD></TR>\n<TR><TD>\n";

// A selection of the project's users, with an empty first choice.
void WriteUserSelect(const store::FactSheet& sheet, std::string_view field,
                     std::string_view selected, bool new_line, int label = 0) {
  // With security on the one acting is the logged-in member, whatever the form would offer.
  if (field == "User" && config::IsSecurityOn()) selected = users::GetUserName();
  if (new_line) base::Write(nullptr, "\n");
  base::Page("<SELECT NAME=\"%s\" ID=%s", field, field);
  // A list whose label is part of a sentence of the form is named for readers.
  if (label) base::Page(" ARIA-LABEL=\"%s\"", base::EscapeHtml(Msg(label)));
  base::Write(nullptr, ">\n");
  base::Write(nullptr, "<OPTION >&nbsp\n");
  config::WriteUserOptions(nullptr, sheet.project, selected);
  base::Write(nullptr, "</SELECT>\n");
}

void WriteActingUser(const store::FactSheet& sheet, const FormValues& values, bool new_line) {
  WriteUserSelect(sheet, "User", values.Get("User", users::GetUserName()), new_line);
}

// The label of the acting user's list, which follows it.
void WriteDoneBy() {
  base::Page("<LABEL FOR=User>%s</LABEL> \n", Msg(2083));
}

void WriteSubmit() {
  base::Write(nullptr, "<inPUT TYPE=\"submit\" VALUE=\"OK\">\n");
}

// A text area, pre-filled with language messages or with the text typed, escaped.
void WriteTextArea(int rows, std::string_view content) {
  base::Page("<TEXTAREA NAME=%s ROWS=%d COLS=70 ARIA-LABEL=\"%s\">\n", "text", rows,
             base::EscapeHtml(Msg(2099)));
  base::Write(nullptr, content);
  base::Write(nullptr, "</TEXTAREA>\n");
}

// A value for an unquoted attribute: as it is when it cannot end the attribute, else quoted.
std::string UnquotedValue(std::string_view value) {
  for (char c : value) {
    if (base::IsBlank(c) || c == '"' || c == '\'' || c == '=' || c == '<' || c == '>' || c == '`')
      return "\"" + base::EscapeHtml(value) + "\"";
  }
  return std::string(value);
}

// Analyse, Attach: the entry's title, proposed as "<kind>_<number of entries>", the acting
// user and the submit button, then the next row.
void WriteTitleAndUser(const store::FactSheet& sheet, const FormValues& values,
                       std::string_view kind) {
  base::Page("<P><LABEL FOR=title>%s</LABEL> \n", Msg(106));
  const std::string proposal = base::Sprintf("%s_%d", kind, static_cast<int>(sheet.entries.size()));
  base::Page("<INPUT SIZE=20 NAME=\"%s\" ID=title VALUE=%s>\n", "title",
             UnquotedValue(values.Get("title", proposal)));
  WriteDoneBy();
  WriteActingUser(sheet, values, false);
  WriteSubmit();
  base::Write(nullptr, kNextRow);
}

}  // namespace

// Observed, Assign, Open: the person designated, then the acting user.
void DesignateFields(const store::FactSheet& sheet, const FormValues& values) {
  WriteUserSelect(sheet, "submitter", values.Get("submitter", sheet.submitter), true, 117);
  WriteDoneBy();
  WriteActingUser(sheet, values, false);
  WriteSubmit();
}

// Not_a_Bug, Not_Reproducible.
void ConfirmFields(const store::FactSheet& sheet, const FormValues& values) {
  WriteActingUser(sheet, values, true);
  WriteSubmit();
}

// Abandoned, Rejected: the acting user and the reason.
template <int kRows>
void ReasonFields(const store::FactSheet& sheet, const FormValues& values) {
  WriteActingUser(sheet, values, true);
  base::Write(nullptr, kNextRow);
  base::Page("%s : <BR>\n", Msg(2058));
  WriteTextArea(kRows, values.Text("text", {}));
  WriteSubmit();
}

// For_Verification: the one asking (pre-selected the submitter), then the verifier.
void VerifierFields(const store::FactSheet& sheet, const FormValues& values) {
  WriteUserSelect(sheet, "User", values.Get("User", sheet.submitter), true);
  base::Page("%s \n", Msg(2070));
  WriteUserSelect(sheet, "submitter", values.Get("submitter", users::GetUserName()), false, 118);
  WriteSubmit();
}

void DuplicateFields(const store::FactSheet& sheet, const FormValues& values) {
  const std::string typed = values.Get("text", {});
  if (typed.empty())
    base::Page("\n<INPUT SIZE=20 NAME=\"%s\" ARIA-LABELLEDBY=lead>\n", "text");
  else
    base::Page("\n<INPUT SIZE=20 NAME=\"%s\" ARIA-LABELLEDBY=lead VALUE=%s>\n", "text",
               UnquotedValue(typed));
  base::Page(" <LABEL FOR=User>%s</LABEL> \n", Msg(2083));
  WriteActingUser(sheet, values, false);
  WriteSubmit();
}

// Postpone: proposes tomorrow.
void PostponeFields(const store::FactSheet& sheet, const FormValues& values) {
  std::time_t tomorrow = std::time(nullptr) + 86400;
  std::tm local{};
  localtime_r(&tomorrow, &local);
  char date[32];
  std::strftime(date, sizeof date, "%d/%m/%Y", &local);
  base::Page("\n<INPUT SIZE=20 NAME=\"%s\" ARIA-LABELLEDBY=lead VALUE=%s>\n", "text",
             UnquotedValue(values.Get("text", date)));
  base::Page(" <LABEL FOR=User>%s</LABEL> \n", Msg(2083));
  WriteActingUser(sheet, values, false);
  WriteSubmit();
}

// Analyse: the title proposed from the number of entries, the acting user, the text.
void AnalyseFields(const store::FactSheet& sheet, const FormValues& values) {
  WriteTitleAndUser(sheet, values, "Analyse");
  WriteTextArea(15, values.Text("text", {}));
}

// Corrected: a planned version not yet delivered, the acting user, the load in working days
// since the creation, and the text laid out for the cause, the correction and the files.
void CorrectedFields(const store::FactSheet& sheet, const FormValues& values) {
  base::Page("\n<SELECT NAME=\"%s\" ARIA-LABEL=\"%s\">\n", "version", Msg(110));
  base::Write(nullptr, "<OPTION >&nbsp\n");
  config::WriteDeadlineOptions(nullptr, sheet.project, values.Get("version", {}));
  base::Write(nullptr, "</SELECT>\n");
  WriteDoneBy();
  WriteActingUser(sheet, values, false);
  WriteSubmit();
  base::Write(nullptr, kNextRow);
  base::Page("<P><LABEL FOR=Load>%s</LABEL> : \n", Msg(2091));
  const std::string days =
      std::to_string(store::CountWorkingDays(sheet.created, static_cast<long>(std::time(nullptr))));
  base::Page("<INPUT SIZE=4 NAME=\"%s\" ID=Load VALUE=%s>\n", "Load",
             UnquotedValue(values.Get("Load", days)));
  base::Write(nullptr, kNextRow);
  WriteTextArea(15, values.Text("text", base::Sprintf("%s\n\n\n", Msg(2092)) +
                                            base::Sprintf("%s:\n\n\n", Msg(2093)) +
                                            base::Sprintf("%s:\n", Msg(2094))));
}

// Verified: the delivered versions, the acting user, the test reference and the comment.
void VerifiedFields(const store::FactSheet& sheet, const FormValues& values) {
  base::Page("\n<SELECT NAME=\"%s\" ARIA-LABEL=\"%s\">\n", "version", Msg(110));
  const std::string version = values.Get("version", {});
  base::Write(nullptr, version.empty() ? "<OPTION SELECTED>&nbsp\n" : "<OPTION >&nbsp\n");
  config::WriteProjectFileOptions(nullptr, sheet.project, "version",
                                  version.empty() ? std::string_view() : version);
  base::Write(nullptr, "</SELECT>\n");
  WriteDoneBy();
  WriteActingUser(sheet, values, false);
  WriteSubmit();
  base::Write(nullptr, kNextRow);
  base::Page("<LABEL FOR=test>%s</LABEL>", Msg(2098));
  base::Page("<INPUT SIZE=20 NAME=\"%s\" ID=test VALUE=%s>\n", "test",
             UnquotedValue(values.Get("test", sheet.test)));
  base::Page("<BR>%s :<BR>\n", Msg(2099));
  WriteTextArea(15, values.Text("text", {}));
}

// Attach: the title proposed from the number of entries, the acting user, and the file
// field, last, as the multipart decoder needs it.
void AttachFields(const store::FactSheet& sheet, const FormValues& values) {
  WriteTitleAndUser(sheet, values, "File");
  base::Page("<LABEL FOR=Attach>%s</LABEL> : <INPUT TYPE=FILE NAME=%s ID=Attach SIZE=40>\n",
             Msg(2440), "Attach");
}

template void ReasonFields<5>(const store::FactSheet&, const FormValues&);
template void ReasonFields<6>(const store::FactSheet&, const FormValues&);

namespace {

using enum FormHeading;

void WriteHeading(const ActionForm& row, std::string_view sheet_name) {
  const std::string name = base::EscapeHtml(sheet_name);
  switch (row.heading) {
    case kTitled:
      base::Write(nullptr, "<H1>");
      base::Page(Msg(row.title), name);
      base::Page("</H1>\n%s\n<P>", kTable);
      break;
    case kNamed:
      base::Page("<H1>%s %s</H1>\n", Msg(row.title), name);
      base::Page("%s<P>\n", kTable);
      break;
    case kNamedOpen:
      base::Page("<H1>%s %s </H1>\n", Msg(row.title), name);
      base::Page("%s\n", kTable);
      break;
    case kNamedPara:
      base::Page("<H1>%s %s </H1>\n", Msg(row.title), name);
      base::Page("%s\n<P>", kTable);
      break;
    case kNamedNote:
      base::Page("<H1>%s %s </H1>\n", Msg(row.title), name);
      base::Page("<FONT COLOR=LightCoral>%s</FONT>\n", Msg(row.lead));
      base::Page("%s\n", kTable);
      return;
  }
  // The lead names the field that follows it.
  if (row.lead) {
    base::Write(nullptr, "<SPAN ID=lead>");
    base::Page(Msg(row.lead), name);
    base::Write(nullptr, "</SPAN>");
  }
}

}  // namespace

std::string FormValues::Get(std::string_view name, std::string_view proposal) const {
  if (typed) {
    const std::string& value = web::GetParam(*typed, name);
    if (!web::IsAbsent(value)) return value;
  }
  return std::string(proposal);
}

std::string FormValues::Text(std::string_view name, std::string_view proposal) const {
  if (typed) {
    if (const std::string* value = web::FindParam(*typed, name)) return base::EscapeHtml(*value);
  }
  return std::string(proposal);
}

void WriteActionForm(const Action& action, const store::FactSheet& sheet, std::string_view name,
                     const web::ParamList& list, bool refill) {
  const ActionForm& row = action.form;
  // The way home, above the form.
  web::WriteHomeLink();
  base::Page("<FORM METHOD=%s ACTION=\"%s\">\n", row.method, base::EscapeHtml(web::ScriptName()));
  constexpr std::string_view kHidden = "<INPUT TYPE=\"hidden\" NAME=\"%s\" VALUE=\"%s\">\n";
  base::Page(kHidden, "CMD", action.cmd);
  base::Page(kHidden, "Num", base::EscapeHtml(name));
  base::Page("<INPUT TYPE=\"hidden\" NAME=QS VALUE=\"%s\">\n",
             base::EscapeHtml(web::GetParam(list, "QS")));
  const std::string& uid = web::GetCurrentUid();
  if (!uid.empty() && !web::IsAbsent(uid))
    base::Page("<INPUT TYPE=\"hidden\" NAME=Uid VALUE=\"%s\">\n", base::EscapeHtml(uid));
  WriteRevisionField(sheet);
  WriteOnceField();
  if (row.corrected_only && sheet.status != store::kCorrected) {
    web::ErrorBox(508);
  } else {
    WriteHeading(row, name);
    FormValues values;
    if (refill) values.typed = &list;
    row.fields(sheet, values);
    base::Write(nullptr, "</TD></TR></TABLE>\n");
  }
  base::Write(nullptr, "</FORM><HR>\n");
}

}  // namespace sheets
