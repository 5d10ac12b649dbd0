#include "front/entry.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "base/encode.h"
#include "base/out.h"
#include "config/main_config.h"
#include "front/home.h"
#include "mail/spool.h"
#include "search/form.h"
#include "search/results.h"
#include "setup/setup.h"
#include "sheets/action_table.h"
#include "sheets/actions.h"
#include "sheets/attach.h"
#include "sheets/create.h"
#include "sheets/edit.h"
#include "sheets/history.h"
#include "sheets/print.h"
#include "stats/pages.h"
#include "stats/refresh.h"
#include "store/check.h"
#include "sync/sync.h"
#include "testbook/campaigns.h"
#include "testbook/pages.h"
#include "users/login.h"
#include "users/uid.h"
#include "web/diagnostics.h"
#include "web/identity.h"
#include "web/request.h"
#include "web/response.h"

namespace front {
namespace {

using Handler = void (*)(web::ParamList&);

struct CommandEntry {
  std::string_view cmd;
  Handler run;
};

// The pages reached by a CMD value, besides the actions on a sheet (sheets/action_table).
const std::vector<CommandEntry>& CommandTable() {
  static const std::vector<CommandEntry> table = {
      {"help", WriteHelpPage},
      {"setup", setup::SetupCommand},
      {"create", [](web::ParamList& list) { sheets::ShowCreateForm(list); }},
      {"history", [](web::ParamList& list) { sheets::HistoryCommand(list); }},
      {"search", [](web::ParamList& list) { search::ShowSearchForm(list); }},
      {"find", [](web::ParamList& list) { search::RunFind(list); }},
      {"book", [](web::ParamList& list) { testbook::TestBookPage(list, "book"); }},
      {"tests", [](web::ParamList& list) { testbook::CampaignPage(list); }},
      {"FILE", [](web::ParamList& list) { sheets::SendAttachment(list); }},
      {"statS", stats::StatisticsPage},
  };
  return table;
}

// An action on a sheet that has a form: a status action or an edit.
bool IsSheetFormCommand(std::string_view cmd) {
  const sheets::Action* action = sheets::FindAction(cmd);
  return action &&
         (action->kind == sheets::ActionKind::kStatus || action->kind == sheets::ActionKind::kEdit);
}

// The search and result list, reached by find, Numero and Num nodes.
void RunFindNode(web::ParamList& list) {
  search::RunFind(list);
}
constexpr Handler kFindHandler = RunFindNode;

// Runs the page a CMD value names; false when no page answers to it.
bool DispatchCommand(std::string_view cmd, web::ParamList& list) {
  for (const CommandEntry& entry : CommandTable()) {
    if (entry.cmd == cmd) {
      entry.run(list);
      return true;
    }
  }
  // The actions on a sheet: their table names their handlers.
  if (const sheets::Action* action = sheets::FindAction(cmd)) {
    action->handle(*action, list);
    return true;
  }
  return false;
}

void WriteParameterDump(const web::ParamList& list) {
  web::StartHtmlPage();
  base::Page("<PRE>");
  // A few kilobytes of each value: a long one is no reason for a long page.
  for (const web::Param& p : list)
    base::Page("%s : '%s'\n",
               base::EscapeHtml(std::string_view(p.name).substr(0, web::kDiagnosticValueLimit)),
               base::EscapeHtml(std::string_view(p.value).substr(0, web::kDiagnosticValueLimit)));
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
      kFindHandler(list);
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
  return 0;
}

}  // namespace front
