#include "users/login.h"

#include <ctime>

#include "base/encode.h"
#include "base/out.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "users/uid.h"
#include "web/cookies.h"
#include "web/page.h"

namespace users {
namespace {

constexpr size_t kMailLimit = 199;
constexpr size_t kPasswordLimit = 19;
constexpr size_t kRestLimit = 199;

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

// The password field of `line` when the line is `login`'s: the login up to the first blank,
// tab or ':', one separator, the e-mail field up to ':', blank or the end, then ':' and the
// password up to the next ':' or the end.
bool LinePasswordMatches(std::string_view line, std::string_view login, std::string_view password) {
  size_t pos = line.find_first_of(" \t:");
  if (pos == std::string_view::npos) pos = line.size();
  if (line.substr(0, pos) != login) return false;
  if (pos < line.size()) ++pos;  // the separator
  size_t mail = 0;
  while (pos < line.size() && mail < kMailLimit && line[pos] != ':' && line[pos] != ' ') {
    ++pos;
    ++mail;
  }
  std::string_view rest = line.substr(pos, kRestLimit);
  if (rest.empty() || rest.front() != ':') return false;
  std::string_view stored = rest.substr(1, rest.find(':', 1) - 1);
  if (stored.empty()) return false;
  return stored.substr(0, kPasswordLimit) == password;
}

void WriteCarriedFields(const web::ParamList& list, std::string_view format, bool skip_uid) {
  for (const web::Param& p : list) {
    if (p.name == "Login" || p.name == "Passwd" || p.name == "User") continue;
    if (skip_uid && p.name == "Uid") continue;
    base::Page(format, EscapeUnquoted(p.name), base::EscapeHtml(p.value));
  }
}

void WriteLoginForm(const web::ParamList& list) {
  web::WritePageHead(nullptr, "QUORB Login", "", list);
  base::Page(" <FORM NAME=mainform METHOD=POST ACTION=%s>\n", EscapeUnquoted(web::ScriptName()));
  base::Write(nullptr,
              "<CENTER>\n"
              "<TABLE BORDER=0 CELLPADDING=10><TR><TD BGCOLOR=\"#C0C0C0\">\n"
              "  <TABLE BORDER=0>\n"
              "  <TR><TD COLSPAN=2 ALIGN=CENTER><H2>QUORB Login</H2></TD></TR>\n"
              "  <TR><TD> Login : </TD><TD><INPUT TYPE=text NAME=User SIZE=20></TD></TR>\n"
              "  <TR><TD> Passwd : </TD><TD><INPUT TYPE=password NAME=Passwd SIZE=20></TD></TR>\n"
              "  <TR><TD COLSPAN=2 ALIGN=CENTER><INPUT TYPE=submit VALUE=\"Login\"></TD></TR>\n"
              "  </TABLE>\n"
              "</TD></TR></TABLE>\n"
              "</CENTER>\n");
  base::Page("<INPUT TYPE=hidden NAME=\"%s\" VALUE=\"%d\">\n", "Login", 2);
  WriteCarriedFields(list, "      <INPUT TYPE=hidden NAME=\"%s\" VALUE=\"%s\">\n", false);
  base::Write(nullptr, " </FORM>\n");
}

// The cookie's lifetime in seconds for a PERSIST value; 0 for a session cookie.
long PersistSeconds(int persist) {
  switch (persist) {
    case 1:
      return 86400;
    case 2:
      return 604800;
    case 3:
      return 2592000;
    default:
      return 0;
  }
}

void CheckLogin(const web::ParamList& list) {
  web::WritePageHead(nullptr, "QUORB Login2", "", list);
  const std::string& user = web::GetParam(list, "User");
  std::string project;
  std::string token;
  if (CheckPassword(user, web::GetParam(list, "Passwd"), project)) token = MakeUid(user, project);
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
  WriteCarriedFields(list, hidden, true);
  base::Write(nullptr, "</FORM>");
  base::Write(nullptr, "<SCRIPT LANGUAGE=JavaScript>            \n");
  if (config::IsSecurityOn()) {
    base::Page("  ecritCookie(\"quorb\", \"%s\", ", base::EscapeScript(token));
    long seconds = PersistSeconds(web::GetParamInt(list, "PERSIST"));
    if (seconds == 0)
      base::Write(nullptr, "null); \n");
    else
      base::Page("%ld000); \n", static_cast<long>(std::time(nullptr)) + seconds);
  }
  base::Write(nullptr, "  document.mainform.submit();           \n");
  base::Write(nullptr, "</SCRIPT>                               \n");
  base::Write(nullptr, "OK");
}

}  // namespace

bool CheckPassword(std::string_view login, std::string_view password, std::string& project) {
  for (const std::string& name : config::ListProjects("")) {
    const config::ConfigFile& file =
        config::ReadConfigFile(config::GetProjectFilePath(name, "users"));
    for (const config::ConfigLine& line : file.lines) {
      if (LinePasswordMatches(line.text, login, password)) {
        project = name;
        return true;
      }
    }
  }
  return false;
}

void LoginPage(const web::ParamList& list, std::string_view step) {
  // Any other step is a login address typed or kept from elsewhere: it gets the form.
  if (step == "2")
    CheckLogin(list);
  else
    WriteLoginForm(list);
}

void RequireLogin(const web::ParamList& list) {
  if (!config::IsSecurityOn() || ReadIdentity(list)) return;
  base::Write(nullptr, "<Script>\n");
  base::Page("   document.location=\"%s\" \n", base::EscapeScript(web::LoginUrl(list, 1)));
  base::Write(nullptr, "</Script>\n");
}

}  // namespace users
