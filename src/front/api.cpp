#include "front/api.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/members.h"
#include "config/projects.h"
#include "front/entry.h"
#include "search/find.h"
#include "sheets/action_table.h"
#include "sheets/display.h"
#include "sheets/revision.h"
#include "store/sheet.h"
#include "store/store.h"
#include "testbook/campaigns.h"
#include "testbook/records.h"
#include "users/crypto.h"
#include "users/keys.h"
#include "users/rights.h"
#include "users/uid.h"
#include "web/cookies.h"
#include "web/identity.h"
#include "web/origin.h"
#include "web/page.h"
#include "web/request.h"
#include "web/response.h"

namespace front {
namespace {

using Json = nlohmann::ordered_json;

constexpr int kMsgChangedMeanwhile = 560;
constexpr int kMsgAlreadyStored = 562;
constexpr int kMsgCreateNothing = 515;
constexpr int kMsgStatistics = 517;
constexpr size_t kDefaultPage = 100;
constexpr size_t kLargestPage = 1000;
constexpr size_t kJournalLines = 1000;

// What a call answers: a status and a JSON body.
struct Answer {
  int status = 200;
  Json body;
};

std::string_view StatusText(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 413:
      return "Payload Too Large";
    case 422:
      return "Unprocessable Entity";
    default:
      return "Internal Server Error";
  }
}

// Text of the files as UTF-8.
std::string U(std::string_view text) {
  return base::Latin1ToUtf8(text);
}

Answer Error(int status, std::string_view code, std::string_view message) {
  Answer a;
  a.status = status;
  a.body = {{"error", {{"status", status}, {"code", code}, {"message", U(message)}}}};
  return a;
}

void WriteAnswer(const Answer& answer) {
  // Whatever a page's code wrote, and the comments held for a page, stay out of the answer.
  base::CurrentPage().held.clear();
  const std::string text = answer.body.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  web::ResponseHeader header;
  header.type = "application/json; charset=utf-8";
  header.status = answer.status;
  header.status_text = StatusText(answer.status);
  header.length = static_cast<long long>(text.size());
  web::WriteResponseHeader(header);
  base::Write(nullptr, text);
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// --- The caller ----------------------------------------------------------------------------

struct Caller {
  std::optional<users::ApiKey> key;
  std::string token;  // the member's identity token; empty: anonymous (security off)
};

// The key of the Authorization header ("Bearer <key>"), which Apache passes only when told
// to (CGIPassAuth On); behind a rewrite it arrives as REDIRECT_HTTP_AUTHORIZATION.
std::optional<std::string> BearerKey() {
  std::string header = Env("HTTP_AUTHORIZATION");
  if (header.empty()) header = Env("REDIRECT_HTTP_AUTHORIZATION");
  if (header.empty()) return std::nullopt;
  constexpr std::string_view kBearer = "Bearer ";
  if (!header.starts_with(kBearer)) return std::string();
  std::string key = header.substr(kBearer.size());
  while (!key.empty() && (key.back() == ' ' || key.back() == '\r')) key.pop_back();
  return key;
}

// The caller of an API call or a feed: nothing, with the refusal in `refusal`, for a wrong or
// revoked key or (with security on) none.
std::optional<Caller> Identify(const std::optional<std::string>& key_text, Answer& refusal) {
  Caller caller;
  if (key_text) {
    caller.key = users::FindKey(*key_text);
    if (!caller.key) {
      refusal = Error(401, "bad_key", "The key is not one of this site's keys (or was revoked).");
      return std::nullopt;
    }
    // Without security the pages ask nobody's token: the key only names who acts.
    if (!config::IsSecurityOn()) return caller;
    caller.token = users::KeyToken(*caller.key);
    if (caller.token.empty()) {
      refusal = Error(500, "no_token", "The identity of the key's member cannot be made.");
      return std::nullopt;
    }
  } else if (config::IsSecurityOn()) {
    refusal = Error(401, "no_key", "This call needs a key: Authorization: Bearer <key>.");
    return std::nullopt;
  }
  return caller;
}

// Who acts: the key's member; without a key (security off, as the pages' forms do) the name
// the call gives, else "api".
std::string Actor(const Caller& caller, std::string given) {
  if (caller.key) return caller.key->login;
  return given.empty() ? std::string("api") : given;
}

// A request list of a page, as the caller's browser would post it.
web::ParamList PageList(const Caller& caller, std::initializer_list<web::Param> params) {
  web::ParamList list;
  for (const web::Param& p : params) list.insert(list.begin(), p);
  if (!caller.token.empty()) list.insert(list.begin(), {"Uid", caller.token});
  return list;
}

void Add(web::ParamList& list, std::string name, std::string value) {
  list.insert(list.begin(), web::Param{std::move(name), std::move(value)});
}

// Whether the page `trigger` (a CMD value, or a parameter) lets the caller do what `list`
// asks; the refusal when not.
bool Allowed(std::string_view trigger, bool parameter, const web::ParamList& list,
             Answer& refusal) {
  const CommandRow* row = FindCommandRow(trigger, parameter);
  if (row && GateGrants(*row, list)) return true;
  refusal = Error(403, "forbidden", config::Msg(config::kMsgNoRight));
  return false;
}

// --- Text in ------------------------------------------------------------------------------

// A JSON value as the text of the files: strings converted, numbers written out, booleans as
// "1" or "0"; false (with a 422 answer) for a character outside ISO-8859-1.
bool FileText(const Json& value, std::string& out, Answer& refusal) {
  if (value.is_string()) {
    unsigned long refused = 0;
    if (base::Utf8ToLatin1(value.get_ref<const std::string&>(), out, refused)) return true;
    refusal = Error(422, "not_latin1",
                    base::Sprintf("The character U+%04lX cannot be stored: this site's files hold "
                                  "ISO-8859-1 (Latin-1) only.",
                                  refused));
    if (refused != 0xFFFD) refusal.body["error"]["character"] = base::Sprintf("U+%04lX", refused);
    return false;
  }
  if (value.is_boolean()) {
    out = value.get<bool>() ? "1" : "0";
  } else if (value.is_number_integer()) {
    out = std::to_string(value.get<long long>());
  } else if (value.is_number()) {
    out = base::Sprintf("%g", value.get<double>());
  } else if (value.is_null()) {
    out.clear();
  } else {
    refusal = Error(400, "bad_value", "A field's value must be a string, a number or a boolean.");
    return false;
  }
  return true;
}

// The fields of a JSON object as form fields, but `skip` (names the call sets itself).
bool AddFields(const Json& body, web::ParamList& list, std::initializer_list<std::string_view> skip,
               Answer& refusal) {
  for (const auto& [name, value] : body.items()) {
    if (std::find(skip.begin(), skip.end(), name) != skip.end()) continue;
    std::string field, text;
    if (!FileText(name, field, refusal) || !FileText(value, text, refusal)) return false;
    Add(list, field, text);
  }
  return true;
}

// The one-time value of a form, from the Idempotency-Key header: the same key of the same
// member is the same value, so the store refuses the second change as it refuses a form
// submitted twice.
void AddOnceValue(web::ParamList& list, const Caller& caller) {
  const std::string key = Env("HTTP_IDEMPOTENCY_KEY");
  if (key.empty()) return;
  const std::string seed = "api\n" + (caller.key ? caller.key->login : std::string()) + "\n" + key;
  Add(list, "Once", users::DigestHex(users::Sha256(seed), 12));
}

// --- Sheets out ----------------------------------------------------------------------------

std::string Date(long time) {
  return time ? U(store::FormatDate(time)) : std::string();
}

std::string Link(std::string_view query) {
  return U(sheets::AbsoluteBase() + web::ScriptName() + "?" + std::string(query));
}

Json SheetJson(const store::FactSheet& s) {
  const std::string name = store::GetSheetName(s);
  Json header = {{"project", U(s.project)},
                 {"group", U(s.group)},
                 {"phase", U(config::GetPhaseName(s.phase))},
                 {"phase_letter", std::string(1, config::GetPhaseLetter(s.phase))},
                 {"number", s.number},
                 {"title", U(s.title)},
                 {"status", std::string(store::GetStatusCode(s.status))},
                 {"status_label", U(store::GetStatusLabel(s.status))},
                 {"severity", s.sev},
                 {"type", s.type},
                 {"impact", U(config::GetImpactName(s.impact))},
                 {"program", U(s.prog)},
                 {"version", U(s.version)},
                 {"expected", U(s.exp)},
                 {"submitter", U(s.submitter)},
                 {"created", Date(s.created)},
                 {"responsible", U(s.resp)},
                 {"corrector", U(s.corrector)},
                 {"corrected", Date(s.corrDate)},
                 {"corrected_in", U(s.corrVers)},
                 {"verifier", U(s.verifier)},
                 {"verified", Date(s.verDate)},
                 {"verified_in", U(s.verVers)},
                 {"postponed_until", Date(s.postponed)},
                 {"test", U(s.test)},
                 {"mdapda", U(s.mdapda)},
                 {"load", s.Load},
                 {"correction_load", s.corrLoad}};
  Json entries = Json::array();
  Json attachments = Json::array();
  for (const store::SheetEntry& e : s.entries) {
    Json entry = {{"name", U(e.name)}, {"time", Date(e.time)}, {"who", U(e.who)}};
    if (e.kind == store::kAttachmentEntry) {
      std::string path = e.text;
      while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
      entry["file"] =
          U(path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1));
      if (e.bytes >= 0) entry["bytes"] = e.bytes;
      entry["download"] = Link("CMD=FILE&title=" + base::PercentEncode(path, "/._-"));
      attachments.push_back(entry);
    } else {
      entry["text"] = U(e.text);
      entries.push_back(entry);
    }
  }
  Json log = Json::array();
  for (size_t pos = 0; pos < s.log.size();) {
    size_t end = s.log.find('\n', pos);
    if (end == std::string::npos) end = s.log.size();
    std::string_view line = std::string_view(s.log).substr(pos, end - pos);
    pos = end + 1;
    if (line.empty()) continue;
    const size_t blank = line.find(' ');
    log.push_back({{"date", U(line.substr(0, blank))},
                   {"text", U(blank == std::string_view::npos ? "" : line.substr(blank + 1))}});
  }
  return {{"sheet", U(name)},
          {"revision", U(sheets::SheetRevision(s))},
          {"link", Link("Num=" + web::QueryValue(name))},
          {"header", header},
          {"entries", entries},
          {"attachments", attachments},
          {"log", log}};
}

// --- Reads ---------------------------------------------------------------------------------

Answer ReadSheetCall(const Caller& caller, const web::ParamList& q) {
  std::string name = web::FieldValue(q, "sheet");
  if (name.empty()) return Error(400, "no_sheet", "The call needs sheet=<name>.");
  if (std::optional<std::string> now = store::ResolveName(name)) name = *now;
  const web::ParamList list = PageList(caller, {{"Num", name}});
  Answer refusal;
  if (!Allowed("Num", true, list, refusal)) return refusal;
  std::optional<store::FactSheet> sheet = store::ReadSheet(name);
  if (!sheet) return Error(404, "no_such_sheet", config::Msg(config::kMsgCannotReadSheet));
  if (!users::MayReadSheet(list, sheet->project, store::IsOpenStatus(sheet->status)))
    return Error(403, "forbidden", config::Msg(config::kMsgNoRight));
  return {200, SheetJson(*sheet)};
}

Answer SearchCall(const Caller& caller, const web::ParamList& q) {
  web::ParamList list;
  for (const web::Param& p : q)
    if (p.name != "CMD" && p.name != "call" && p.name != "v" && p.name != "Uid") list.push_back(p);
  if (!caller.token.empty()) Add(list, "Uid", caller.token);
  // What the form leaves to the browser: no responsible named is any, no status ticked is every.
  if (!web::FindParam(list, "resp")) Add(list, "resp", "all");
  bool ticked = false;
  for (int k = 0; k < store::kStatusCount; ++k)
    ticked = ticked || web::FindParam(list, search::StatusBoxName(k));
  for (int k = 0; !ticked && k < store::kStatusCount; ++k) Add(list, search::StatusBoxName(k), "X");
  Answer refusal;
  if (!Allowed("find", false, list, refusal)) return refusal;
  search::FoundList hits = search::FindSheets(list);
  search::SortFound(hits, search::CompareFor(web::GetParam(list, "sort")));
  size_t per = static_cast<size_t>(std::max(0, web::GetParamInt(list, "per")));
  if (per == 0) per = kDefaultPage;
  per = std::min(per, kLargestPage);
  const size_t page = static_cast<size_t>(std::max(1, web::GetParamInt(list, "page")));
  Json found = Json::array();
  for (size_t i = (page - 1) * per; i < hits.size() && i < page * per; ++i) {
    const search::FoundSheet& h = hits[i];
    found.push_back({{"sheet", U(h.name)},
                     {"title", U(h.title)},
                     {"status", std::string(store::GetStatusCode(h.status))},
                     {"severity", h.sev},
                     {"impact", U(config::GetImpactName(h.impact))},
                     {"responsible", U(h.resp)},
                     {"link", Link("Num=" + web::QueryValue(h.name))}});
  }
  return {200, {{"total", hits.size()}, {"page", page}, {"per", per}, {"sheets", found}}};
}

// A journal line: "<date> <sheet name> <message>" (as store::LogAction writes it).
struct JournalLine {
  long long offset = 0;  // where the line starts in the journal: a feed entry's lasting id
  std::string_view date;
  std::string_view name;
  std::string_view text;
};

JournalLine SplitJournalLine(std::string_view line, long long offset = 0) {
  JournalLine split{offset, line.substr(0, line.find(' ')), {}, {}};
  line.remove_prefix(std::min(line.size(), split.date.size() + 1));
  split.name = line.substr(0, line.find(' '));
  line.remove_prefix(std::min(line.size(), split.name.size() + 1));
  split.text = line;
  return split;
}

Answer JournalCall(const Caller& caller, const web::ParamList& q) {
  const web::ParamList list = PageList(caller, {});
  Answer refusal;
  if (!Allowed("history", false, list, refusal)) return refusal;
  if (!users::MayReadEverything(list))
    return Error(403, "forbidden", config::Msg(config::kMsgNoRight));
  const std::string since = web::FieldValue(q, "since");
  int limit = web::GetParamInt(q, "limit");
  if (limit <= 0 || static_cast<size_t>(limit) > kJournalLines) limit = kJournalLines;
  Json lines = Json::array();
  bool more = false;
  base::LineReader reader(base::JoinPath(config::GetDataDir(), store::kJournalName));
  for (std::string text; reader.IsOpen() && reader.Next(text);) {
    const JournalLine line = SplitJournalLine(text);
    if (line.date.size() < 10 || line.date < std::string_view(since)) continue;
    if (lines.size() == static_cast<size_t>(limit)) {
      more = true;
      break;
    }
    lines.push_back({{"date", U(line.date)}, {"name", U(line.name)}, {"text", U(line.text)}});
  }
  return {200, {{"since", U(since)}, {"lines", lines}, {"more", more}}};
}

// The entries of a list file of a project ("program", "version"): the text before ":".
Json FileList(std::string_view project, std::string_view kind) {
  Json out = Json::array();
  for (const config::ConfigLine& line :
       config::ReadConfigFile(config::GetProjectFilePath(project, kind)).lines) {
    if (config::IsCommentLine(line.text) || config::IsEmptyLine(line.text)) continue;
    std::string text = line.text.substr(0, line.text.find(':'));
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (!text.empty()) out.push_back(U(text));
  }
  return out;
}

Answer ProjectsCall(const Caller& caller, const web::ParamList&) {
  const web::ParamList list = PageList(caller, {});
  Json projects = Json::array();
  for (const std::string& project : config::ListProjects("")) {
    if (!users::MayReadProject(list, project)) continue;
    Json groups = Json::array();
    for (const std::string& group : config::ListSubprojects(project, ""))
      groups.push_back(
          {{"name", U(group)}, {"code", U(config::GetSubprojectCode(project, group))}});
    Json members = Json::array();
    for (const std::string& login : config::MemberLogins(project)) members.push_back(U(login));
    projects.push_back({{"name", U(project)},
                        {"code", U(config::GetProjectCode(project))},
                        {"groups", groups},
                        {"programs", FileList(project, "program")},
                        {"versions", FileList(project, "version")},
                        {"members", members}});
  }
  Json phases = Json::array();
  for (size_t i = 0; i < config::CountPhases(); ++i)
    phases.push_back({{"letter", std::string(1, 'a' + static_cast<char>(i))},
                      {"name", U(config::GetPhaseName(static_cast<int>(i)))}});
  Json impacts = Json::array();
  for (int i = 0; i < static_cast<int>(config::kMaxTableEntries); ++i) {
    const std::string& name = config::GetImpactName(i);
    if (name.empty()) break;
    impacts.push_back({{"letter", std::string(1, static_cast<char>('a' + i))}, {"name", U(name)}});
  }
  Json statuses = Json::array();
  for (int code = 0; code < store::kStatusCount; ++code)
    statuses.push_back({{"code", std::string(store::GetStatusCode(code))},
                        {"label", U(store::GetStatusLabel(code))}});
  Json actions = Json::array();
  for (const sheets::Action& action : sheets::Actions())
    if ((action.kind == sheets::ActionKind::kStatus || action.kind == sheets::ActionKind::kEdit) &&
        action.cmd != "Attach")
      actions.push_back(std::string(action.cmd));
  return {200,
          {{"projects", projects},
           {"phases", phases},
           {"impacts", impacts},
           {"statuses", statuses},
           {"actions", actions}}};
}

// The book a call names: project, group (the sub-project's name) and phase (letter or index).
struct BookAt {
  std::string project;
  std::string group;
  int phase = -1;
};

std::optional<BookAt> BookOf(const web::ParamList& q, Answer& refusal) {
  BookAt at{web::FieldValue(q, "project"), web::FieldValue(q, "group"), -1};
  const std::string phase = web::FieldValue(q, "phase");
  if (phase.size() == 1 && phase[0] >= 'a' && phase[0] <= 'z')
    at.phase = phase[0] - 'a';
  else if (!phase.empty() && phase.find_first_not_of("0123456789") == std::string::npos)
    at.phase = std::atoi(phase.c_str());
  if (at.project.empty() || at.group.empty() || at.phase < 0 ||
      static_cast<size_t>(at.phase) >= config::CountPhases() ||
      !users::IsListedProject(at.project)) {
    refusal = Error(400, "no_book", "The call needs project, group and phase of a book.");
    return std::nullopt;
  }
  return at;
}

Answer BookCall(const Caller& caller, const web::ParamList& q) {
  Answer refusal;
  std::optional<BookAt> at = BookOf(q, refusal);
  if (!at) return refusal;
  const web::ParamList list = PageList(caller, {{"project", at->project}});
  if (!Allowed("book", false, list, refusal)) return refusal;
  Json modules = Json::array();
  for (const testbook::TreeModule& m : testbook::BookTree(at->project, at->group, at->phase)) {
    Json steps = Json::array();
    for (const testbook::TreeStep& s : m.steps) {
      Json tests = Json::array();
      for (const testbook::TreeTest& t : s.tests)
        tests.push_back({{"test", U(base::Sprintf("%s.%s.%03d", m.id, s.id, t.number))},
                         {"number", t.number},
                         {"title", U(t.title)}});
      steps.push_back({{"step", U(s.id)}, {"title", U(s.title)}, {"tests", tests}});
    }
    modules.push_back({{"module", U(m.id)}, {"title", U(m.title)}, {"steps", steps}});
  }
  Json campaigns = Json::array();
  for (const std::string& c : testbook::BookCampaigns(at->project, at->group, at->phase))
    campaigns.push_back(U(c));
  return {200, {{"modules", modules}, {"campaigns", campaigns}}};
}

Answer CampaignCall(const Caller& caller, const web::ParamList& q) {
  Answer refusal;
  std::optional<BookAt> at = BookOf(q, refusal);
  if (!at) return refusal;
  const std::string campaign = testbook::CheckedCampaignName(web::FieldValue(q, "campaign"));
  if (campaign.empty()) return Error(400, "no_campaign", "The call needs campaign=<name>.");
  const web::ParamList list = PageList(caller, {{"project", at->project}});
  if (!Allowed("tests", false, list, refusal)) return refusal;
  if (!base::IsDirectory(testbook::CampaignDirectory(at->project, at->group, at->phase, campaign)))
    return Error(404, "no_such_campaign", "The book has no campaign of that name.");
  Json verdicts = Json::array();
  testbook::CampaignCounts counts;
  for (const testbook::TestVerdict& v :
       testbook::CampaignVerdicts(at->project, at->group, at->phase, campaign)) {
    counts.CountResult(v.result.code);
    Json sheets = Json::array();
    for (const std::string& s : v.result.sheets) sheets.push_back(U(s));
    Json row = {{"test", U(base::Sprintf("%s.%s.%03d", v.mod, v.step, v.number))},
                {"verdict", std::string(testbook::ResultCodeName(v.result.code))}};
    if (v.given) {
      row["tester"] = U(v.result.tester);
      row["date"] = Date(v.result.time);
      row["version"] = U(v.result.version);
      row["comment"] = U(v.result.comment);
    }
    row["sheets"] = sheets;
    verdicts.push_back(row);
  }
  return {200,
          {{"campaign", U(campaign)},
           {"summary",
            {{"tests", counts.tests},
             {"applicable", counts.applicable},
             {"executed", counts.executed},
             {"passed", counts.passed},
             {"executed_percent", counts.ExecutedPercent()},
             {"passed_percent", counts.PassedPercent()},
             {"success_percent", counts.SuccessPercent()}}},
           {"verdicts", verdicts}}};
}

// --- Writes --------------------------------------------------------------------------------

// Runs the page `cmd` on `list` as the browser's post would, its page held back; the status
// its outcome gives. `stored` tells whether the page stored its change.
struct PageOutcome {
  bool stored = false;
  int error = 0;     // the error box the page ended with
  std::string page;  // what the page wrote (a stored change: the redirection)
};

std::optional<PageOutcome> RunPage(std::string_view cmd, web::ParamList& list, Answer& refusal) {
  const CommandRow* row = FindCommandRow(cmd);
  if (!row) {
    refusal = Error(400, "no_such_call", "No page does that.");
    return std::nullopt;
  }
  if (!row->actor.empty()) users::TakeActingUserFromToken(list, row->actor);
  users::TakeActingUserFromToken(list);
  if (!GateGrants(*row, list)) {
    refusal = Error(403, "forbidden",
                    config::Msg(row->change.refusal ? row->change.refusal : config::kMsgNoRight));
    return std::nullopt;
  }
  PageOutcome outcome;
  web::ForgetStored();
  web::ForgetErrorBox();
  {
    web::PageHold hold;
    row->run(list);
    outcome.page = hold.Take();
  }
  // A sheet's page that stored sends the browser on to the result (303); a book's marks it.
  outcome.stored = web::WasStored() || outcome.page.starts_with("Status: 303 ");
  outcome.error = web::LastErrorBox();
  return outcome;
}

// The answer of a page that did not store: why, as a status.
Answer NotStored(const PageOutcome& outcome) {
  const int n = outcome.error;
  const std::string text = config::Msg(n);
  if (n == kMsgChangedMeanwhile) return Error(409, "stale_revision", text);
  if (n == config::kMsgNoRight || n == config::kMsgNoRightOnProject || n == kMsgCreateNothing ||
      n == config::kMsgNoSetupRight || n == kMsgStatistics)
    return Error(403, "forbidden", text);
  if (n == config::kMsgCannotReadSheet) return Error(404, "no_such_sheet", text);
  if (n == config::kMsgCannotOpen) return Error(500, "not_stored", text);
  if (n == 0) return Error(422, "not_stored", "Nothing was stored.");
  return Error(422, "refused", text);
}

// The answer of a stored change to a sheet: the sheet as it is now.
Answer SheetNow(int status, std::string_view name) {
  std::optional<store::FactSheet> sheet = store::ReadSheet(name);
  if (!sheet) return Error(500, "not_readable", config::Msg(config::kMsgCannotReadSheet));
  return {status, SheetJson(*sheet)};
}

// A retry of a change stored before: the sheet it was stored as, nothing stored again.
std::optional<Answer> Repeated(const PageOutcome& outcome) {
  if (outcome.error != kMsgAlreadyStored || store::FormStoredAs().empty()) return std::nullopt;
  Answer a = SheetNow(200, store::FormStoredAs());
  a.body["repeated"] = true;
  return a;
}

// The value of `name` in the query of a redirection the page wrote.
std::string RedirectValue(std::string_view page, std::string_view name) {
  const size_t location = page.find("Location: ");
  if (location == std::string_view::npos) return {};
  std::string_view line = page.substr(location, page.find('\n', location) - location);
  const std::string key = "&" + std::string(name) + "=";
  size_t at = line.find(key);
  if (at == std::string_view::npos) {
    const std::string first = "?" + std::string(name) + "=";
    at = line.find(first);
    if (at == std::string_view::npos) return {};
  }
  std::string_view value = line.substr(at + key.size());
  return base::UrlDecode(value.substr(0, value.find('&')));
}

Answer CreateCall(const Caller& caller, const Json& body) {
  web::ParamList list = PageList(caller, {{"CMD", "new"}});
  Answer refusal;
  if (!AddFields(body, list, {"CMD", "Uid", "Once", "Done", "QS"}, refusal)) return refusal;
  if (!web::FindParam(list, "submitter") && caller.key) Add(list, "submitter", caller.key->login);
  AddOnceValue(list, caller);
  std::optional<PageOutcome> outcome = RunPage("new", list, refusal);
  if (!outcome) return refusal;
  if (std::optional<Answer> repeated = Repeated(*outcome)) return *repeated;
  const std::string name = RedirectValue(outcome->page, "Done");
  if (!outcome->stored && name.empty()) return NotStored(*outcome);
  return SheetNow(201, name);
}

// A status action, or an entry added (the analysis), on the sheet the body names.
Answer ActionCall(const Caller& caller, const Json& body, std::string_view fixed) {
  Answer refusal;
  std::string sheet, action(fixed);
  if (!body.contains("sheet") || !FileText(body["sheet"], sheet, refusal))
    return Error(400, "no_sheet", "The call needs \"sheet\".");
  if (std::optional<std::string> now = store::ResolveName(sheet)) sheet = *now;
  if (action.empty() && (!body.contains("action") || !FileText(body["action"], action, refusal)))
    return Error(400, "no_action", "The call needs \"action\" (see the call projects).");
  // The status actions, and the edits of an entry, of the header and the copy.
  const sheets::Action* known = sheets::FindAction(action);
  if (!known || action == "Attach" ||
      (known->kind != sheets::ActionKind::kStatus && known->kind != sheets::ActionKind::kEdit))
    return Error(400, "no_such_action", "That is not an action on a sheet.");
  if (!store::SheetFileExists(sheet) || !store::IsSheetName(sheet))
    return Error(404, "no_such_sheet", config::Msg(config::kMsgCannotReadSheet));
  web::ParamList list = PageList(caller, {{"CMD", action}, {"Num", sheet}, {"QS", ""}});
  if (!AddFields(body, list,
                 {"CMD", "Uid", "Once", "Num", "QS", "sheet", "action", "revision", "User"},
                 refusal))
    return refusal;
  std::string revision;
  if (body.contains("revision")) {
    if (!FileText(body["revision"], revision, refusal)) return refusal;
    Add(list, "Rev", revision);
  }
  std::string user;
  if (body.contains("User") && !FileText(body["User"], user, refusal)) return refusal;
  Add(list, "User", Actor(caller, user));
  AddOnceValue(list, caller);
  std::optional<PageOutcome> outcome = RunPage(action, list, refusal);
  if (!outcome) return refusal;
  if (std::optional<Answer> repeated = Repeated(*outcome)) return *repeated;
  if (!outcome->stored) return NotStored(*outcome);
  // An edit's result page names the sheet as it is now (a header change may move it, a copy
  // is a new sheet) in Done; a status action's in Num.
  const std::string now =
      RedirectValue(outcome->page, known->kind == sheets::ActionKind::kEdit ? "Done" : "Num");
  return SheetNow(action == "Copy" ? 201 : 200, now.empty() ? sheet : now);
}

// The attachment: a multipart post whose fields are in the request list, the file last.
Answer AttachCall(const Caller& caller, const web::ParamList& q) {
  const std::string sheet = web::FieldValue(q, "sheet");
  const std::string* file = web::FindParam(q, "file");
  if (sheet.empty() || !file)
    return Error(400, "no_file",
                 "The call needs the fields sheet and title, then the file part \"file\".");
  if (!store::SheetFileExists(sheet) || !store::IsSheetName(sheet))
    return Error(404, "no_such_sheet", config::Msg(config::kMsgCannotReadSheet));
  web::ParamList list = PageList(caller, {{"CMD", "Attach"},
                                          {"Num", sheet},
                                          {"QS", ""},
                                          {"title", web::FieldValue(q, "title")},
                                          {"Attach", *file}});
  Add(list, "User", Actor(caller, web::FieldValue(q, "User")));
  AddOnceValue(list, caller);
  Answer refusal;
  std::optional<PageOutcome> outcome = RunPage("Attach", list, refusal);
  if (!outcome) return refusal;
  if (std::optional<Answer> repeated = Repeated(*outcome)) return *repeated;
  if (!outcome->stored) return NotStored(*outcome);
  return SheetNow(201, sheet);
}

// Verdicts of a campaign: the campaign made when it is new, then the verdicts of the book's
// page of verdicts, each recorded as the result form records one.
Answer VerdictsCall(const Caller& caller, const Json& body) {
  Answer refusal;
  web::ParamList fields;
  for (const char* name : {"project", "group", "phase", "campaign", "version"}) {
    std::string text;
    if (body.contains(name) && !FileText(body[name], text, refusal)) return refusal;
    Add(fields, name, text);
  }
  std::optional<BookAt> at = BookOf(fields, refusal);
  if (!at) return refusal;
  const std::string campaign = testbook::CheckedCampaignName(web::FieldValue(fields, "campaign"));
  if (campaign.empty()) return Error(400, "no_campaign", "The call needs \"campaign\".");
  if (!body.contains("verdicts") || !body["verdicts"].is_array() || body["verdicts"].empty())
    return Error(400, "no_verdicts",
                 "The call needs \"verdicts\": [{\"test\": ..., \"verdict\": ...}].");
  const std::string phase = std::to_string(at->phase);
  auto place = [&] {
    return PageList(caller, {{"CMD", "tests"},
                             {"project", at->project},
                             {"group", at->group},
                             {"phase", phase},
                             {"camp", campaign}});
  };
  const bool made =
      !base::IsDirectory(testbook::CampaignDirectory(at->project, at->group, at->phase, campaign));
  if (made) {
    web::ParamList list = place();
    Add(list, "book", "27");
    std::optional<PageOutcome> outcome = RunPage("tests", list, refusal);
    if (!outcome) return refusal;
    if (!outcome->stored) return NotStored(*outcome);
  }
  // What each test holds now, so that only a changed verdict is recorded (a retry records
  // nothing again).
  std::vector<testbook::TestVerdict> now =
      testbook::CampaignVerdicts(at->project, at->group, at->phase, campaign);
  web::ParamList list = place();
  Add(list, "book", "33");
  Add(list, "version", web::FieldValue(fields, "version"));
  std::string tester;
  if (body.contains("submitter") && !FileText(body["submitter"], tester, refusal)) return refusal;
  Add(list, "submitter", Actor(caller, tester));
  // Every verdict is checked before any is recorded. One with a comment or linked sheets is
  // recorded as the result form records it; the others together, as the verdicts page does.
  struct Given {
    std::string test;
    int code = 0;
    const testbook::TestVerdict* held = nullptr;
    std::optional<std::string> comment, sheets;
  };
  std::vector<Given> given;
  for (const Json& item : body["verdicts"]) {
    Given g;
    std::string verdict;
    if (!item.is_object() || !item.contains("test") || !item.contains("verdict") ||
        !FileText(item["test"], g.test, refusal) || !FileText(item["verdict"], verdict, refusal))
      return Error(400, "bad_verdict",
                   "Each verdict is {\"test\": \"M.S.NNN\", \"verdict\": \"OK\"}.");
    g.code = -1;
    for (int c = 0; c < testbook::kResultCodes; ++c)
      if (verdict == testbook::ResultCodeName(c)) g.code = c;
    if (g.code < 0) return Error(422, "bad_verdict", "A verdict is OK, NOK, NT or NA: " + verdict);
    auto held = std::find_if(now.begin(), now.end(), [&](const testbook::TestVerdict& v) {
      return base::Sprintf("%s.%s.%03d", v.mod, v.step, v.number) == g.test;
    });
    if (held == now.end()) return Error(404, "no_such_test", "The book has no test " + g.test);
    g.held = &*held;
    if (item.contains("comment") && !FileText(item["comment"], g.comment.emplace(), refusal))
      return refusal;
    if (item.contains("sheets")) {
      g.sheets.emplace();
      for (const Json& sheet :
           item["sheets"].is_array() ? item["sheets"] : Json::array({item["sheets"]})) {
        std::string name;
        if (!FileText(sheet, name, refusal)) return refusal;
        *g.sheets += (g.sheets->empty() ? "" : " ") + name;
      }
    }
    given.push_back(std::move(g));
  }
  size_t row = 0, changed = 0;
  for (const Given& g : given) {
    const testbook::ResultRecord& stored = g.held->result;
    // The result keeps the references last typed first.
    std::string stored_sheets;
    for (auto sheet = stored.sheets.rbegin(); sheet != stored.sheets.rend(); ++sheet)
      stored_sheets += (stored_sheets.empty() ? "" : " ") + *sheet;
    const bool detailed = g.comment || g.sheets;
    if (stored.code == g.code && (!g.comment || *g.comment == stored.comment) &&
        (!g.sheets || *g.sheets == stored_sheets))
      continue;
    ++changed;
    if (!detailed) {
      const std::string n = std::to_string(row++);
      Add(list, "t" + n, g.test);
      Add(list, "w" + n, std::to_string(stored.code));
      Add(list, "v" + n, std::to_string(g.code));
      continue;
    }
    web::ParamList one = place();
    Add(one, "book", "30");
    Add(one, "mod", g.held->mod);
    Add(one, "step", g.held->step);
    Add(one, "test", base::Sprintf("%03d", g.held->number));
    Add(one, "res", std::to_string(g.code));
    Add(one, "version", web::FieldValue(fields, "version"));
    Add(one, "submitter", web::FieldValue(list, "submitter"));
    Add(one, "text", g.comment.value_or(stored.comment));
    Add(one, "fft", g.sheets.value_or(stored_sheets));
    std::optional<PageOutcome> outcome = RunPage("tests", one, refusal);
    if (!outcome) return refusal;
    if (!outcome->stored) return NotStored(*outcome);
  }
  if (row > 0) {
    std::optional<PageOutcome> outcome = RunPage("tests", list, refusal);
    if (!outcome) return refusal;
    if (!outcome->stored) return NotStored(*outcome);
  }
  web::ParamList read = place();
  Add(read, "campaign", campaign);
  Answer a = CampaignCall(caller, read);
  a.body["recorded"] = changed;
  if (made) a.status = 201;
  return a;
}

// --- The call table ------------------------------------------------------------------------

enum class Kind { kRead, kJsonWrite, kMultipartWrite };

struct Call {
  std::string_view name;
  Kind kind;
  Answer (*read)(const Caller&, const web::ParamList&) = nullptr;
  Answer (*write)(const Caller&, const Json&) = nullptr;
};

const Call kCalls[] = {
    {"sheet", Kind::kRead, ReadSheetCall},
    {"search", Kind::kRead, SearchCall},
    {"journal", Kind::kRead, JournalCall},
    {"projects", Kind::kRead, ProjectsCall},
    {"book", Kind::kRead, BookCall},
    {"campaign", Kind::kRead, CampaignCall},
    {"create", Kind::kJsonWrite, nullptr, CreateCall},
    {"action", Kind::kJsonWrite, nullptr,
     [](const Caller& c, const Json& b) { return ActionCall(c, b, ""); }},
    {"entry", Kind::kJsonWrite, nullptr,
     [](const Caller& c, const Json& b) { return ActionCall(c, b, "Analyse"); }},
    {"attach", Kind::kMultipartWrite, AttachCall},
    {"verdicts", Kind::kJsonWrite, nullptr, VerdictsCall},
};

// The JSON body of a POST whose parameters came in the query string: standard input, at
// most the form limit of quorb.cfg.
std::optional<Json> ReadJsonBody(Answer& refusal) {
  const size_t limit = config::GetRequestLimits().form_bytes;
  const long long declared = std::atoll(Env("CONTENT_LENGTH").c_str());
  if (declared < 0 || static_cast<unsigned long long>(declared) > limit) {
    refusal = Error(413, "too_large", base::Sprintf("The body is larger than %zu bytes.", limit));
    return std::nullopt;
  }
  std::string text(static_cast<size_t>(declared), '\0');
  const size_t got = declared ? std::fread(text.data(), 1, text.size(), stdin) : 0;
  text.resize(got);
  Json body = Json::parse(text, nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    refusal = Error(400, "bad_json", "The body must be one JSON object, in UTF-8.");
    return std::nullopt;
  }
  return body;
}

Answer Serve(web::ParamList& list) {
  if (web::GetParam(list, "v") != "1") return Error(400, "bad_version", "This site speaks v=1.");
  if (!users::ApiEnabled())
    return Error(403, "api_off", "The machine interface is off on this site (API NO).");
  const std::string call_name = web::FieldValue(list, "call");
  const Call* call = nullptr;
  for (const Call& c : kCalls)
    if (c.name == call_name) call = &c;
  if (!call) return Error(404, "no_such_call", "No call of that name; see docs/api.md.");
  Answer refusal;
  std::optional<Caller> caller = Identify(BearerKey(), refusal);
  if (!caller) return refusal;
  // The parameters of the address and of a multipart form are UTF-8 too.
  for (web::Param& p : list) {
    std::string name, value;
    if (!FileText(p.name, name, refusal) || !FileText(p.value, value, refusal)) return refusal;
    p = {std::move(name), std::move(value)};
  }
  if (call->kind == Kind::kRead) return call->read(*caller, list);
  if (Env("REQUEST_METHOD") != "POST") return Error(405, "post_only", "This call is a POST.");
  if (caller->key && caller->key->kind != users::KeyKind::kApi)
    return Error(403, "read_only_key", "A feed key only reads.");
  if (web::RequestIsCrossSite()) return Error(403, "cross_site", "Another site sent this.");
  if (call->kind == Kind::kMultipartWrite) return call->read(*caller, list);
  std::optional<Json> body = ReadJsonBody(refusal);
  if (!body) return refusal;
  return call->write(*caller, *body);
}

// --- Atom feeds ----------------------------------------------------------------------------

constexpr size_t kFeedEntries = 50;
constexpr size_t kBackwardBlock = 64 * 1024;

std::string Xml(std::string_view text) {
  std::string out;
  for (char c : U(text)) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        // XML 1.0 allows no control character but tab and line ends.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
          out += ' ';
        else
          out += c;
    }
  }
  return out;
}

// A journal date ("%Y/%m/%d:%H.%M.%S", local time) as RFC 3339 in UTC; empty when unreadable.
std::string Rfc3339(std::string_view date) {
  std::tm tm{};
  if (std::sscanf(std::string(date).c_str(), "%d/%d/%d:%d.%d.%d", &tm.tm_year, &tm.tm_mon,
                  &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6)
    return {};
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  std::tm utc{};
  if (t == static_cast<std::time_t>(-1) || !gmtime_r(&t, &utc)) return {};
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// A journal line kept for a feed.
struct FeedLine {
  long long offset = 0;
  std::string date;
  std::string name;
  std::string text;
};

// The last `count` lines of the journal (of `size` bytes) whose sheet `keep` accepts, newest
// first, read backwards in blocks: a poll of a long journal reads only its end.
std::vector<FeedLine> LatestLines(const std::string& path, long long size,
                                  const std::function<bool(std::string_view)>& keep, size_t count) {
  std::vector<FeedLine> lines;
  base::File file = base::OpenFile(path, "rb");
  if (!file) return lines;
  long long end = size;  // the text before `end` is still to be read; `tail` follows it
  std::string tail;
  while (end > 0 && lines.size() < count) {
    const long long start = std::max(0LL, end - static_cast<long long>(kBackwardBlock));
    std::string block(static_cast<size_t>(end - start), '\0');
    if (fseeko(file.get(), start, SEEK_SET) != 0 ||
        std::fread(block.data(), 1, block.size(), file.get()) != block.size())
      break;
    block += tail;
    // Whole lines only: the text before the first line feed may begin earlier.
    size_t first = 0;
    if (start > 0) {
      const size_t lf = block.find('\n');
      if (lf == std::string::npos) {
        tail = std::move(block);
        end = start;
        continue;
      }
      first = lf + 1;
    }
    std::vector<FeedLine> found;
    for (size_t pos = first; pos < block.size();) {
      size_t lf = block.find('\n', pos);
      if (lf == std::string::npos) lf = block.size();
      const JournalLine line = SplitJournalLine(std::string_view(block).substr(pos, lf - pos),
                                                start + static_cast<long long>(pos));
      pos = lf + 1;
      if (line.name.empty() || !keep(line.name)) continue;
      found.push_back(
          {line.offset, std::string(line.date), std::string(line.name), std::string(line.text)});
    }
    for (auto it = found.rbegin(); it != found.rend() && lines.size() < count; ++it)
      lines.push_back(std::move(*it));
    tail = block.substr(0, first);
    end = start;
  }
  return lines;
}

void WriteFeedRefusal(int status, std::string_view text) {
  base::CurrentPage().held.clear();
  web::WriteStatusOnly(status, text);
}

// The sheet prefixes of a project: its code, a phase letter and a sub-project code.
std::vector<std::string> ProjectPrefixes(std::string_view project) {
  std::vector<std::string> prefixes;
  for (const std::string& group : config::ListSubprojects(project, ""))
    for (size_t phase = 0; phase < config::CountPhases(); ++phase)
      prefixes.push_back(config::GetSheetPrefix(project, group, static_cast<int>(phase)));
  return prefixes;
}

// What a feed shows: the lines of one sheet, or of the sheets of one project.
struct FeedTarget {
  std::string title, self, alternate;
  std::string sheet;                  // a sheet's feed
  std::string project;                // a project's,
  std::vector<std::string> prefixes;  // and its sheets' name prefixes (read for the lines only)
  bool Keeps(std::string_view name) const {
    if (!sheet.empty()) return name == sheet;
    const size_t dot = name.find('.');
    return dot != std::string_view::npos &&
           std::find(prefixes.begin(), prefixes.end(), name.substr(0, dot)) != prefixes.end();
  }
};

// The feed the request asks for, once its reader may read it; else the refusal's status.
int CheckFeed(const web::ParamList& list, FeedTarget& target) {
  // The key: in the URL (a feed key, as feed readers take no header), or the header.
  std::optional<std::string> key_text = BearerKey();
  const std::string* in_url = web::FindParam(list, "key");
  if (in_url && !key_text) {
    if (!in_url->starts_with("qkf")) return 401;
    key_text = *in_url;
  }
  Answer refusal;
  std::optional<Caller> caller = Identify(key_text, refusal);
  if (!caller) return refusal.status;
  std::string sheet = web::FieldValue(list, "Num");
  const std::string project = web::FieldValue(list, "project");
  if (std::optional<std::string> now = store::ResolveName(sheet); now && !sheet.empty())
    sheet = *now;
  if (!sheet.empty()) {
    const web::ParamList asked = PageList(*caller, {{"Num", sheet}});
    if (!Allowed("Num", true, asked, refusal)) return 403;
    std::optional<store::FactSheet> s = store::ReadSheet(sheet);
    if (!s) return 404;
    if (!users::MayReadSheet(asked, s->project, store::IsOpenStatus(s->status))) return 403;
    target.title = sheet + ": " + s->title;
    target.self = "CMD=feed&Num=" + web::QueryValue(sheet);
    target.alternate = "Num=" + web::QueryValue(sheet);
    target.sheet = sheet;
    return 0;
  }
  if (project.empty()) return 400;
  if (!users::IsListedProject(project)) return 404;
  const web::ParamList asked = PageList(*caller, {{"project", project}});
  if (!Allowed("search", false, asked, refusal) || !users::MayReadProject(asked, project))
    return 403;
  target.title = project;
  target.self = "CMD=feed&project=" + web::QueryValue(project);
  target.alternate = "CMD=search&project=" + web::QueryValue(project);
  target.project = project;
  return 0;
}

}  // namespace

void FeedCommand(web::ParamList& list) {
  FeedTarget target;
  int refused = 0;
  {
    // The checks' diagnostic comments stay out of the feed.
    web::PageHold checks;
    refused = CheckFeed(list, target);
    checks.Take();
  }
  if (refused) return WriteFeedRefusal(refused, StatusText(refused));
  const std::string& title = target.title;
  const std::string& self = target.self;
  const std::string& alternate = target.alternate;
  auto keep = [&target](std::string_view name) { return target.Keeps(name); };

  // The journal only grows: its size and time are the feed's version.
  const std::string path = base::JoinPath(config::GetDataDir(), store::kJournalName);
  struct stat st {};
  const bool journal = ::stat(path.c_str(), &st) == 0;
  const std::string etag =
      journal ? base::Sprintf("\"%lld-%lld.%09ld\"", static_cast<long long>(st.st_size),
                              static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec)
              : std::string("\"0\"");
  const std::string asked_tag = Env("HTTP_IF_NONE_MATCH");
  if (!asked_tag.empty() && (asked_tag == etag || asked_tag == "W/" + etag)) {
    base::CurrentPage().held.clear();
    web::ResponseHeader header;
    header.type = "application/atom+xml; charset=utf-8";
    header.status = 304;
    header.status_text = "Not Modified";
    header.etag = etag;
    return web::WriteResponseHeader(header);
  }

  if (!target.project.empty()) target.prefixes = ProjectPrefixes(target.project);
  std::vector<FeedLine> lines =
      journal ? LatestLines(path, st.st_size, keep, kFeedEntries) : std::vector<FeedLine>();
  const std::string base_link = sheets::AbsoluteBase() + web::ScriptName() + "?";
  const std::string updated = lines.empty()
                                  ? Rfc3339(store::FormatDate(journal ? st.st_mtim.tv_sec : 0))
                                  : Rfc3339(lines.front().date);
  std::string out =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<feed xmlns=\"http://www.w3.org/2005/Atom\">\n";
  out += "<id>" + Xml(base_link + self) + "</id>\n";
  out += "<title>QUORB: " + Xml(title) + "</title>\n";
  out += "<updated>" + (updated.empty() ? std::string("1970-01-01T00:00:00Z") : updated) +
         "</updated>\n";
  out += "<author><name>QUORB</name></author>\n";
  out += "<generator>QUORB</generator>\n";
  out += "<link rel=\"self\" href=\"" + Xml(base_link + self) + "\"/>\n";
  out +=
      "<link rel=\"alternate\" type=\"text/html\" href=\"" + Xml(base_link + alternate) + "\"/>\n";
  for (const FeedLine& line : lines) {
    const std::string link = base_link + "Num=" + web::QueryValue(line.name);
    const std::string when = Rfc3339(line.date);
    out += "<entry>\n";
    out += "<id>" + Xml(base::Sprintf("%s&j=%lld", link, line.offset)) + "</id>\n";
    out += "<title>" + Xml(line.name + ": " + line.text) + "</title>\n";
    out +=
        "<updated>" + (when.empty() ? std::string("1970-01-01T00:00:00Z") : when) + "</updated>\n";
    out += "<link rel=\"alternate\" type=\"text/html\" href=\"" + Xml(link) + "\"/>\n";
    out += "<summary>" + Xml(line.date + " " + line.name + " " + line.text) + "</summary>\n";
    out += "</entry>\n";
  }
  out += "</feed>\n";
  base::CurrentPage().held.clear();
  web::ResponseHeader header;
  header.type = "application/atom+xml; charset=utf-8";
  header.etag = etag;
  header.length = static_cast<long long>(out.size());
  web::WriteResponseHeader(header);
  base::Write(nullptr, out);
}

void ApiCommand(web::ParamList& list) {
  Answer answer;
  {
    // What the pages' code writes (its page, its diagnostic comments) stays out of the answer.
    web::PageHold pages;
    answer = Serve(list);
    pages.Take();
  }
  WriteAnswer(answer);
}

}  // namespace front
