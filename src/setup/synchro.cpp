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
#include "config/language.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "mail/pop3.h"
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

const std::string& Msg(int n) {
  return config::Msg(n);
}

std::string When(long time) {
  return time == 0 ? Msg(2819) : store::FormatDate(time);
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

// The synchronisation mails of the project the relay has not taken, each in words: refused
// for good (a partner the relay does not know) or still tried.
void WriteUndelivered(const std::string& project, const std::vector<mail::SpoolEntry>& spool) {
  const std::string mark = base::Sprintf("%s %s ", mail::kSynchMarker, project);
  std::string rows;
  for (const mail::SpoolEntry& e : spool) {
    if (!e.subject.starts_with(mark) || e.last_error.empty()) continue;
    rows += base::Sprintf(Msg(e.refused ? 2834 : 2835), Esc(e.subject.substr(mark.size())),
                          Esc(e.recipients), Esc(e.last_error));
    rows += "<BR>";
  }
  if (!rows.empty()) base::Page("<TR><TD>%s</TD><TD>%s</TD></TR>\n", Msg(2833), rows);
}

void WriteProject(const std::string& project, const std::string& script, const std::string& suffix,
                  const std::vector<mail::SpoolEntry>& spool) {
  const std::string synchro = config::GetSynchroDir();
  std::string partners = config::GetProjectSite(project);
  if (!partners.empty() && partners[0] == ' ') partners.clear();
  base::Page("<H2>%s</H2>\n<TABLE BORDER=1>\n", Esc(project));
  base::Page("<TR><TD>%s</TD><TD>%s</TD></TR>\n", Msg(2803),
             partners.empty() ? Msg(2804) : Esc(partners));
  auto queued = Files(base::Sprintf("%s/out/%s/queue", synchro, project), &IsQueued);
  auto waiting = Files(base::Sprintf("%s/out/%s", synchro, project), &IsMessage);
  base::Page("<TR><TD>%s</TD><TD>%d</TD></TR>\n", Msg(2805), static_cast<int>(queued.size()));
  struct stat st;
  bool secret = ::stat(synch::SecretPath(project).c_str(), &st) == 0;
  base::Page("<TR><TD>%s</TD><TD>%d", Msg(2806), static_cast<int>(waiting.size()));
  // Each waiting message: why it waits, and a way to send it again or to forget it.
  for (const auto& [time, name] : waiting) {
    base::Page("<FORM METHOD=POST ACTION=\"%s\">%s: %s\n", Esc(script), Esc(name),
               secret ? base::Sprintf(Msg(2874), When(time)) : Msg(2873));
    base::Page(
        "<INPUT TYPE=hidden NAME=CMD VALUE=setup><INPUT TYPE=hidden NAME=Edit VALUE=%d>"
        "<INPUT TYPE=hidden NAME=project VALUE=\"%s\"><INPUT TYPE=hidden NAME=message "
        "VALUE=\"%s\">\n",
        kSynchro, Esc(project), Esc(name));
    if (!suffix.empty()) base::Page("<INPUT TYPE=hidden NAME=Uid VALUE=\"%s\">\n", Esc(suffix));
    if (secret) base::Page("<INPUT TYPE=submit NAME=resend VALUE=\"%s\">\n", Msg(2875));
    base::Page("<INPUT TYPE=submit NAME=forget VALUE=\"%s\"></FORM>\n", Msg(2876));
  }
  base::Write(nullptr, "</TD></TR>\n");
  WriteUndelivered(project, spool);
  bool folders = base::IsDirectory(base::Sprintf("%s/in/%s", synchro, project)) &&
                 base::IsDirectory(base::Sprintf("%s/out/%s", synchro, project));
  base::Page("<TR><TD>%s</TD><TD>%s</TD></TR>\n", Msg(2807), Msg(folders ? 2808 : 2809));
  base::Page("<TR><TD>%s</TD><TD>%s", Msg(2810), Msg(secret ? 2811 : 2812));
  if (secret && (st.st_mode & 077) != 0) base::Page(" %s", Msg(2813));
  base::Write(nullptr, "</TD></TR>\n</TABLE>\n");
  if (!partners.empty()) base::Page("<P>%s\n", Msg(2872));
  base::Page("<FORM METHOD=POST ACTION=\"%s\">\n", Esc(script));
  base::Write(nullptr, "<INPUT TYPE=hidden NAME=CMD VALUE=setup>\n");
  base::Page("<INPUT TYPE=hidden NAME=Edit VALUE=%d>\n", kSynchro);
  base::Page("<INPUT TYPE=hidden NAME=project VALUE=\"%s\">\n", Esc(project));
  WriteRevisionField(
      FileRevision(secret ? base::ReadFile(synch::SecretPath(project)).value_or("") : ""));
  if (!suffix.empty()) base::Page("<INPUT TYPE=hidden NAME=Uid VALUE=\"%s\">\n", Esc(suffix));
  base::Page(
      "<LABEL>%s <INPUT TYPE=password NAME=secret SIZE=40></LABEL> "
      "<INPUT TYPE=submit VALUE=\"OK\">\n</FORM>\n",
      Msg(2814));
}

constexpr int kMsgSecretChangedMeanwhile = 602;

void Refusal(int message) {
  base::Page("<Font color=red><H1>%s</H1></font>\n", Msg(message));
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
  if (!WriteSharedSecret(project, secret, &list)) return false;
  web::MarkStored();
  return true;
}

// "resend" or "forget" of a waiting message of a project, by a member with the setup right
// there.
void ActOnMessage(const web::ParamList& list) {
  const std::string& project = web::GetParam(list, "project");
  const std::string& message = web::GetParam(list, "message");
  if (!base::IsSafeName(project) || config::ListProjects(project).empty()) {
    WriteRefusedProject(project);
    return;
  }
  if (config::IsSecurityOn() && !users::CheckRightQuietly(list, 2, project)) {
    web::ErrorBox(config::kMsgNoSetupRight);
    return;
  }
  bool done = !web::IsAbsent(web::GetParam(list, "forget")) ? synch::ForgetMessage(project, message)
                                                            : synch::SendAgain(project, message);
  if (done) web::MarkStored();
}

}  // namespace

bool WriteSharedSecret(std::string_view project, std::string_view secret,
                       const web::ParamList* form) {
  std::string line(secret);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
  if (line.size() < 16 || line.find_first_of("\r\n") != std::string::npos) {
    Refusal(2815);
    return false;
  }
  const std::string path = synch::SecretPath(project);
  line += '\n';
  FormSave save;
  if (form)
    save = SaveFormFile(
        path, *form, [&](const std::string&) { return line; }, true);
  else
    save.saved = web::WritePrivateFile(path, line);
  if (save.stale) {
    // Partners agree on one secret: one set meanwhile is not replaced unseen.
    web::ErrorBoxArg(kMsgSecretChangedMeanwhile, project);
    return false;
  }
  if (!save.saved) {
    Refusal(2816);
    return false;
  }
  // What waited for the secret leaves now.
  synch::SendWaiting(project);
  return true;
}

void WriteSpoolStatus() {
  // Every mail (notification or synchronisation) waits in the spool until the relay took it.
  const std::vector<mail::SpoolEntry> entries = mail::ListSpool();
  if (entries.empty()) {
    base::Page("<P>%s\n", Msg(2825));
    return;
  }
  base::Page("<TABLE BORDER=1><TR><TH>%s</TH><TH>%s</TH><TH>%s</TH><TH>%s</TH><TH>%s</TH></TR>\n",
             Msg(2826), Msg(2827), Msg(2828), Msg(2829), Msg(2830));
  for (const mail::SpoolEntry& e : entries) {
    base::Page("<TR><TD>%s</TD><TD>%s</TD><TD>%d%s</TD><TD>%s</TD><TD>%s</TD></TR>\n", Esc(e.id),
               base::Sprintf(Msg(2831), std::to_string(e.age / 60)), e.attempts,
               e.refused ? " " + Msg(2832) : std::string(), Esc(e.recipients), Esc(e.last_error));
  }
  base::Write(nullptr, "</TABLE>\n");
}

void SynchroPage(const web::ParamList& list) {
  if (!MaySave(list)) {
    web::ErrorBox(config::kMsgNoSetupRight);
    return;
  }
  if (!web::IsAbsent(web::GetParam(list, "secret"))) SaveSecret(list);
  if (!web::IsAbsent(web::GetParam(list, "resend")) ||
      !web::IsAbsent(web::GetParam(list, "forget")))
    ActOnMessage(list);
  // The page a saved secret leads to says so, for a project that has one.
  const std::string& project = web::GetParam(list, "project");
  if (!web::IsAbsent(web::GetParam(list, "Saved")) && base::IsSafeName(project) &&
      base::FileExists(synch::SecretPath(project)))
    base::Page("<P>%s<P>\n", base::Sprintf(Msg(2817), Esc(project)));
  const std::string script = web::ScriptName();
  const std::string& uid = web::GetCurrentUid();
  const std::string token = web::IsMissing(uid) ? std::string() : uid;
  const std::vector<mail::SpoolEntry> spool = mail::ListSpool();
  base::Page("<H1>%s</H1>\n", Msg(2800));
  std::string delay = config::GetConfig("SYNCDELAY");
  base::Page("<P>%s\n",
             base::Sprintf(Msg(2802),
                           Esc(delay.empty() ? std::to_string(synch::kDefaultSyncDelay) : delay)));
  for (const std::string& project : config::ListProjects(""))
    if (base::IsSafeName(project)) WriteProject(project, script, token, spool);

  auto [time, result] = synch::LastPass();
  base::Page("<H2>%s</H2>\n<P>%s: %s\n", Msg(2818), When(time),
             result.empty() ? Msg(2820) : result);
  base::Page("<H2>%s</H2>\n", Msg(2822));
  std::vector<synch::SyncError> errors = synch::RecentErrors();
  if (errors.empty()) base::Page("<P>%s\n", Msg(2823));
  base::Write(nullptr, "<TABLE BORDER=1>\n");
  for (auto it = errors.rbegin(); it != errors.rend(); ++it)
    base::Page("<TR><TD>%s</TD><TD>%s</TD><TD>%s</TD></TR>\n", When(it->time), Esc(it->project),
               it->text);
  base::Write(nullptr, "</TABLE>\n");
  base::Page("<H2>%s</H2>\n", Msg(2824));
  WriteSpoolStatus();
}

}  // namespace setup
