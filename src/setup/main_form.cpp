// The main configuration file's form (also the wizard's first page) and its save.
#include <cerrno>
#include <cstdlib>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "config/language.h"
#include "config/main_config.h"
#include "setup/setup_parts.h"
#include "web/cookies.h"
#include "web/page.h"

namespace setup {
namespace {

constexpr std::string_view kPrintIsReadOnly =
    "Set on the server only: edit PRINT in quorb.cfg there to change it.";
constexpr std::string_view kSecurityOffWarning =
    "Unchecked, logins and rights are off: everyone may read and change everything.";
// "Domain of my address": the name of the field after the "@" of the site's address.
constexpr int kMsgAddressDomain = 2141;
constexpr std::string_view kDebugHint =
    "paths, addresses and server dialogue in the pages, for the administrator (DEBUG)";

std::string_view Label(int n, std::string_view fallback) {
  const std::string& text = config::Msg(n);
  return text.empty() ? fallback : std::string_view(text);
}

// A row's label, naming its first field (`field`, its ID) when it has one.
void RowStart(int n, std::string_view fallback, std::string_view field = {}) {
  std::string_view label = Label(n, fallback);
  base::Page("<TR><TD ALIGN=RIGHT><P>%s : </TD><TD>",
             field.empty() ? std::string(label) : web::LabelFor(field, label));
}

// A text field whose ID is its name; `extra` is added to its attributes.
void TextField(std::string_view name, int size, std::string_view value,
               std::string_view extra = {}) {
  base::Page("<INPUT TYPE=text NAME=%s ID=%s%s SIZE=%d VALUE=\"%s\">", name, name, extra, size,
             base::EscapeHtml(value));
}

void TextRow(int n, std::string_view fallback, std::string_view name, std::string_view value) {
  RowStart(n, fallback, name);
  TextField(name, 40, value);
  base::Write(nullptr, "</TD></TR>\n");
}

// What the form offers: the current configuration, or the wizard's defaults.
config::MainConfigValues FormValues(bool wizard) {
  config::MainConfigValues v;
  if (wizard) {
    const char* pwd = std::getenv("PWD");
    v.datadir = pwd ? base::Sprintf("%s/data/", pwd) : "C:/quorb/data/";
    v.configdir = pwd ? base::Sprintf("%s/config/", pwd) : "C:/quorb/config/";
    v.imgdir = "/quorb/images/";
    v.print = std::string(kDefaultPrint);
    v.mailserv = v.hostname = v.pop3 = "localhost";
    v.domain = "localhost";
    v.pop3user = "#";
    v.www = "www";
    return v;
  }
  v.datadir = config::GetDataDir();
  v.configdir = config::GetConfigDir();
  v.imgdir = config::GetImageDir();
  v.print = config::GetConfig("PRINT");
  v.mailserv = config::GetConfig("MAILSERV");
  v.hostname = config::GetConfig("HOSTNAME");
  v.domain = config::GetConfig("DOMAIN");
  v.security = config::GetConfig("SECURITY");
  v.persist = std::atoi(config::GetConfig("PERSIST").c_str());
  v.pop3 = config::GetConfig("POP3");
  v.pop3user = config::GetConfig("POP3USER");
  v.www = config::GetConfig("WWW");
  if (v.www.empty()) v.www = "www";
  v.debug = config::IsDebugOn() ? "YES" : "NO";
  v.pagesize = config::GetPageSize();
  return v;
}

// The print command is run by the server: it is set in the file on the server alone, never
// from a form. A fresh installation gets the default.
std::string StoredPrintCommand() {
  if (!base::FileExists(config::GetConfigPath())) return std::string(kDefaultPrint);
  return config::GetConfig("PRINT");
}

// A value from the form as it may stand on one line of the main file.
std::string OneLine(std::string_view value) {
  std::string out;
  for (char c : value) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7f) out += c;
  }
  return out;
}

std::string Directory(const web::ParamList& list, std::string_view name) {
  std::string dir = OneLine(web::GetParam(list, name));
  if (!dir.empty() && dir.back() != '/' && !web::IsAbsent(dir)) dir += '/';
  return dir;
}

}  // namespace

config::MainConfigValues MainValuesFromForm(const web::ParamList& list) {
  config::MainConfigValues v;
  v.datadir = Directory(list, "data");
  v.configdir = Directory(list, "cfg");
  v.imgdir = Directory(list, "img");
  v.print = StoredPrintCommand();
  v.mailserv = OneLine(web::GetParam(list, "mel"));
  v.hostname = OneLine(web::GetParam(list, "hst"));
  v.domain = OneLine(web::GetParam(list, "dom"));
  v.security = OneLine(web::GetParam(list, "sec"));
  // The language code names a file of the configuration directory: letters and digits only.
  for (char c : web::GetParam(list, "lang"))
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) v.language += c;
  if (v.language.empty()) v.language = "EN";
  v.persist = web::GetParamInt(list, "PERSIST");
  if (v.persist < 0 || v.persist > 3) v.persist = 0;
  v.pop3 = OneLine(web::GetParam(list, "pop"));
  v.pop3user = OneLine(web::GetParam(list, "popU"));
  // The password field is never filled in by the form: left empty, it keeps what is stored.
  std::string pass = OneLine(web::GetParam(list, "popP"));
  if (web::IsMissing(pass)) {
    pass = config::GetConfig("POP3PASS");
    if (pass.empty()) pass = kNoPassword;
  }
  v.pop3pass = pass;
  v.www = OneLine(web::GetParam(list, "www"));
  v.debug = web::GetParam(list, "dbg") == "YES" ? "YES" : "NO";
  v.kept = config::HandEditedSettings();
  const std::string& pagesize = web::GetParam(list, "PAGESIZE");
  v.pagesize =
      web::IsMissing(pagesize) ? config::kDefaultPageSize : web::GetParamInt(list, "PAGESIZE");
  if (v.pagesize < 0) v.pagesize = config::kDefaultPageSize;
  return v;
}

void WriteMainConfigForm(int wizard_step, const web::ParamList& list, const TypedForm* typed) {
  bool wizard = wizard_step > 0;
  config::MainConfigValues v = typed ? MainValuesFromForm(list) : FormValues(wizard);
  if (!wizard) base::Write(nullptr, "<P><H1><Font size=7>QUORB.cfg Setup</font></H1>\n<P>");
  base::Page("<FORM METHOD=POST ACTION=\"%s\">\n", base::EscapeHtml(web::ScriptName()));
  WriteFormFields(kMain, wizard_step);
  if (!wizard)
    WriteRevisionField(typed ? typed->revision
                             : FileRevision(config::MainConfigBytes().value_or("")));
  if (!wizard) base::Write(nullptr, "<INPUT TYPE=hidden NAME=text VALUE=xxx>\n");
  base::Write(nullptr, "<TABLE>\n");
  TextRow(2550, "Data Directory", "data", v.datadir);
  TextRow(2551, "Configuration Directory", "cfg", v.configdir);
  TextRow(2552, "Image Directory", "img", v.imgdir);
  RowStart(2553, "Print Command");
  base::Page("<TT>%s</TT><BR><FONT SIZE=-1>%s</FONT></TD></TR>\n", base::EscapeHtml(v.print),
             kPrintIsReadOnly);
  TextRow(2554, "SMTP Server", "mel", v.mailserv);
  RowStart(2557, "POP3 Server", "pop");
  TextField("pop", 40, v.pop3);
  base::Page("<DIV ALIGN=RIGHT>%s", web::LabelFor("popU", Label(2709, "Login : ")));
  TextField("popU", 20, v.pop3user);
  // The stored password never goes back into a page.
  base::Page("<BR>%s<INPUT TYPE=password NAME=popP ID=popP SIZE=20 VALUE=\"\"></DIV></TD></TR>\n",
             web::LabelFor("popP", Label(2711, "Password : ")));
  TextRow(2555, "My Hostname", "hst", v.hostname);
  RowStart(2559, "My Adress", "www");
  TextField("www", 9, v.www);
  base::Write(nullptr, "@");
  TextField("dom", 24, v.domain, web::AriaLabel(Label(kMsgAddressDomain, "Domain")));
  base::Write(nullptr, "</TD></TR>\n");
  RowStart(2558, "Authentication", "sec");
  // Turning logins off opens every page to everyone: the box that does it says so, and asks.
  if (v.security == "YES")
    base::Page(
        "<INPUT TYPE=checkbox NAME=sec ID=sec VALUE=YES CHECKED onClick=\"if (!this.checked && "
        "!confirm('%s')) this.checked = true;\"> <B>%s</B><BR>",
        kSecurityOffWarning, kSecurityOffWarning);
  else
    base::Page("<INPUT TYPE=checkbox NAME=sec ID=sec VALUE=YES>");
  base::Page(" %s <SELECT NAME=PERSIST ID=PERSIST>\n",
             web::LabelFor("PERSIST", Label(2116, "Persistent")));
  const std::string& asked = web::GetParam(list, "PERSIST");
  int persist = web::IsAbsent(asked) ? v.persist : web::GetParamInt(list, "PERSIST");
  constexpr std::string_view kPersistNames[] = {"session", "day", "week", "30 days"};
  for (int i = 0; i < 4; ++i)
    base::Page("<OPTION VALUE=%d%s>%s\n", i, i == persist ? " SELECTED" : "",
               Label(2117 + i, kPersistNames[i]));
  base::Write(nullptr, "</SELECT></TD></TR>\n");
  base::Page("<TR><TD ALIGN=RIGHT><P>%s : </TD><TD>", web::LabelFor("dbg", "Diagnostics"));
  base::Page("<INPUT TYPE=checkbox NAME=dbg ID=dbg VALUE=YES%s> %s</TD></TR>\n",
             v.debug == "YES" ? " CHECKED" : "", kDebugHint);
  RowStart(2124, "Sheets per result page", "PAGESIZE");
  base::Page("<INPUT NAME=PAGESIZE ID=PAGESIZE SIZE=6 VALUE=%d></TD></TR>\n", v.pagesize);
  RowStart(2556, "Display language", "lang");
  base::Write(nullptr, "<SELECT NAME=lang ID=lang>\n");
  for (std::string_view code : {"EN", "FR"})
    base::Page("<OPTION%s>%s\n", config::Msg(1) == code ? " SELECTED" : "", code);
  base::Write(nullptr, "</SELECT></TD></TR>\n");
  base::Write(nullptr,
              "<TR><TD ALIGN=RIGHT><INPUT TYPE=reset></TD>"
              "<TD><INPUT TYPE=submit VALUE=\"Next\"></TD></TR>\n");
  base::Write(nullptr, "</TABLE>\n</FORM>\n");
}

bool SaveMainConfig(const web::ParamList& list) {
  if (!MaySaveShared(list)) {
    web::ErrorBox(config::kMsgNoSetupRight);
    return false;
  }
  config::MainConfigValues v = MainValuesFromForm(list);
  // Both copies are written before the file is shown: the one this program reads, which the
  // form showed (it holds the mailbox password: for the owner alone), then the configuration
  // directory's.
  const std::string config_dir = config::GetConfigDir();
  const std::string text = config::MainConfigFileText(v);
  const FormSave save = SaveFormFile(
      config::GetConfigPath(), list, [&](const std::string&) { return text; }, true);
  if (save.stale) {
    WriteTitleBar("<Font size=7>QUORB.cfg Setup</font>", kMain);
    WriteChangedMeanwhile();
    ShowFile(config::GetConfigPath());
    const TypedForm typed{text, save.revision};
    WriteMainConfigForm(0, list, &typed);
    return false;
  }
  if (save.saved) config::ForgetMainConfig();
  if (!save.saved || !config::WriteMainConfig(config_dir, v)) {
    WriteSaveFailure(save.saved ? errno : save.error);
    return false;
  }
  WriteTitleBar("<Font size=7>QUORB.cfg Setup</font>", kMain);
  ShowFile(config::GetConfigPath());
  return true;
}

}  // namespace setup
