#include "front/entry.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/encode.h"
#include "base/out.h"
#include "base/request_state.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/members.h"
#include "front/api.h"
#include "front/home.h"
#include "mail/spool.h"
#include "search/form.h"
#include "search/results.h"
#include "setup/setup.h"
#include "sheets/action_table.h"
#include "sheets/actions.h"
#include "sheets/attach.h"
#include "sheets/create.h"
#include "sheets/display.h"
#include "sheets/edit.h"
#include "sheets/history.h"
#include "sheets/print.h"
#include "stats/pages.h"
#include "stats/refresh.h"
#include "store/check.h"
#include "store/sheet.h"
#include "store/store.h"
#include "sync/sync.h"
#include "testbook/campaigns.h"
#include "testbook/pages.h"
#include "users/keys.h"
#include "users/login.h"
#include "users/rights.h"
#include "users/uid.h"
#include "web/diagnostics.h"
#include "web/identity.h"
#include "web/page.h"
#include "web/request.h"
#include "web/response.h"

namespace front {
namespace {

bool Always(const web::ParamList&) {
  return true;
}
// A sheet's forms post the one who acts; without it the request shows a form or a result.
bool PostsUser(const web::ParamList& list) {
  return !web::IsAbsent(web::GetParam(list, "User"));
}

// The actions on a sheet: their table names their handlers.
void RunSheetAction(web::ParamList& list, std::string_view cmd) {
  if (const sheets::Action* action = sheets::FindAction(cmd)) action->handle(*action, list);
}
template <size_t N>
struct Cmd {
  char text[N];
  constexpr Cmd(const char (&from)[N]) {
    for (size_t i = 0; i < N; ++i) text[i] = from[i];
  }
};
template <Cmd C>
void SheetAction(web::ParamList& list) {
  RunSheetAction(list, C.text);
}

void RunFindNode(web::ParamList& list) {
  search::RunFind(list);
}

constexpr int kSeeNothing = config::kMsgNoRight;
constexpr int kCreateNothing = 515;
constexpr Needs kNobody{Access::kOpen, 0, ProjectFrom::kToken, 0};
constexpr Needs kReader{Access::kRead, 0, ProjectFrom::kToken, kSeeNothing};
constexpr Needs kFormReader{Access::kRead, 0, ProjectFrom::kForm, kSeeNothing};
constexpr Needs kSheetReader{Access::kRead, kSheetReading, ProjectFrom::kSheet, kSeeNothing};
constexpr Needs kSheetModifier{Access::kChange, 3, ProjectFrom::kSheet,
                               config::kMsgNoRightOnProject};
constexpr Needs kCreator{Access::kChange, 2, ProjectFrom::kForm, kCreateNothing};
constexpr Needs kBookModifier{Access::kChange, 3, ProjectFrom::kForm, config::kMsgNoRightOnProject};
constexpr Needs kSetupReader{Access::kRead, 2, ProjectFrom::kToken, config::kMsgNoSetupRight};
constexpr Needs kSetupSaver{Access::kChange, 2, ProjectFrom::kForm, config::kMsgNoSetupRight};
constexpr Needs kCreationReader{Access::kRead, 2, ProjectFrom::kForm, kCreateNothing};
constexpr Needs kStatisticsReader{Access::kRead, 5, ProjectFrom::kForm, 517};
// A member's own keys: any member sees them, and changes them with their own token.
constexpr Needs kKeyHolder{Access::kChange, 0, ProjectFrom::kToken, kSeeNothing};

// Rights: 1 menu, 2 create (and set up), 3 modify, 4 all projects, 5 statistics, 6 closed
// sheets, 7 open sheets. Every page a request can reach is one row here.
constexpr CommandRow kRows[] = {
    {"help", false, WriteHelpPage, kNobody, kNobody, nullptr},
    {"setup", false, setup::SetupCommand, kSetupReader, kSetupSaver, setup::SetupRequestChanges},
    {"create", false, [](web::ParamList& list) { sheets::ShowCreateForm(list); }, kCreationReader,
     kNobody, nullptr},
    {"new", false, SheetAction<"new">, kNobody, kCreator, Always, "submitter"},
    {"history", false, [](web::ParamList& list) { sheets::HistoryCommand(list); }, kReader, kNobody,
     nullptr},
    {"search", false, [](web::ParamList& list) { search::ShowSearchForm(list); }, kFormReader,
     kNobody, nullptr},
    {"find", false, RunFindNode, kFormReader, kNobody, nullptr},
    {"book", false, [](web::ParamList& list) { testbook::TestBookPage(list, "book"); }, kFormReader,
     kBookModifier, testbook::BookRequestChanges},
    {"tests", false, [](web::ParamList& list) { testbook::CampaignPage(list); }, kFormReader,
     kBookModifier, testbook::CampaignRequestChanges, "submitter"},
    {"FILE", false, [](web::ParamList& list) { sheets::SendAttachment(list); }, kReader, kNobody,
     nullptr},
    {"statS", false, stats::StatisticsPage, kStatisticsReader, kNobody, nullptr},
    {"keys", false, users::KeysPage, kReader, kKeyHolder, users::KeysRequestChanges},
    // The machine interface: each call and feed passes the row of the page that does the
    // same (its read, and its change for a write) with the key's member as the reader.
    {"api", false, ApiCommand, kNobody, kNobody, nullptr},
    {"feed", false, FeedCommand, kNobody, kNobody, nullptr},
    {"Print", false, SheetAction<"Print">, kSheetReader, kNobody, nullptr},
    {"Edit", false, SheetAction<"Edit">, kSheetReader, kSheetModifier, PostsUser},
    {"Change_Header", false, SheetAction<"Change_Header">, kSheetReader, kSheetModifier, PostsUser},
    // A copy is a creation in the project the form names; reading the original is asked too.
    {"Copy", false, SheetAction<"Copy">, kSheetReader, kCreator, PostsUser},
    {"Observed", false, SheetAction<"Observed">, kSheetReader, kSheetModifier, PostsUser},
    {"Analyse", false, SheetAction<"Analyse">, kSheetReader, kSheetModifier, PostsUser},
    {"Assign", false, SheetAction<"Assign">, kSheetReader, kSheetModifier, PostsUser},
    {"Open", false, SheetAction<"Open">, kSheetReader, kSheetModifier, PostsUser},
    {"Not_a_Bug", false, SheetAction<"Not_a_Bug">, kSheetReader, kSheetModifier, PostsUser},
    {"Not_Reproducible", false, SheetAction<"Not_Reproducible">, kSheetReader, kSheetModifier,
     PostsUser},
    {"Duplicate", false, SheetAction<"Duplicate">, kSheetReader, kSheetModifier, PostsUser},
    {"Postpone", false, SheetAction<"Postpone">, kSheetReader, kSheetModifier, PostsUser},
    {"Corrected", false, SheetAction<"Corrected">, kSheetReader, kSheetModifier, PostsUser},
    {"For_Verification", false, SheetAction<"For_Verification">, kSheetReader, kSheetModifier,
     PostsUser},
    {"Verified", false, SheetAction<"Verified">, kSheetReader, kSheetModifier, PostsUser},
    {"Rejected", false, SheetAction<"Rejected">, kSheetReader, kSheetModifier, PostsUser},
    {"Abandoned", false, SheetAction<"Abandoned">, kSheetReader, kSheetModifier, PostsUser},
    {"Attach", false, SheetAction<"Attach">, kSheetReader, kSheetModifier, PostsUser},
    // The search and result list, reached by find, Numero and Num (without CMD) nodes.
    {"find", true, RunFindNode, kFormReader, kNobody, nullptr},
    {"Numero", true, RunFindNode, kFormReader, kNobody, nullptr},
    {"Num", true, RunFindNode, kSheetReader, kNobody, nullptr},
};

// An action on a sheet that has a form: a status action or an edit.
bool IsSheetFormCommand(std::string_view cmd) {
  const sheets::Action* action = sheets::FindAction(cmd);
  return action &&
         (action->kind == sheets::ActionKind::kStatus || action->kind == sheets::ActionKind::kEdit);
}

// The project a row acts on and the right it asks there, for the reader `names`.
struct Target {
  std::string project;
  int right;
};

// The sheet `Num` names, read once for the gate of a request however many rows ask for it,
// and forgotten once a handler ran (it may have moved the sheet).
struct GateSheet {
  bool read = false;
  std::optional<store::FactSheet> sheet;
};

const std::optional<store::FactSheet>& NamedSheet(const web::ParamList& list) {
  GateSheet& cached = base::Cache<GateSheet>();
  if (!cached.read) {
    cached.sheet = store::ReadSheet(web::GetParam(list, "Num"));
    cached.read = true;
  }
  return cached.sheet;
}

Target TargetOf(const Needs& needs, const web::ParamList& list, const users::UidNames& names) {
  Target target{names.project, needs.right};
  if (needs.from == ProjectFrom::kForm) {
    const std::string& named = web::GetParam(list, "project");
    if (!web::IsMissing(named)) target.project = named;
  } else if (needs.from == ProjectFrom::kSheet) {
    if (const std::optional<store::FactSheet>& sheet = NamedSheet(list)) {
      target.project = sheet->project;
      if (target.right == kSheetReading) target.right = store::IsOpenStatus(sheet->status) ? 7 : 6;
    }
  }
  // A sheet that cannot be read is the handler's to tell; the reader is asked for.
  if (target.right == kSheetReading) target.right = 0;
  return target;
}

bool Grants(const Needs& needs, const web::ParamList& list) {
  if (needs.access == Access::kOpen) return true;
  const bool change = needs.access == Access::kChange;
  std::optional<users::UidNames> names =
      change ? users::ChangeIdentity(list) : users::ReadIdentity(list);
  if (!names) return false;
  const Target target = TargetOf(needs, list, *names);
  if (change)
    return users::MayChangeProject(list, target.project) &&
           (target.right == 0 || users::CheckRightQuietly(list, target.right, target.project));
  if (!users::MayReadProject(list, target.project)) return false;
  // A reader's rights are those of their line in the project read when they are a member
  // of it, else of their own project (whose "All projects" let them read it).
  const bool member = config::IsMemberOf(target.project, names->login);
  return target.right == 0 ||
         users::CheckRightQuietly(list, target.right, member ? target.project : names->project);
}

// What a refused request is told: the way to the login for one who is not logged in, and
// the box of what it asked for. A file or an export asked for is simply refused.
void WriteRefusal(const CommandRow& row, const web::ParamList& list, const Needs& refused) {
  if ((row.trigger == "FILE" && !row.parameter)) return web::WriteStatusOnly(404, "Not Found");
  if (web::GetParam(list, "excel").starts_with('X')) return web::WriteStatusOnly(403, "Forbidden");
  web::WritePageHead(nullptr, "QUORB", "", list);
  users::RequireLogin(list);
  web::WriteHomeLink();
  web::ErrorBox(refused.refusal);
}

// Runs the page a CMD value names; false when no row answers to it.
bool DispatchCommand(std::string_view cmd, web::ParamList& list) {
  const CommandRow* row = FindCommandRow(cmd);
  if (!row) return false;
  if (!row->actor.empty()) users::TakeActingUserFromToken(list, row->actor);
  if (PassGate(*row, list)) row->run(list);
  base::Cache<GateSheet>() = {};
  return true;
}

}  // namespace

std::span<const CommandRow> CommandRows() {
  return kRows;
}

const CommandRow* FindCommandRow(std::string_view trigger, bool parameter) {
  for (const CommandRow& row : kRows)
    if (row.trigger == trigger && row.parameter == parameter) return &row;
  return nullptr;
}

bool PassGate(const CommandRow& row, const web::ParamList& list) {
  if (!config::IsSecurityOn()) return true;
  if (!Grants(row.read, list)) {
    WriteRefusal(row, list, row.read);
    return false;
  }
  if (row.changes && row.changes(list) && !Grants(row.change, list)) {
    WriteRefusal(row, list, row.change);
    return false;
  }
  return true;
}

bool GateGrants(const CommandRow& row, const web::ParamList& list) {
  const bool granted =
      !config::IsSecurityOn() ||
      (Grants(row.read, list) && (!row.changes || !row.changes(list) || Grants(row.change, list)));
  base::Cache<GateSheet>() = {};
  return granted;
}

namespace {

void WriteParameterDump(const web::ParamList& list) {
  web::StartHtmlPage();
  base::Page("<PRE>");
  // A few kilobytes of each value: a long one is no reason for a long page.
  for (const web::Param& p : list)
    base::Page("%s : '%s'\n",
               base::EscapeHtml(std::string_view(p.name).substr(0, web::kDiagnosticValueLimit)),
               base::EscapeHtml(std::string_view(p.value).substr(0, web::kDiagnosticValueLimit)));
}

// The sheet that `value`, a name it had before it moved, names now; nothing when `value` is
// a sheet's name (or none at all).
std::optional<std::string> MovedTo(const std::string& value) {
  if (!store::IsSheetName(value) || store::SheetFileExists(value) || !store::IsForwarded(value))
    return std::nullopt;
  std::optional<std::string> now = store::ResolveName(value);
  if (now && *now == value) now.reset();
  return now;
}

// The request's query again, with the value of `name` replaced (the token is added by the
// redirection).
std::string QueryWith(const web::ParamList& list, std::string_view name, const std::string& value) {
  std::string query;
  for (auto p = list.rbegin(); p != list.rend(); ++p) {
    if (p->name == "Uid") continue;
    if (!query.empty()) query += '&';
    query += web::QueryValue(p->name) + "=" + web::QueryValue(p->name == name ? value : p->value);
  }
  return query;
}

// Sends the request on to `query`, the same with the sheet's current name `now`; with
// security on, only one who may read that sheet learns its name (others get the refusal, a
// download a bare 404).
bool SendOn(const web::ParamList& list, const std::string& now, const std::string& query,
            bool download = false) {
  if (config::IsSecurityOn()) {
    web::ParamList probe = list;
    probe.insert(probe.begin(), web::Param{"Num", now});  // the head is found first
    if (download && !Grants(kSheetReader, probe)) {
      web::WriteStatusOnly(404, "Not Found");
      return true;
    }
    if (!download && !PassGate(*FindCommandRow("Num", true), probe)) return true;
  }
  web::WriteRedirect(query);
  return true;
}

// A name a sheet had before it moved (a link in a mail, a bookmark, a history line, a test
// result): the request is answered for the sheet that has it now, before the gate, so that
// the rights asked are those of its project. A page that only shows is sent on (303) to the
// same query with the current name; a form opens on the current sheet and says it moved.
// True when the answer is written.
bool FollowMovedSheet(web::ParamList& list) {
  const std::string& cmd = web::GetParam(list, "CMD");
  if (web::IsAbsent(cmd)) {
    for (std::string_view key : {"Num", "Numero", "find"}) {
      const std::string* value = web::FindParam(list, key);
      if (!value) continue;
      if (std::optional<std::string> now = MovedTo(*value))
        return SendOn(list, *now, QueryWith(list, key, *now));
      return false;  // the search runs on the first of them the list holds
    }
    return false;
  }
  if (cmd == "FILE") {
    // "TRACE_<sheet>/<file>": the folder went with its sheet.
    const std::string& title = web::GetParam(list, "title");
    const size_t at = title.find("TRACE_"), slash = title.find('/', at);
    if (at == std::string::npos || slash == std::string::npos) return false;
    const size_t from = at + std::string_view("TRACE_").size();
    std::optional<std::string> now = MovedTo(title.substr(from, slash - from));
    if (!now) return false;
    return SendOn(list, *now,
                  QueryWith(list, "title", title.substr(0, from) + *now + title.substr(slash)),
                  true);
  }
  const sheets::Action* action = sheets::FindAction(cmd);
  if (!action || cmd == "new") return false;
  const std::string asked = web::GetParam(list, "Num");
  std::optional<std::string> now = MovedTo(asked);
  if (!now) return false;
  if (cmd == "Print") return SendOn(list, *now, QueryWith(list, "Num", *now));
  for (web::Param& p : list)
    if (p.name == "Num") p.value = *now;
  sheets::NoteMovedFrom(asked, *now);
  return false;
}

void RunHomeRoad(web::ParamList& list) {
  // Without a main configuration file the answer is the setup wizard.
  if (setup::CheckInstallation(list) != 0) return;
  WriteHomePage(list);
  // The background duties, in this order, their output in the same page.
  setup::UpgradeDirectories();
  stats::RefreshStatistics(stats::RefreshOutput::kPage);
  synch::SynchPass();
}

}  // namespace

bool IsHomeRequest(const web::ParamList& list) {
  return list.empty() || (list.size() == 1 && list.front().name == "Uid");
}

void Dispatch(web::ParamList& list) {
  // First pass: the login page and the identity token. A login request dispatches nothing else.
  bool login = false;
  for (const web::Param& p : list) {
    if (p.name == "Login") {
      users::LoginPage(list, p.value, IsSheetFormCommand);
      login = true;
    } else if (p.name == "Uid") {
      web::SetCurrentUid(p.value);
    }
  }
  if (login) return;
  // The one acting is the one logged in, not the one a form names; and only a request that
  // carries its token itself prints.
  users::TakeActingUserFromToken(list);
  sheets::AllowPrinting(!config::IsSecurityOn() || users::ChangeIdentity(list).has_value());
  // A machine's call or feed is answered alone: its parameters are the call's, not pages.
  const std::string& cmd = web::GetParam(list, "CMD");
  if (cmd == "api" || cmd == "feed") {
    DispatchCommand(cmd, list);
    return;
  }

  if (FollowMovedSheet(list)) return;

  // Second pass over the nodes as they were decoded; handlers may add parameters to the
  // list, which does not change the nodes walked here.
  const web::ParamList nodes = list;
  const bool no_command = web::IsAbsent(web::GetParam(list, "CMD"));
  bool dump = false;
  // The search reads the whole list, so a second find, Numero or Num node would only write
  // the same result again: it runs once, however many such nodes a request carries.
  bool searched = false;
  for (const web::Param& node : nodes) {
    if (node.name == "CMD") {
      if (!DispatchCommand(node.value, list)) dump = true;
    } else if (!searched && (node.name == "find" || node.name == "Numero" ||
                             (node.name == "Num" && no_command))) {
      const CommandRow* row = FindCommandRow(node.name, true);
      if (PassGate(*row, list)) row->run(list);
      searched = true;
    }
  }
  // A request that no handler answered gets the dump too, rather than no answer at all.
  if (dump || web::PageIsEmpty()) WriteParameterDump(list);
}

int Main(int argc, char** argv) {
  // The integrity check, from a shell only: a web server passes a query without "=" as an
  // argument, but always sets GATEWAY_INTERFACE.
  if (argc > 1 && std::string_view(argv[1]) == "--check" && !std::getenv("GATEWAY_INTERFACE")) {
    int status = store::CheckStore(argc > 2 && std::string_view(argv[2]) == "--repair");
    std::fflush(stdout);
    return status;
  }
  // For a site whose home page is seldom opened, from cron: one synchronisation pass, then
  // the mail spool, here and now. The pass writes only page comments: they go nowhere, and
  // what goes wrong goes to standard error.
  if (argc > 1 && std::string_view(argv[1]) == "--sync" && !std::getenv("GATEWAY_INTERFACE")) {
    if (!config::MainConfigReadable()) {
      std::fprintf(stderr, "quorb: no %s here\n", config::GetConfigPath().c_str());
      return 2;
    }
    if (!std::freopen("/dev/null", "w", stdout)) return 1;
    synch::SynchPass();
    mail::DeliverSpool(true);
    return 0;
  }
  base::PageBuffer page_buffer;
  // An uploaded file that no handler took away is removed when the request ends.
  web::UploadGuard upload;
  web::ParamList list = web::ParseRequest(argc > 1 ? argv[1] : nullptr);
  if (web::RequestRefused()) {
    std::fflush(stdout);
    return 0;
  }
  users::AdoptCookieIdentity(list);
  if (IsHomeRequest(list)) {
    RunHomeRoad(list);
  } else {
    // The day's statistics before any page: its own output stays out of the page, whose
    // header the command has yet to write.
    stats::RefreshStatistics(stats::RefreshOutput::kSilent);
    Dispatch(list);
  }
  std::fflush(stdout);
  // Mail goes out only once the page is with the web server.
  mail::DeliverAfterPage();
  search::MakeIndexCopyAfterPage();
  return 0;
}

}  // namespace front
