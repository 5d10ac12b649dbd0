#include "users/login.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <vector>

#include "base/encode.h"
#include "base/files.h"
#include "base/numbers.h"
#include "base/out.h"
#include "base/text.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/members.h"
#include "config/projects.h"
#include "users/passwords.h"
#include "users/sessions.h"
#include "users/uid.h"
#include "users/user_context.h"
#include "web/cookies.h"
#include "web/origin.h"
#include "web/page.h"

namespace users {
namespace {

using SheetFormTest = bool (*)(std::string_view cmd);

// For a value written as an unquoted attribute (NAME=%s): as EscapeHtml, and the
// characters that would end the value or start another attribute as character references.
std::string EscapeUnquoted(std::string_view text) {
  std::string out;
  for (char c : base::EscapeHtml(text)) {
    switch (c) {
      case ' ':
      case '\t':
      case '\n':
      case '\r':
      case '\f':
      case '\'':
      case '=':
      case '`':
        out += base::Sprintf("&#%d;", static_cast<int>(c));
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool LinePasswordMatches(std::string_view line, std::string_view login, std::string_view password) {
  std::optional<std::string_view> stored = config::MemberPassword(line, login);
  // A hash, or a password still in clear (hashed at the grid's next save); never cut.
  return stored && VerifyPassword(*stored, password);
}

// The values of `book` (a test book's or a campaign's page) that only show: the forms, the
// views, the campaign summary and its export. Saves, deletions and printing are not among them.
bool IsBookView(const web::ParamList& list) {
  const std::string& value = web::GetParam(list, "book");
  if (web::IsAbsent(value)) return true;
  static constexpr int kViews[] = {0, 3, 5, 7, 9, 11, 13, 15, 18, 21, 24, 26, 28, 29, 31};
  return std::ranges::find(kViews, web::GetParamInt(list, "book")) != std::end(kViews);
}

// The pages that change nothing, whatever else the request carries.
bool IsReadCommand(std::string_view cmd) {
  for (std::string_view read : {"help", "search", "find", "history", "statS", "FILE"})
    if (cmd == read) return true;
  return false;
}

// What a login carries on to the page asked for. A page that only shows gets its parameters
// back; a page that would change data gets at most its form again, unfilled by the link (an
// action's or an edit's form of the sheet, a setup form); anything else ends on the home page.
// Nothing that came through the login page can store, save or print.
web::ParamList CarriedAfterLogin(const web::ParamList& list, SheetFormTest has_sheet_form) {
  web::ParamList kept;
  std::vector<std::string_view> commands;
  for (const web::Param& p : list) {
    if (p.name == "Login" || p.name == "Passwd" || p.name == "User" || p.name == "Uid" ||
        p.name == "PERSIST")
      continue;
    if (p.name == "CMD") commands.push_back(p.value);
    // The printed result list.
    if (p.name == "Print") continue;
    kept.push_back(p);
  }
  if (commands.size() > 1) return {};
  if (commands.empty()) return kept;  // a search or a sheet by its number
  const std::string_view cmd = commands.front();
  if (IsReadCommand(cmd)) return kept;
  if ((cmd == "book" || cmd == "tests") && IsBookView(list)) return kept;
  auto only = [&](std::initializer_list<std::string_view> names) {
    web::ParamList form;
    for (const web::Param& p : kept)
      if (std::ranges::find(names, p.name) != names.end()) form.push_back(p);
    return form;
  };
  if (cmd == "create") return only({"CMD"});
  if (has_sheet_form(cmd)) return only({"CMD", "Num", "Edit"});
  if (cmd == "setup") {
    const int kind = web::GetParamInt(list, "Edit");
    // The wizard's steps all write.
    return kind >= 1 && kind <= 10 ? only({"CMD", "Edit"}) : only({"CMD"});
  }
  return {};
}

void WriteCarriedFields(const web::ParamList& list, std::string_view format,
                        SheetFormTest has_sheet_form) {
  for (const web::Param& p : CarriedAfterLogin(list, has_sheet_form))
    base::Page(format, EscapeUnquoted(p.name), base::EscapeHtml(p.value));
}

void WriteLoginForm(const web::ParamList& list, SheetFormTest has_sheet_form) {
  web::WritePageHead(nullptr, "QUORB Login", "", list);
  base::Page(" <FORM NAME=mainform METHOD=POST ACTION=%s>\n", EscapeUnquoted(web::ScriptName()));
  base::Write(
      nullptr,
      "<CENTER>\n"
      "<TABLE BORDER=0 CELLPADDING=10><TR><TD BGCOLOR=\"#C0C0C0\">\n"
      "  <TABLE BORDER=0>\n"
      "  <TR><TD COLSPAN=2 ALIGN=CENTER><H2>QUORB Login</H2></TD></TR>\n"
      "  <TR><TD> <LABEL FOR=User>Login</LABEL> : </TD><TD><INPUT TYPE=text NAME=User ID=User "
      "SIZE=20 AUTOCOMPLETE=username></TD></TR>\n"
      "  <TR><TD> <LABEL FOR=Passwd>Passwd</LABEL> : </TD><TD><INPUT TYPE=password "
      "NAME=Passwd ID=Passwd SIZE=20 AUTOCOMPLETE=current-password></TD></TR>\n"
      "  <TR><TD COLSPAN=2 ALIGN=CENTER><INPUT TYPE=submit VALUE=\"Login\"></TD></TR>\n"
      "  </TABLE>\n"
      "</TD></TR></TABLE>\n"
      "</CENTER>\n");
  base::Page("<INPUT TYPE=hidden NAME=\"%s\" VALUE=\"%d\">\n", "Login", 2);
  WriteCarriedFields(list, "      <INPUT TYPE=hidden NAME=\"%s\" VALUE=\"%s\">\n", has_sheet_form);
  base::Write(nullptr, " </FORM>\n");
}

// Failed logins: one line per failure, "<time> <P|A> <url-encoded login and address, or
// address>", in "<DATADIR>/tmp/logins.dat" (mode 0600: it names logins and addresses). Five
// failures of one login from one address, or twenty from one address whatever the logins,
// within the window refuse further tries of that pair or address until the oldest of them
// leaves it; the owner of a login, from another address, is never locked out by them.
constexpr long kFailureWindow = 15 * 60;
constexpr int kFailuresAllowed = 5;
constexpr int kAddressFailuresAllowed = 20;

struct Failure {
  long time = 0;
  std::string key;  // "P <login> <address>" or "A <address>"
};

std::string FailuresPath() {
  return base::JoinPath(config::GetDataDir(), "tmp/logins.dat");
}

std::vector<Failure> ReadFailures(long now) {
  std::vector<Failure> failures;
  std::optional<std::string> text = base::ReadFile(FailuresPath());
  if (!text) return failures;
  for (size_t pos = 0; pos < text->size();) {
    std::string_view line = base::NextLine(*text, pos);
    size_t blank = line.find(' ');
    if (blank == std::string_view::npos) continue;
    long time = std::atol(std::string(line.substr(0, blank)).c_str());
    if (time <= 0 || now - time >= kFailureWindow || time > now + kFailureWindow) continue;
    failures.push_back({time, std::string(line.substr(blank + 1))});
  }
  return failures;
}

void WriteFailures(const std::vector<Failure>& failures) {
  std::string text;
  for (const Failure& f : failures) text += base::Sprintf("%ld %s\n", f.time, f.key);
  base::WriteSecretFile(FailuresPath(), text);
}

std::vector<std::string> FailureKeys(std::string_view login) {
  const std::string address = base::UrlEncode(GetClientAddress());
  return {"P " + base::UrlEncode(login) + " " + address, "A " + address};
}

// Seconds until a login or an address with too many recent failures may try again; 0 when
// it may try now.
long SecondsRefused(const std::vector<Failure>& failures, std::string_view login, long now) {
  long wait = 0;
  for (const std::string& key : FailureKeys(login)) {
    std::vector<long> times;
    for (const Failure& f : failures)
      if (f.key == key) times.push_back(f.time);
    const size_t allowed = key.starts_with('A') ? kAddressFailuresAllowed : kFailuresAllowed;
    if (times.size() < allowed) continue;
    std::ranges::sort(times);
    // The try is free again when all but allowed - 1 of the failures have left the window.
    long free_at = times[times.size() - allowed] + kFailureWindow;
    wait = std::max(wait, free_at - now);
  }
  return wait;
}

void CheckLogin(const web::ParamList& list, SheetFormTest has_sheet_form) {
  web::WritePageHead(nullptr, "QUORB Login2", "", list);
  // A page of another site posting a login would log the visitor in as its own member, and
  // what they then file would be that member's: such a login changes nothing.
  if (web::RequestIsCrossSite()) {
    web::ErrorBox(513);
    base::Page("<P><A HREF=\"%s\">%s</A>\n", base::EscapeHtml(web::LoginUrl(list, 1)),
               config::Msg(519));
    return;
  }
  const std::string& user = web::GetParam(list, "User");
  const long now = static_cast<long>(std::time(nullptr));
  std::string project;
  std::string token;
  {
    // One try at a time, so that parallel tries are counted too.
    base::FileLock lock(FailuresPath() + ".lock");
    std::vector<Failure> failures = ReadFailures(now);
    if (long wait = SecondsRefused(failures, user, now); wait > 0) {
      web::ErrorBoxArg(531, base::Sprintf("%ld", (wait + 59) / 60));
      return;
    }
    // The token and its cookie end at the same second.
    if (CheckPassword(user, web::GetParam(list, "Passwd"), project))
      token = MakeUidAt(user, project, now);
    std::vector<std::string> keys = FailureKeys(user);
    if (token.empty()) {
      for (std::string& key : keys) failures.push_back({now, std::move(key)});
    } else {
      // The member is known again: the failures of the login from here are forgotten.
      std::erase_if(failures, [&](const Failure& f) { return f.key == keys[0]; });
    }
    WriteFailures(failures);
  }
  if (token.empty()) {
    web::ErrorBox(513);
    // The way back to try again.
    base::Page("<P><A HREF=\"%s\">%s</A>\n", base::EscapeHtml(web::LoginUrl(list, 1)),
               config::Msg(519));
    web::WriteHomeLink();
    return;
  }
  base::Page("<FORM NAME=mainform METHOD=POST ACTION=%s>\n", EscapeUnquoted(web::ScriptName()));
  const char* hidden = "<INPUT TYPE=HIDDEN NAME=%s VALUE=\"%s\">\n";
  base::Page(hidden, "Uid", base::EscapeHtml(token));
  // The token just made replaces any `Uid` the request carried.
  WriteCarriedFields(list, hidden, has_sheet_form);
  base::Write(nullptr, "</FORM>");
  base::Write(nullptr, "<SCRIPT LANGUAGE=JavaScript>            \n");
  if (config::IsSecurityOn()) {
    base::Page("  ecritCookie(\"quorb\", \"%s\", ", base::EscapeScript(token));
    // The cookie lasts as long as the token: a session cookie unless PERSIST asks for days.
    if (std::atoi(config::GetConfig("PERSIST").c_str()) == 0)
      base::Write(nullptr, "null); \n");
    else
      base::Page("%ld000); \n", now + TokenLifetime());
  }
  base::Write(nullptr, "  document.mainform.submit();           \n");
  base::Write(nullptr, "</SCRIPT>                               \n");
  base::Write(nullptr, "OK");
}

// The logout: the cookie is emptied and made to expire; the page then goes to the login form.
void Logout(const web::ParamList& list) {
  // The token ends on the server too: a copy of it (a link, a log) opens nothing more.
  if (std::optional<UidNames> names = ReadIdentity(list)) EndSessions(names->login);
  web::WritePageHead(nullptr, "QUORB Logout", "", list);
  base::Write(nullptr, "<SCRIPT LANGUAGE=JavaScript>            \n");
  base::Write(nullptr, "  ecritCookie(\"quorb\", \"\", 0); \n");
  base::Write(nullptr, "</SCRIPT>                               \n");
  base::Page("<A HREF=\"%s\">%s</A>\n", base::EscapeHtml(web::LoginUrl(list, 1)), config::Msg(533));
}

}  // namespace

bool CheckPassword(std::string_view login, std::string_view password, std::string& project) {
  bool hashed = false;
  for (const std::string& name : config::ListProjects("")) {
    const config::ConfigFile& file = config::ReadConfigFile(config::UsersFilePath(name));
    for (const config::ConfigLine& line : file.lines) {
      if (std::optional<std::string_view> stored = config::MemberPassword(line.text, login))
        hashed |= IsPasswordHash(*stored);
      if (LinePasswordMatches(line.text, login, password)) {
        project = name;
        return true;
      }
    }
  }
  // An unknown login, or one whose password is still in clear, costs the hash a hashed one
  // costs: the time of a refusal tells nothing of the logins.
  if (!hashed) (void)HashPassword(password);
  return false;
}

void LoginPage(const web::ParamList& list, std::string_view step, SheetFormTest has_sheet_form) {
  // Any other step is a login address typed or kept from elsewhere: it gets the form.
  if (step == "2")
    CheckLogin(list, has_sheet_form);
  else if (step == "0")
    Logout(list);
  else
    WriteLoginForm(list, has_sheet_form);
}

void RequireLogin(const web::ParamList& list) {
  if (!config::IsSecurityOn() || ReadIdentity(list)) return;
  base::Write(nullptr, "<Script>\n");
  base::Page("   document.location=\"%s\" \n", base::EscapeScript(web::LoginUrl(list, 1)));
  base::Write(nullptr, "</Script>\n");
}

}  // namespace users
