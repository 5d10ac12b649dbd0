// CMD=setup&Edit=11: the synchronisation page of the setup menu. Per project: the partners,
// the messages waiting to be sent and to be acknowledged, whether the shared secret is set
// (and a form to set it); then the last pass and the errors of the last passes in words,
// and the outgoing mail spool.
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "base/encode.h"
#include "base/files.h"
#include "base/names.h"
#include "base/out.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "mail/spool.h"
#include "setup/setup.h"
#include "setup/setup_parts.h"
#include "store/sheet.h"
#include "sync/sync.h"
#include "users/rights.h"
#include "web/cookies.h"
#include "web/identity.h"
#include "web/page.h"
#include "web/private_file.h"
#include "web/response.h"

namespace setup {
namespace {

namespace fs = std::filesystem;

std::string Esc(std::string_view text) {
  return base::EscapeHtml(text);
}

std::string When(long time) {
  return time == 0 ? std::string("never") : store::FormatDate(time);
}

// The files of `folder` whose names `keep` accepts, with their times, oldest first.
std::vector<std::pair<long, std::string>> Files(const std::string& folder,
                                                bool (*keep)(std::string_view)) {
  std::vector<std::pair<long, std::string>> files;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    if (keep(name)) files.emplace_back(base::FileTime(it->path().string()), name);
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool IsMessage(std::string_view name) {
  return name.size() == 10 && name[0] == 's' && name.ends_with(".txt");
}
bool IsQueued(std::string_view name) {
  return name.starts_with("q");
}

void WriteProject(const std::string& project, const std::string& script,
                  const std::string& suffix) {
  const std::string synchro = config::GetSynchroDir();
  std::string partners = config::GetProjectSite(project);
  if (!partners.empty() && partners[0] == ' ') partners.clear();
  base::Page("<H2>%s</H2>\n<TABLE BORDER=1>\n", Esc(project));
  base::Page(
      "<TR><TD>Partners</TD><TD>%s</TD></TR>\n",
      partners.empty() ? "none: nothing is sent, nothing received is applied" : Esc(partners));
  auto queued = Files(base::Sprintf("%s/out/%s/queue", synchro, project), &IsQueued);
  auto waiting = Files(base::Sprintf("%s/out/%s", synchro, project), &IsMessage);
  base::Page("<TR><TD>Waiting to be sent</TD><TD>%d</TD></TR>\n", static_cast<int>(queued.size()));
  base::Page("<TR><TD>Waiting to be acknowledged</TD><TD>%d", static_cast<int>(waiting.size()));
  for (const auto& [time, name] : waiting) base::Page(" %s (%s)", Esc(name), When(time));
  base::Write(nullptr, "</TD></TR>\n");
  bool folders = base::IsDirectory(base::Sprintf("%s/in/%s", synchro, project)) &&
                 base::IsDirectory(base::Sprintf("%s/out/%s", synchro, project));
  base::Page("<TR><TD>Folders</TD><TD>%s</TD></TR>\n",
             folders ? "in place" : "missing: its messages cannot be received");
  struct stat st;
  bool secret = ::stat(synch::SecretPath(project).c_str(), &st) == 0;
  base::Page("<TR><TD>Shared secret</TD><TD>%s", secret ? "set" : "not set");
  if (secret && (st.st_mode & 077) != 0)
    base::Write(nullptr, " (readable by others: mode 0600 wanted)");
  base::Write(nullptr, "</TD></TR>\n</TABLE>\n");
  base::Page("<FORM METHOD=POST ACTION=\"%s\">\n", Esc(script));
  base::Write(nullptr, "<INPUT TYPE=hidden NAME=CMD VALUE=setup>\n");
  base::Page("<INPUT TYPE=hidden NAME=Edit VALUE=%d>\n", kSynchro);
  base::Page("<INPUT TYPE=hidden NAME=project VALUE=\"%s\">\n", Esc(project));
  if (!suffix.empty()) base::Page("<INPUT TYPE=hidden NAME=Uid VALUE=\"%s\">\n", Esc(suffix));
  base::Write(nullptr,
              "New shared secret (the same on every partner site): "
              "<INPUT TYPE=password NAME=secret SIZE=40> <INPUT TYPE=submit VALUE=\"OK\">\n"
              "</FORM>\n");
}

bool SaveSecret(const web::ParamList& list) {
  const std::string& project = web::GetParam(list, "project");
  const std::string& secret = web::GetParam(list, "secret");
  if (!base::IsSafeName(project) || !SaveTarget(kUsers, project)) {
    WriteRefusedProject(project);
    return false;
  }
  if (config::IsSecurityOn() && !users::CheckRightQuietly(list, 2, project)) {
    web::ErrorBox(config::kMsgNoSetupRight);
    return false;
  }
  std::string line = secret;
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
  if (line.size() < 16 || line.find_first_of("\r\n") != std::string::npos) {
    base::Write(nullptr,
                "<Font color=red><H1>The shared secret must be one line of at least 16 "
                "characters.</H1></font>\n");
    return false;
  }
  if (!web::WritePrivateFile(synch::SecretPath(project), line + "\n")) {
    base::Write(nullptr, "<Font color=red><H1>The secret could not be written.</H1></font>\n");
    return false;
  }
  web::MarkStored();
  return true;
}

}  // namespace

void WriteSpoolStatus() {
  // Every mail (notification or synchronisation) waits in the spool until the relay took it.
  const std::vector<mail::SpoolEntry> entries = mail::ListSpool();
  if (entries.empty()) {
    base::Write(nullptr, "<P>No mail waits.\n");
    return;
  }
  base::Write(nullptr,
              "<TABLE BORDER=1><TR><TH>Mail</TH><TH>Waiting since</TH><TH>Attempts</TH>"
              "<TH>Recipients</TH><TH>Last error</TH></TR>\n");
  for (const mail::SpoolEntry& e : entries) {
    base::Page("<TR><TD>%s</TD><TD>%ld min</TD><TD>%d%s</TD><TD>%s</TD><TD>%s</TD></TR>\n",
               Esc(e.id), e.age / 60, e.attempts, e.refused ? " (refused)" : "", Esc(e.recipients),
               Esc(e.last_error));
  }
  base::Write(nullptr, "</TABLE>\n");
}

void SynchroPage(const web::ParamList& list) {
  if (!MaySave(list)) {
    web::ErrorBox(config::kMsgNoSetupRight);
    return;
  }
  if (!web::IsAbsent(web::GetParam(list, "secret"))) SaveSecret(list);
  // The page a saved secret leads to says so, for a project that has one.
  const std::string& project = web::GetParam(list, "project");
  if (!web::IsAbsent(web::GetParam(list, "Saved")) && base::IsSafeName(project) &&
      base::FileExists(synch::SecretPath(project)))
    base::Page("<P>The shared secret of %s is set.<P>\n", Esc(project));
  const std::string script = web::ScriptName();
  const std::string& uid = web::GetCurrentUid();
  const std::string token = web::IsMissing(uid) ? std::string() : uid;
  base::Write(nullptr, "<H1>Synchronisation</H1>\n");
  std::string delay = config::GetConfig("SYNCDELAY");
  base::Page(
      "<P>Mail is collected at most every %s seconds (SYNCDELAY in quorb.cfg; 0: at "
      "every home page).\n",
      Esc(delay.empty() ? std::to_string(synch::kDefaultSyncDelay) : delay));
  for (const std::string& project : config::ListProjects(""))
    if (base::IsSafeName(project)) WriteProject(project, script, token);

  auto [time, result] = synch::LastPass();
  base::Page("<H2>Last pass</H2>\n<P>%s: %s\n", When(time),
             Esc(result.empty() ? "no pass yet" : result));
  base::Write(nullptr, "<H2>Errors of the last passes</H2>\n");
  std::vector<synch::SyncError> errors = synch::RecentErrors();
  if (errors.empty()) base::Write(nullptr, "<P>None.\n");
  base::Write(nullptr, "<TABLE BORDER=1>\n");
  for (auto it = errors.rbegin(); it != errors.rend(); ++it)
    base::Page("<TR><TD>%s</TD><TD>%s</TD><TD>%s</TD></TR>\n", When(it->time), Esc(it->project),
               Esc(it->text));
  base::Write(nullptr, "</TABLE>\n");
  base::Write(nullptr, "<H2>Outgoing mail spool</H2>\n");
  WriteSpoolStatus();
}

}  // namespace setup
