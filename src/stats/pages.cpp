#include "stats/pages.h"

#include <algorithm>
#include <filesystem>
#include <unordered_map>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "config/labels.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "stats/page_parts.h"
#include "stats/refresh.h"
#include "store/index.h"
#include "store/store.h"
#include "users/rights.h"
#include "users/uid.h"
#include "web/cookies.h"
#include "web/identity.h"
#include "web/page.h"

namespace stats {
namespace {

using config::Msg;

constexpr std::string_view kGrey = "BGCOLOR=#CFCFCF";
constexpr const char* kSeverityColours[5] = {"", "#FF0000", "#FFAA33", "#FFFF33", "#33FF33"};
// Logins and programs are told apart by their first 19 characters.
constexpr size_t kShortName = 19;

// The menu entries: label message and page.
constexpr std::pair<int, int> kMenu[] = {{2487, 1}, {2488, 2}, {2480, 3}, {2486, 4},
                                         {2560, 5}, {2570, 7}, {2580, 9}};

std::string Short(std::string_view text) {
  return std::string(text.substr(0, kShortName));
}

// The index position of a name in a list kept in the order names were met.
template <typename Entry>
Entry& EntryFor(std::vector<Entry>& entries, std::unordered_map<std::string, size_t>& at,
                const std::string& name) {
  auto [it, added] = at.try_emplace(name, entries.size());
  if (added) entries.emplace_back().name = name;
  return entries[it->second];
}

struct Workload {
  std::string name;
  int sev[5] = {};
  int Bar() const { return sev[1] + sev[2] + sev[3] + sev[4]; }
  int Sum() const { return sev[0] + Bar(); }
};

struct Program {
  std::string name;
  int count = 0;
};

}  // namespace

std::string LinkValue(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == ' ') {
      out += '+';
    } else if (u < 0x20 || u == 0x7F ||
               std::string_view("&#%+=?\"'<>").find(c) != std::string_view::npos) {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return base::EscapeHtml(out);
}

std::string Script() {
  return base::EscapeHtml(web::ScriptName());
}

void WriteChangePageScript() {
  base::Write(nullptr, "<SCRIPT LANGUAGE=\"JavaScript\">\n");
  base::Write(nullptr, "function changePage(page,menu)\n{\n   document.location = page\n}\n");
  base::Write(nullptr, "</SCRIPT>\n");
}

void WriteUidField() {
  const std::string& uid = web::GetCurrentUid();
  if (!uid.empty() && uid.front() != ' ')
    base::Page("<INPUT TYPE=\"hidden\" NAME=Uid VALUE=\"%s\">\n", base::EscapeHtml(uid));
}

void OpenViewForm(const View&, int hidden_page) {
  base::Page("<FORM METHOD=GET ACTION=\"%s\">\n", Script());
  base::Page("<INPUT TYPE=\"hidden\" NAME=%s VALUE=\"%s\">\n", "CMD", "statS");
  base::Page("<INPUT TYPE=\"hidden\" NAME=%s VALUE=\"%d\">\n", "statS", hidden_page);
  WriteUidField();
  base::Page("<TABLE WIDTH=100%% BORDER=0><TR><TD ALIGN=RIGHT> %s : \n", Msg(100));
}

void WriteProjectSelector(const View& view, std::string_view extra) {
  const std::string script = Script();
  const std::string uid = web::UidSuffix();
  base::Page("<SELECT NAME=\"%s\" ARIA-LABEL=\"%s\" onChange=", "PMENU",
             base::EscapeHtml(Msg(100)));
  base::Page(" \"changePage(this.options[this.selectedIndex].value,%s)\" >\n", "PMENU");
  base::Page("<OPTION VALUE=\"%s?%s=%s&%s=%d%s%s\">&nbsp\n", script, "CMD", "statS", "statS",
             view.page, "", uid);
  for (const std::string& name : config::ListProjects(" ")) {
    base::Page("<OPTION VALUE=\"%s?%s=%s&%s=%d&%s=%s%s%s\" ", script, "CMD", "statS", "statS",
               view.page, "project", LinkValue(name), extra, uid);
    if (name == view.project) base::Page("SELECTED ");
    base::Page("> %s \n", base::EscapeHtml(name));
  }
  base::Page("</SELECT>\n");
}

std::vector<std::string> ListStatsDirectory() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(config::GetStatsDir(), ec)) {
    std::string name = entry.path().filename().string();
    if (!name.starts_with('.')) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// What the menu shows for a statistics group of `project`: the phase's and the sub-project's
// names for "<phase letter><sub-project code>" (a letter or code no file names stays as it
// is), TOTAL as it is.
std::string GroupLabel(std::string_view project, const std::string& group) {
  if (group == "TOTAL" || group.empty()) return group;
  std::string phase = config::GetPhaseName(config::GetPhaseIndex(group[0]));
  if (phase.empty()) phase = group.substr(0, 1);
  const std::string code = group.substr(1);
  std::string sub = config::GetSubprojectName(project, code);
  if (sub == "_") sub = code;
  return phase + " " + sub;
}

void WriteStatsGroupSelector(const View& view, std::string_view first_option,
                             std::string_view extra) {
  const std::string script = Script();
  const std::string uid = web::UidSuffix();
  const std::string project = LinkValue(view.project);
  const std::string current = view.GroupOrTotal();
  const std::string prefix = view.HasProject() ? view.project + "." : ".";
  base::Page("<SELECT NAME=\"%s\" ARIA-LABEL=\"%s\" onChange=", "SPMENU",
             base::EscapeHtml(Msg(101)));
  base::Page(" \"changePage(this.options[this.selectedIndex].value,%s)\" >\n", "SPMENU");
  base::Write(nullptr, first_option);
  std::vector<std::string> names = ListStatsDirectory();
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    if (!name->starts_with(prefix)) continue;
    std::string group = name->substr(prefix.size());
    base::Page("<OPTION ");
    base::Page("VALUE=\"%s?%s=%s&%s=%d&%s=%s&%s=%s%s\" ", script, "CMD", "statS", "statS",
               view.page, "project", project, "group", LinkValue(group), std::string(extra) + uid);
    if (group == current) base::Page("SELECTED");
    base::Page("> %s\n",
               base::EscapeHtml(view.HasProject() ? GroupLabel(view.project, group) : group));
  }
  base::Page("</SELECT>\n");
}

std::string ViewFilePath(const View& view) {
  if (!view.HasProject()) return {};
  std::string group = view.GroupOrTotal();
  if (view.project.find('/') != std::string::npos || group.find('/') != std::string::npos)
    return {};
  return StatsFilePath(view.project + "." + group);
}

bool WalkIndex(const std::function<void(const store::FactSheet&)>& each) {
  store::FactSheet sheet;
  return store::ForEachIndexLine([&](std::string_view line) {
    store::ParseHeader(line, sheet);
    each(sheet);
    return true;
  });
}

void WriteMenu(const View& view) {
  if (!users::CanSeeStatistics(view.list)) {
    web::ErrorBox(517);
    return;
  }
  const std::string& images = config::GetImageDir();
  // Indented as a list was, without being one.
  base::Page("<P><BR><BR><DIV STYLE=\"margin-left:40px\">\n");
  base::Page("<TABLE BORDER=1 WIDTH=70%%>\n");
  base::Page("<TR><TD ALIGN=CENTER >\n");
  base::Page("<TABLE BORDER=0 WIDTH=100%%>\n");
  base::Page("<TR><TD ALIGN=CENTER><IMG SRC=%s/bugL.gif ALT=\"\"></TD>\n", images);
  base::Page("<TD ALIGN=CENTER><BR><H1><Font size=5>QUORB&nbsp;%s</font></H1>\n", Msg(3005));
  base::Page("</TD><TD ALIGN=CENTER><IMG SRC=%s/bugR.gif ALT=\"\"></TD>\n", images);
  base::Page("</TR></TABLE>\n");
  base::Page("</TD></TR>\n");
  const std::string script = Script();
  const std::string uid = web::UidSuffix();
  for (auto [label, page] : kMenu) {
    base::Page("<TR><TD ALIGN=CENTER><A HREF=\"%s?CMD=%s&%s=%d%s\" >", script, "statS", "statS",
               page, uid);
    base::Page("%s&nbsp;</A></TD></TD></TR>\n", Msg(label));
  }
  base::Page("</TABLE></DIV>\n");
}

void WriteWorkload(const View& view) {
  const std::string script = Script();
  const std::string uid = web::UidSuffix();
  base::Page("<H1>%s %s</H1>\n", Msg(2489), base::EscapeHtml(view.project));
  OpenViewForm(view, 1);
  base::Page("<SELECT NAME=\"%s\" ARIA-LABEL=\"%s\" onChange=", "MENU",
             base::EscapeHtml(Msg(2489)));
  base::Page(" \"changePage(this.options[this.selectedIndex].value,%s)\" >\n", "MENU");
  base::Page("<OPTION VALUE=\"%s?%s=%s&%s=%d%s\">&nbsp\n", script, "CMD", "statS", "statS", 1, uid);
  for (const std::string& name : config::ListProjects(" ")) {
    base::Page("<OPTION VALUE=\"%s?%s=%s&%s=%d&%s=%s%s\" \n", script, "CMD", "statS", "statS", 1,
               "project", LinkValue(name), uid);
    if (name == view.project) base::Page("SELECTED ");
    base::Page("> %s \n", base::EscapeHtml(name));
  }
  base::Page("</SELECT>\n");
  base::Page("</TD></TR></TABLE></FORM>\n");

  std::vector<Workload> entries;
  std::unordered_map<std::string, size_t> at;
  bool any = false;
  WalkIndex([&](const store::FactSheet& s) {
    if (view.HasProject() && s.project != view.project) return;
    any = true;
    if (s.status < store::kObserved || s.status > store::kOpen) return;
    if (s.sev < 0 || s.sev > 4) return;  // no severity to count it under
    ++EntryFor(entries, at, Short(s.resp)).sev[s.sev];
  });
  int max = 0;
  for (const Workload& w : entries) max = std::max(max, w.Bar());
  if (!any) base::Page("<P>%s\n", Msg(kNoSheetsYet));
  if (max == 0) return;

  base::Page("<TABLE BORDER=1 WIDTH=100%%>\n");
  base::Page("<TR><TD WIDTH=10%%></TD><TD WIDTH=5%%></TD>\n");
  for (int i = 0; i < max; ++i) base::Page("<TD WIDTH=%d%%></TD>\n", 85 / max);
  base::Page("</TR><TR><TH %s COLSPAN=2>%s</TH>", kGrey, Msg(2474));
  base::Page("<TH %s COLSPAN=%d>%s</TH></TR>\n", kGrey, max, Msg(2475));
  const std::string project = view.HasProject() ? LinkValue(view.project) : "%A0";
  for (auto w = entries.rbegin(); w != entries.rend(); ++w) {  // the latest met first
    base::Page("<TR><TD %s>", kGrey);
    base::Page("<A HREF=\"%s?CMD=%s&%s=%s&", script, "find", "project", project);
    base::Page("%s=%s&%s=X&%s=X&%s=X&sort=0%s\">", "resp", LinkValue(w->name), "statA", "statO",
               "statS", uid);
    base::Page("%s</A></TD>\n", base::EscapeHtml(w->name));
    base::Page("<TD %s>%d</TD>\n", kGrey, w->Sum());
    for (int sev = 1; sev <= 4; ++sev) {
      if (w->sev[sev])
        base::Page("<TD BGCOLOR=%s COLSPAN=%d>&nbsp;</TD>", kSeverityColours[sev], w->sev[sev]);
    }
    base::Page("</TR>\n");
  }
  base::Page("</TABLE>\n");
  base::Page("<P>%s :\n", Msg(2473));
  base::Page("<TABLE border=0>\n");
  for (int sev = 1; sev <= 4; ++sev) {
    base::Page("<TR>");
    base::Page("<TD BGCOLOR=%s>&nbsp;&nbsp;&nbsp;&nbsp;\n", kSeverityColours[sev]);
    base::Page("</TD><TD>%s</TD></TR>\n", config::GetSeverityLabel(sev));
  }
  base::Page("</TABLE>\n");
}

void WritePrograms(const View& view) {
  const std::string script = Script();
  const std::string uid = web::UidSuffix();
  const std::string project = LinkValue(view.project);
  base::Page("<H1>%s %s</H1>\n", Msg(2480), base::EscapeHtml(view.project));
  OpenViewForm(view, 3);
  WriteProjectSelector(view, "");
  base::Page(" %s : \n", Msg(101));
  base::Page("<SELECT NAME=\"%s\" ARIA-LABEL=\"%s\" onChange=", "SPMENU",
             base::EscapeHtml(Msg(101)));
  base::Page(" \"changePage(this.options[this.selectedIndex].value,%s)\" >\n", "SPMENU");
  base::Page("<OPTION VALUE=\"%s?%s=%s&%s=%d&%s=%s%s\">&nbsp\n", script, "CMD", "statS", "statS", 3,
             "project", project, uid);
  for (const std::string& name : config::ListSubprojects(view.project, " ")) {
    base::Page("<OPTION VALUE=\"%s?%s=%s&%s=%d&%s=%s&%s=%s%s\" ", script, "CMD", "statS", "statS",
               3, "project", project, "group", LinkValue(name), uid);
    if (name == view.group) base::Page("SELECTED ");
    base::Page("> %s \n", base::EscapeHtml(name));
  }
  base::Page("</SELECT>\n");
  base::Page("</TD></TR></TABLE></FORM>\n");

  std::vector<Program> programs;
  std::unordered_map<std::string, size_t> at;
  WalkIndex([&](const store::FactSheet& s) {
    if (view.HasProject() && s.project != view.project) return;
    if (view.HasGroup() && s.group != view.group) return;
    ++EntryFor(programs, at, Short(s.prog)).count;
  });
  if (programs.empty()) {
    base::Page("<P>%s\n", Msg(kNoSheetsYet));
    return;
  }
  base::Page("<TABLE BORDER=1 WIDTH=50%%>\n");
  base::Page("<TR><TH WIDTH=50%%>%s</TH><TH>%s</TH></TR>\n", Msg(108), Msg(2478));
  long sum = 0;
  for (auto p = programs.rbegin(); p != programs.rend(); ++p) {
    base::Page("<TR><TD>%s</TD><TD ALIGN=CENTER>%d</TD></TR>\n", base::EscapeHtml(p->name),
               p->count);
    sum += p->count;
  }
  base::Page("<TR><TH>%s</TH><TH>%d</TH></TR>\n", Msg(2479), sum);
  base::Page("</TABLE>\n");
}

void StatisticsPage(web::ParamList& list) {
  // Counted from the index: a change stored but left unfinished is finished first.
  store::ChangePending();
  View view{list, web::GetParamInt(list, "statS"), web::GetParam(list, "project"),
            web::GetParam(list, "group")};
  // Every page and data page of the statistics takes the statistics right.
  // A page of one project also takes the right to read that project.
  const std::string& project = web::GetParam(list, "project");
  const bool allowed =
      !config::IsSecurityOn() ||
      (users::CheckRightQuietly(list, 5) &&
       (web::IsAbsent(project) || project.empty() || users::MayReadProject(list, project)));
  // Every project counted together is for a reader of every project; another reader gets
  // the counts of their own project.
  if (allowed && config::IsSecurityOn() && !view.HasProject() && !users::CheckRightQuietly(list, 4))
    if (std::optional<users::UidNames> names = users::ReadIdentity(list))
      view.project = names->project;
  if (allowed && (view.page == 6 || view.page == 8 || view.page == 10)) return WriteDataPage(view);
  web::WritePageHead(nullptr, "Statistics", "", list);
  web::WriteHomeLink();
  if (!allowed) return web::ErrorBox(517);
  switch (view.page) {
    case 0:
      return WriteMenu(view);
    case 1:
      WriteChangePageScript();
      return WriteWorkload(view);
    case 2:
      WriteChangePageScript();
      return WriteHistoryTable(view);
    case 3:
      WriteChangePageScript();
      return WritePrograms(view);
    case 4:
      WriteChangePageScript();
      return WriteMonthly(view);
    case 5:
    case 7:
    case 9:
      WriteChangePageScript();
      return WritePlotPage(view);
    default:
      return;  // no such page: the frame alone
  }
}

}  // namespace stats
