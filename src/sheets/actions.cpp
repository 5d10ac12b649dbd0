#include "sheets/actions.h"

#include <sys/stat.h>

#include <ctime>
#include <optional>
#include <string>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "config/language.h"
#include "config/main_config.h"
#include "sheets/action_parts.h"
#include "sheets/action_table.h"
#include "sheets/display.h"
#include "sheets/notify.h"
#include "sheets/revision.h"
#include "store/store.h"
#include "sync/sync.h"
#include "users/rights.h"
#include "users/user_context.h"
#include "web/page.h"
#include "web/response.h"

namespace sheets {
namespace {

// The commit page's title, with the arrow back to the page the user came from.
void WriteTitleBar(std::string_view title, std::string_view qs) {
  base::Write(nullptr, "<Table Width=100% Cellpadding=0 Cellspacing=0 border=0>\n");
  base::Page("<TR><TD ALIGN=LEFT><H1>%s</H1></TD>\n<TD ALIGN=RIGHT Valign=TOP>\n", title);
  base::Page("<A HREF=\"?%s\">\n", base::EscapeHtml(qs));
  base::Page("<IMG SRC=\"%s/larrow.gif\" BORDER=0 VALIGN=CENTER ALT=\"%s\"></A>\n",
             config::GetImageDir(), config::Msg(1106));
  base::Write(nullptr, "</A></TD></TR></Table>\n");
}

CommitInput ReadCommitInput(const web::ParamList& list, std::string_view name) {
  CommitInput in;
  in.name = name;
  in.user = web::GetParam(list, "User");
  in.sub = web::GetParam(list, "submitter");
  in.title = web::GetParam(list, "title");
  in.version = web::GetParam(list, "version");
  in.test = web::GetParam(list, "test");
  in.text = web::ValueOrEmpty(list, "text");
  in.load = web::GetParamInt(list, "Load");
  in.file = web::ValueOrEmpty(list, "Attach");
  in.now = static_cast<long>(std::time(nullptr));
  return in;
}

// What a commit came to.
enum class Outcome { kStored, kRefused, kNotStored };

// An action that keeps the status and every header field, and only adds its log line and
// its entry (Analyse, Attach), is applied to the sheet as it is even when it changed since
// the form was shown: it overwrites nothing anyone stored, its entry is the user's own text
// or file, and its condition is checked again on the current sheet. Any other action decides
// from the status and fields the form showed, and is refused when those may have changed.
bool OnlyAdds(const ActionCommit& row) {
  return row.status == kStatusUnchanged && row.set_fields == nullptr;
}

// The commit: under the store lock the sheet is read, the action checked and applied, and
// the sheet written back, so that a concurrent action on the same sheet is never lost. A
// refusal writes its error into the page; the title that tells the outcome is written only
// by the page the browser is sent to once the change is stored.
Outcome RunCommit(const Action& action, const web::ParamList& list, std::string_view name,
                  std::optional<store::FactSheet>& shown, std::string& result_query) {
  const ActionCommit& row = action.commit;
  CommitInput in = ReadCommitInput(list, name);
  bool accepted = false;
  bool hidden = false;
  bool changed = false;
  UseOnceValue(list);
  store::Stored stored = store::UpdateSheet(name, [&](store::FactSheet& sheet) {
    // A sheet the reader may not see is neither changed nor shown.
    if (!users::MayReadSheet(list, sheet.project, store::IsOpenStatus(sheet.status))) {
      hidden = true;
      return false;
    }
    if (!OnlyAdds(row) && ChangedSince(list, sheet)) {
      changed = true;
      shown = sheet;
      return false;
    }
    accepted = AcceptCommit(row, sheet, list, in);
    if (accepted) {
      ApplyCommit(row, sheet, in);
      // The page shows the header fields as the file holds them.
      std::string header = store::FormatHeader(sheet);
      header.pop_back();
      store::ParseHeader(header, sheet);
    }
    shown = sheet;
    return accepted;
  });
  if (WriteIfAlreadyStored()) return Outcome::kNotStored;
  if (hidden) {
    web::ErrorBox(config::kMsgNoRight);
    return Outcome::kNotStored;
  }
  if (!shown) {
    // Not read at all: no sheet of that name, or the store could not be locked.
    if (stored == store::Stored::kMissing)
      web::ErrorBox(config::kMsgCannotReadSheet);
    else
      web::ErrorBoxArg(config::kMsgCannotOpen, base::JoinPath(config::GetDataDir(), name));
    return Outcome::kNotStored;
  }
  if (changed) WriteCollision(list, *shown);
  if (!accepted) return Outcome::kRefused;
  if (!store::IsStored(stored)) {
    web::ErrorBoxArg(config::kMsgCannotOpen, base::JoinPath(config::GetDataDir(), name));
    return Outcome::kNotStored;
  }
  // The stored file goes to the partner installations from here, and from nowhere else.
  if (!in.stored.empty()) {
    synch::SendSynchFile(in.stored, shown->project, synch::kAttachment);
    // The page the browser is sent to confirms the file as the commit received it.
    struct stat st;
    if (::stat(in.stored.c_str(), &st) == 0)
      result_query = base::Sprintf("&file=%s&size=%lld", web::QueryValue(in.file),
                                   static_cast<long long>(st.st_size));
  }
  if (row.project_context)
    users::SaveUserContext(in.user, shown->project, shown->group, shown->phase);
  else if (!in.user.empty())
    users::SaveUserName(in.user);
  SendNotification(name, action.code, in.user,
                   [name](base::Stream file, const store::FactSheet& written) {
                     WriteActionBar(file, name, "");
                     WriteSheetBody(written, file);
                   });
  return Outcome::kStored;
}

// The address of the page that shows a stored action: the action's command with `Done`,
// and what its title needs.
std::string ResultQuery(const Action& action, const ActionCommit& row, const web::ParamList& list,
                        std::string_view name) {
  std::string query =
      base::Sprintf("CMD=%s&Num=%s&Done=1", web::QueryValue(action.cmd), web::QueryValue(name));
  const std::string& qs = web::GetParam(list, "QS");
  if (!qs.empty() && !web::IsAbsent(qs)) query += "&QS=" + web::QueryValue(qs);
  if (row.title_kind == CommitTitle::kFormatText)
    query += "&text=" + web::QueryValue(web::ValueOrEmpty(list, "text"));
  return query;
}

// The page after a stored action: its title, the way back, the action bar and the sheet.
void ShowResult(const ActionCommit& row, const web::ParamList& list, std::string_view name) {
  // Read once a change left unfinished is finished (ReadSheet does): never the sheet as it
  // was before the change this page follows.
  std::optional<store::FactSheet> sheet = store::ReadSheet(name);
  if (store::ChangePending()) return ShowWillAppear(name);
  if (!sheet || !users::CheckRightQuietly(list, 1, sheet->project)) {
    web::WriteHomeLink();
    web::ErrorBox(config::kMsgCannotReadSheet);
    return;
  }
  // The address can be typed: it shows the sheet only to who may read it.
  if (!users::MayReadSheet(list, sheet->project, store::IsOpenStatus(sheet->status))) {
    web::WriteHomeLink();
    web::ErrorBox(config::kMsgNoRight);
    return;
  }
  CommitInput in = ReadCommitInput(list, name);
  WriteTitleBar(CommitTitleText(row, in), web::GetParam(list, "QS"));
  if (row.entry == EntryKind::kAttachment && web::FindParam(list, "size"))
    base::Page("<P>%s %s , %d bytes.<P>", config::Msg(2084),
               base::EscapeHtml(web::GetParam(list, "file")), web::GetParamInt(list, "size"));
  WriteActionBar(nullptr, name, EncodeQS(web::GetParam(list, "QS")));
  WriteSheetBody(*sheet, nullptr);
}

}  // namespace

bool HandleAction(int code, const web::ParamList& list) {
  const Action* action = ActionOfCode(code);
  if (!action || action->kind != ActionKind::kStatus) return false;
  const ActionCommit* commit = &action->commit;

  const std::string name = web::GetParam(list, "Num");
  if (!web::IsAbsent(web::GetParam(list, "User"))) {
    web::PageHold hold;
    web::WritePageHead(nullptr, action->cmd, "", list);
    WriteMovedNote();
    std::optional<store::FactSheet> shown;
    std::string result_query;
    switch (RunCommit(*action, list, name, shown, result_query)) {
      case Outcome::kStored:
        hold.Redirect(ResultQuery(*action, *commit, list, name) + result_query);
        return true;
      case Outcome::kRefused:
        // The form again, as it was filled, below the error.
        WriteActionForm(*action, *shown, name, list, true);
        WriteSheetBody(*shown, nullptr);
        return true;
      case Outcome::kNotStored:
        web::WriteHomeLink();
        if (shown) WriteSheetBody(*shown, nullptr);
        return true;
    }
    return true;
  }
  web::WritePageHead(nullptr, action->cmd, "", list);
  WriteMovedNote();
  if (!web::IsAbsent(web::GetParam(list, "Done"))) {
    ShowResult(*commit, list, name);
    return true;
  }
  std::optional<store::FactSheet> sheet = store::ReadSheet(name);
  if (store::ChangePending()) {
    ShowWillAppear(name);
    return true;
  }
  if (!sheet) {
    web::WriteHomeLink();
    web::ErrorBox(config::kMsgCannotReadSheet);
    return true;
  }
  if (!users::MayReadSheet(list, sheet->project, store::IsOpenStatus(sheet->status))) {
    web::ErrorBox(config::kMsgNoRight);
    return true;
  }
  WriteActionForm(*action, *sheet, name, list);
  WriteSheetBody(*sheet, nullptr);
  return true;
}

}  // namespace sheets
