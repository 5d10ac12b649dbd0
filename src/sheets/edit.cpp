#include "sheets/edit.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/options.h"
#include "config/projects.h"
#include "sheets/action_table.h"
#include "sheets/display.h"
#include "sheets/edit_parts.h"
#include "sheets/notify.h"
#include "sheets/revision.h"
#include "store/store.h"
#include "users/rights.h"
#include "users/user_context.h"
#include "web/cookies.h"
#include "web/identity.h"
#include "web/page.h"
#include "web/response.h"

namespace sheets {

namespace edit_parts {

void WriteUserSelect(std::string_view project) {
  base::Page("<SELECT NAME=\"%s\" ID=User>\n", "User");
  base::Write(nullptr, "<OPTION >&nbsp\n");
  config::WriteUserOptions(nullptr, project, users::GetUserName());
  base::Write(nullptr, "</SELECT>\n");
}

void ReportNotStored(store::Stored stored, std::string_view name) {
  if (stored == store::Stored::kMissing)
    web::ErrorBox(config::kMsgCannotReadSheet);
  else
    web::ErrorBoxArg(config::kMsgCannotOpen, base::JoinPath(config::GetDataDir(), name));
}

void NormaliseHeader(store::FactSheet& sheet) {
  std::string header = store::FormatHeader(sheet);
  header.pop_back();
  store::ParseHeader(header, sheet);
}

}  // namespace edit_parts

namespace {

using config::Msg;
using web::FindParam;
using web::IsMissing;

std::string Esc(std::string_view text) {
  return base::EscapeHtml(text);
}

// The query of the result list to return to; empty when the request has none.
std::string QueryOf(const web::ParamList& params) {
  const std::string& qs = web::GetParam(params, "QS");
  return web::IsAbsent(qs) ? std::string() : qs;
}

int CommitTitle(int code) {
  switch (code) {
    case kActionChangeHeader:
      return 2030;
    case kActionCopy:
      return 2033;
    default:
      return 2026;
  }
}

void WriteCommitHead(int code, std::string_view name, std::string_view qs) {
  base::Write(nullptr, "<Table Width=100% Cellpadding=0 Cellspacing=0 border=0>\n");
  base::Write(nullptr, "<TR><TD ALIGN=LEFT><H1>");
  base::Page("%s %s", Msg(CommitTitle(code)), Esc(name));
  base::Write(nullptr, "</H1></TD>\n<TD ALIGN=RIGHT Valign=TOP>\n");
  base::Page("<A HREF=\"?%s\">\n", Esc(qs));
  base::Page("<IMG SRC=\"%s/larrow.gif\" BORDER=0 VALIGN=CENTER ALT=\"%s\"></A>\n",
             config::GetImageDir(), Msg(1106));
  base::Write(nullptr, "</A></TD></TR></Table>\n");
}

void WriteFormStart(const web::ParamList& params, std::string_view name, std::string_view qs) {
  base::Page("<FORM METHOD=POST ACTION=\"%s\">\n", Esc(web::ScriptName()));
  base::Page("<INPUT TYPE=\"hidden\" NAME=\"%s\" VALUE=\"%s\">\n", "CMD",
             Esc(web::GetParam(params, "CMD")));
  base::Page("<INPUT TYPE=\"hidden\" NAME=\"%s\" VALUE=\"%s\">\n", "Num", Esc(name));
  base::Page("<INPUT TYPE=\"hidden\" NAME=QS VALUE=\"%s\">\n", Esc(qs));
  base::Write(nullptr, "<INPUT TYPE=\"hidden\" NAME=Reload VALUE=\"\">\n");
  // The identity goes back with the commit, which checks the rights again.
  const std::string& uid = web::GetCurrentUid();
  if (!uid.empty() && !web::IsAbsent(uid))
    base::Page("<INPUT TYPE=\"hidden\" NAME=Uid VALUE=\"%s\">\n", Esc(uid));
}

// An entry name as the file holds it: the entry header ends its name at the first "|", so
// one is written as "/"; a line end would end the header. Cut to the name's capacity.
std::string StoredEntryName(std::string_view title) {
  std::string out(title.substr(0, store::kTitleSize - 1));
  for (char& c : out) {
    if (c == '|') c = '/';
    if (c == '\n' || c == '\0') c = ' ';
  }
  return out;
}

// The red block of an entry number the sheet does not have.
void WriteNoEntry(int number) {
  base::Page("<Font color=red><H1>%s</H1><P>\n", Msg(500));
  base::Page(Msg(505), number);
  base::Write(nullptr, "<P></font>");
}

}  // namespace

namespace {

// The sheet as the refused form had it filled: the typed fields over the stored ones, so
// that the form shown again loses nothing.
store::FactSheet AsTyped(int code, const store::FactSheet& sheet, const web::ParamList& params) {
  store::FactSheet typed = sheet;
  auto text = [&](std::string_view field, std::string& value) {
    if (const std::string* v = FindParam(params, field); v && !web::IsAbsent(*v)) value = *v;
  };
  auto number = [&](std::string_view field, int& value) {
    if (const std::string* v = FindParam(params, field); v && !web::IsAbsent(*v))
      value = web::GetParamInt(params, field);
  };
  auto letter = [&](std::string_view field, int& value) {
    if (const std::string* v = FindParam(params, field); v && !IsMissing(*v))
      value = config::LetterIndex(*v);
  };
  if (code == kActionEdit) {
    const int n = web::GetParamInt(params, "Edit");
    if (n >= 0 && static_cast<size_t>(n) < typed.entries.size()) {
      store::SheetEntry& entry = typed.entries[static_cast<size_t>(n)];
      text("title", entry.name);
      if (entry.kind == store::kTextEntry) text("text", entry.text);
    }
    return typed;
  }
  text("project", typed.project);
  text("group", typed.group);
  text("prog", typed.prog);
  number("sev", typed.sev);
  letter("phase", typed.phase);
  if (code == kActionCopy) return typed;
  text("title", typed.title);
  letter("impact", typed.impact);
  text("version", typed.version);
  text("exp", typed.exp);
  number("type", typed.type);
  text("submitter", typed.submitter);
  text("test", typed.test);
  text("mdapda", typed.mdapda);
  number("Load", typed.Load);
  return typed;
}

// The typed sheet of a form posted back to itself for another project: the sub-project,
// program and version that project does not have are dropped, to be chosen again.
store::FactSheet FollowProject(store::FactSheet typed) {
  if (config::ListSubprojects(typed.project, typed.group).empty() || web::IsMissing(typed.group))
    typed.group.clear();
  if (!config::IsProjectFileOption(typed.project, "program", typed.prog)) typed.prog.clear();
  if (!config::IsProjectFileOption(typed.project, "version", typed.version)) typed.version.clear();
  return typed;
}

void WriteForm(int code, const store::FactSheet& sheet, std::string_view name,
               const web::ParamList& params, std::string_view qs, bool reload = false) {
  web::WriteHomeLink();
  WriteFormStart(params, name, qs);
  // A form posted back to itself keeps the revision it was first shown with.
  WriteRevisionField(sheet, reload ? &params : nullptr);
  WriteOnceField();
  if (code == kActionChangeHeader)
    ShowHeaderForm(sheet, name);
  else if (code == kActionCopy)
    ShowCopyForm(sheet, name);
  else
    ShowEntryEditForm(sheet, name, params);
  base::Write(nullptr, "</FORM><HR>\n");
}

// The page a stored change leads to: the title, the way back, the action bar and the sheet
// as it is now (for a copy, the copy; for a renamed sheet, under its new name).
void ShowStored(int code, const web::ParamList& params, std::string_view name,
                std::string_view shown, std::string_view qs) {
  // Read once a change left unfinished is finished (ReadSheet does): never the sheet as it
  // was before the change this page follows.
  std::optional<store::FactSheet> sheet = store::ReadSheet(shown);
  if (store::ChangePending()) return ShowWillAppear(shown);
  if (!sheet || !users::CheckRightQuietly(params, 1, sheet->project)) {
    web::WriteHomeLink();
    web::ErrorBox(config::kMsgCannotReadSheet);
    return;
  }
  // The address can be typed: it shows the sheet only to who may read it.
  if (!users::MayReadSheet(params, sheet->project, store::IsOpenStatus(sheet->status))) {
    web::WriteHomeLink();
    web::ErrorBox(config::kMsgNoRight);
    return;
  }
  WriteCommitHead(code, name, qs);
  WriteActionBar(nullptr, shown, EncodeQS(qs));
  WriteSheetBody(*sheet, nullptr);
}

}  // namespace

void EditCommand(int code, web::ParamList& params) {
  std::string name = web::GetParam(params, "Num");
  const std::string qs = QueryOf(params);
  // A form posted back for another project's lists is shown again, not committed.
  const bool reload = web::GetParam(params, "Reload") == "1";
  const bool commit = !reload && !web::IsAbsent(web::GetParam(params, "User"));
  const std::string& done = web::GetParam(params, "Done");
  if (!commit && !web::IsAbsent(done)) {
    web::WritePageHead(nullptr, web::GetParam(params, "CMD"), "", params);
    ShowStored(code, params, name, done, qs);
    return;
  }
  web::PageHold hold;
  web::WritePageHead(nullptr, web::GetParam(params, "CMD"), "", params);
  WriteMovedNote();
  std::optional<store::FactSheet> read = store::ReadSheet(name);
  if (store::ChangePending()) return ShowWillAppear(name);
  if (!read) {
    web::WriteHomeLink();
    web::ErrorBox(config::kMsgCannotReadSheet);
    return;
  }
  store::FactSheet sheet = std::move(*read);
  if (!users::MayReadSheet(params, sheet.project, store::IsOpenStatus(sheet.status))) {
    web::ErrorBox(config::kMsgNoRight);
    return;
  }
  if (reload && code != kActionEdit) {
    WriteForm(code, FollowProject(AsTyped(code, sheet, params)), name, params, qs, true);
    WriteSheetBody(sheet, nullptr);
    return;
  }
  if (!commit) {
    WriteForm(code, sheet, name, params, qs);
    WriteSheetBody(sheet, nullptr);
    return;
  }
  const std::string source = name;
  // The title that tells the outcome is written by the page shown once the change is
  // stored; a refusal shows its error above the form, filled as it was sent.
  std::string errors;
  {
    web::PageHold commit_output;
    if (code == kActionChangeHeader)
      CommitHeaderChange(sheet, name, params);
    else if (code == kActionCopy)
      CommitCopy(sheet, name, params);
    else
      CommitEntryEdit(sheet, name, params);
    errors = commit_output.Take();
  }
  if (web::WasStored()) {
    hold.Redirect(base::Sprintf("CMD=%s&Num=%s&Done=%s%s",
                                web::QueryValue(web::GetParam(params, "CMD")),
                                web::QueryValue(source), web::QueryValue(name),
                                qs.empty() ? std::string() : "&QS=" + web::QueryValue(qs)));
    return;
  }
  base::Write(nullptr, errors);
  WriteForm(code, AsTyped(code, sheet, params), source, params, qs);
  WriteSheetBody(sheet, nullptr);
}

void ShowEntryEditForm(const store::FactSheet& sheet, std::string_view name,
                       const web::ParamList& params) {
  base::Page("<H1>%s %s </H1>\n", Msg(2024), Esc(name));
  const int number = web::GetParamInt(params, "Edit");
  if (number < 0 || static_cast<size_t>(number) >= sheet.entries.size()) return;
  const store::SheetEntry& entry = sheet.entries[static_cast<size_t>(number)];
  base::Page("<INPUT TYPE=\"hidden\" NAME=\"%s\" VALUE=\"%d\">\n", "Edit", number);
  // The name is quoted: a name of several words comes back whole.
  base::Page("<LABEL FOR=title>%s</LABEL> \n<INPUT SIZE=25 NAME=\"%s\" ID=title VALUE=\"%s\">\n",
             Msg(106), "title", Esc(entry.name));
  base::Page("<LABEL FOR=User>%s</LABEL> \n", Msg(2025));
  edit_parts::WriteUserSelect(sheet.project);
  base::Write(nullptr, edit_parts::kSubmit);
  base::Write(nullptr, "<BR>\n");
  // The body keeps its line ends. The line feed after the tag is dropped by the browser, so
  // a body that starts with an empty line keeps it. The body of an attachment entry is the
  // stored file's path, which is shown but not edited.
  bool attachment = entry.kind == store::kAttachmentEntry;
  base::Page("<TEXTAREA NAME=%s ROWS=15 COLS=70 ARIA-LABEL=\"%s\"%s>\n", "text", Esc(entry.name),
             attachment ? " READONLY" : "");
  base::Write(nullptr, Esc(entry.text));
  base::Write(nullptr, "</TEXTAREA>\n");
}

void CommitEntryEdit(store::FactSheet& sheet, std::string& name, const web::ParamList& params) {
  const std::string user = web::GetParam(params, "User");
  if (IsMissing(user)) {
    web::ErrorBox(config::kMsgFieldMissing);
    return;
  }
  const int number = web::GetParamInt(params, "Edit");
  if (number < 0 || static_cast<size_t>(number) >= sheet.entries.size()) {
    WriteNoEntry(number);
    return;
  }
  if (!users::MayChangeProject(params, sheet.project)) {
    web::ErrorBox(config::kMsgNoRightOnProject);
    return;
  }
  const std::string* title = FindParam(params, "title");
  const std::string* text = FindParam(params, "text");
  enum class Refusal { kNone, kNoEntry, kRights, kChanged } refusal = Refusal::kNone;
  store::FactSheet stored;
  auto edit = [&](store::FactSheet& s) {
    // The sheet as it is now, under the lock: it may have changed since it was shown.
    if (ChangedSince(params, s)) {
      refusal = Refusal::kChanged;
      stored = s;
      return false;
    }
    if (static_cast<size_t>(number) >= s.entries.size()) {
      refusal = Refusal::kNoEntry;
      return false;
    }
    if (!users::MayChangeProject(params, s.project)) {
      refusal = Refusal::kRights;
      return false;
    }
    store::SheetEntry& entry = s.entries[static_cast<size_t>(number)];
    if (title) entry.name = StoredEntryName(*title);
    // An attachment entry keeps the stored path of its file: its download link would
    // otherwise name any other file.
    if (text && entry.kind == store::kTextEntry) entry.text = *text;
    store::LogAction(s, Msg(2027), entry.name, user);
    return true;
  };
  UseOnceValue(params);
  store::Stored result = store::UpdateSheet(name, edit, &stored);
  if (WriteIfAlreadyStored()) return;
  if (refusal == Refusal::kNoEntry) return WriteNoEntry(number);
  if (refusal == Refusal::kRights) return web::ErrorBox(config::kMsgNoRightOnProject);
  if (refusal == Refusal::kChanged) {
    sheet = std::move(stored);
    return WriteCollision(params, sheet);
  }
  if (!store::IsStored(result)) edit_parts::ReportNotStored(result, name);
  if (!store::IsStored(result) && result != store::Stored::kNoJournal) return;
  sheet = std::move(stored);
  web::MarkStored();
  users::SaveUserContext(user, sheet.project, sheet.group, sheet.phase);
  SendNotification(name, kActionEdit, user,
                   [&name](base::Stream file, const store::FactSheet& written) {
                     WriteActionBar(file, name, "");
                     WriteSheetBody(written, file);
                   });
}

}  // namespace sheets
