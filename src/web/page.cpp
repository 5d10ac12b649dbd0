#include "web/page.h"

#include "base/encode.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "web/cookies.h"
#include "web/response.h"

namespace web {
namespace {

constexpr std::string_view kDefaultColor = "#FFFFFF";

}  // namespace

void WritePageHead(base::Stream stream, std::string_view title, std::string_view color,
                   const ParamList& list) {
  bool given = !color.empty();
  if (!given) color = kDefaultColor;
  if (stream) {
    base::Printf(stream, "Content-Type: text/html; charset=us-ascii\n");
    base::Printf(stream, "<HTML>\n<HEAD>\n<TITLE>%s</TITLE>\n</HEAD>\n", base::EscapeHtml(title));
    base::Printf(stream, "<BODY BGCOLOR=\"%s\" TEXT=\"#000000\" >\n", color);
    return;
  }
  bool security = config::IsSecurityOn();
  StartHtmlPage();
  base::Page("<HTML LANG=\"%s\">\n<HEAD>\n%s", PageLanguage(), kEveryReaderHead);
  if (security) {
    WriteCookieFunctions();
    WriteCookieCheck(title, list);
  }
  base::Page("<TITLE>%s</TITLE>\n</HEAD>\n", base::EscapeHtml(title));
  if (!given)
    base::Page("<BODY BACKGROUND=%s/fond.gif BGCOLOR=\"%s\" ", config::GetImageDir(), color);
  else
    base::Page("<BODY BGCOLOR=\"%s\" ", color);
  base::Page("TEXT=\"#000000\" ");
  if (security) base::Page("onLoad=\"CookieCheck()\"");
  base::Page(">\n");
}

// The language file's code ("FR", "EN" ...) in lower case;
// a code that is not a language tag reads as the default's.
std::string PageLanguage() {
  std::string code = config::GetLanguageCode();
  bool letters = code.size() >= 2 && code.size() <= 3;
  for (char& c : code) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    letters = letters && c >= 'a' && c <= 'z';
  }
  return letters ? code : "fr";
}

namespace {
struct LastError {
  int number = 0;
};
}  // namespace

int LastErrorBox() {
  return base::Cache<LastError>().number;
}

void ForgetErrorBox() {
  base::Cache<LastError>().number = 0;
}

void ErrorBox(int n) {
  base::Cache<LastError>().number = n;
  base::Page("<Table WIDTH=400><TR><TD>\n");
  base::Page("<FONT COLOR=RED><H1>%s</H1></font>\n", config::Msg(500));
  base::Page("<P><HR><BR><BR>");
  base::Page("%s\n", config::Msg(n));
  base::Page("</TD></TR></TABLE>");
}

void ErrorBoxArg(int n, std::string_view arg) {
  base::Cache<LastError>().number = n;
  base::Page("<Table WIDTH=400><TR><TD>\n");
  base::Page("<FONT COLOR=RED><H1>%s</H1></font>\n", config::Msg(500));
  base::Page("<P><HR><BR><BR>");
  // A file is named as the administrator finds it in the data or configuration folder.
  base::Page(config::Msg(n), base::EscapeHtml(config::ShownPath(arg)));
  base::Page("</TD></TR></TABLE>");
}

std::string HomeAnchor(bool whole_window) {
  // The home page keeps the identity: "?" alone, or "?Uid=..." with security on.
  std::string query = UidSuffix();
  if (!query.empty()) query.erase(0, 1);
  return base::Sprintf(
      "<A HREF=\"?%s\"%s><IMG SRC=\"%s/home.gif\" BORDER=0 VALIGN=CENTER ALT=\"QUORB\" "
      "TITLE=\"QUORB\"></A>",
      base::EscapeHtml(query), whole_window ? " TARGET=\"_top\"" : "", config::GetImageDir());
}

void WriteHomeLink() {
  base::Page("<TABLE WIDTH=100%% BORDER=0><TR><TD ALIGN=RIGHT>%s</TD></TR></TABLE>\n",
             HomeAnchor());
}

void CheckLanguageVersion() {
  if (config::Msg(2) == kLanguageVersion) return;
  base::Page("<P Align=Center><FONT COLOR=RED>Please update langage file ");
  base::Page("langue.%s in configuration directory.</P></FONT>\n", config::Msg(1));
}

void LabelCell(int message, std::string_view field) {
  if (field.empty())
    base::Page("<TD><B>%s</B></TD>\n", config::Msg(message));
  else
    base::Page("<TD>%s</TD>\n", LabelFor(field, "<B>" + config::Msg(message) + "</B>"));
}

std::string LabelFor(std::string_view field, std::string_view text) {
  return base::Sprintf("<LABEL FOR=%s>%s</LABEL>", field, text);
}

std::string AriaLabel(std::string_view text) {
  return base::Sprintf(" ARIA-LABEL=\"%s\"", base::EscapeHtml(text));
}

void OpenSelectCell(std::string_view name) {
  base::Page("<TD><SELECT NAME=%s ID=%s>\n", name, name);
}

void CloseSelectCell() {
  base::Write(nullptr, "</SELECT></TD>\n");
}

void WriteProjectChoices(std::string_view cmd, std::string_view project, std::string_view uid) {
  const std::string script = ScriptName();
  for (const std::string& name : config::ListProjects(" ")) {
    base::Page("<OPTION VALUE=\"%s?%s=%s&%s=%s%s\" ", script, "CMD", cmd, "project",
               base::EscapeHtml(name), uid);
    if (name == project) base::Write(nullptr, "SELECTED ");
    base::Page("> %s \n", base::EscapeHtml(name));
  }
}

void WriteProjectChangeScript(std::string_view cmd) {
  base::Write(nullptr, "<SCRIPT LANGUAGE=\"JavaScript\">\n");
  base::Page(
      "function changePage(page,menu)\n{\n"
      "   var f = menu && menu.form;\n"
      "   if (f && f.CMD && f.project) {\n"
      "     f.CMD.value = \"%s\";\n"
      "     f.project.value = menu.options[menu.selectedIndex].text.trim();\n"
      "     f.submit();\n"
      "     return;\n"
      "   }\n"
      "   document.location = page\n}\n",
      cmd);
  base::Write(nullptr, "</SCRIPT>\n");
}

}  // namespace web
