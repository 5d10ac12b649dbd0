#include "front/home.h"

#include "base/encode.h"
#include "base/out.h"
#include "config/language.h"
#include "config/main_config.h"
#include "users/rights.h"
#include "web/cookies.h"
#include "web/page.h"

namespace front {
namespace {

constexpr std::string_view kProductSite = "http://www.quorb.org/";

void WriteTitleBlock() {
  base::Write(nullptr, "<TABLE WIDTH=100% HEIGHT=40%>\n<TR><TD ALIGN=CENTER>\n");
  base::Page("<A HREF=\"%s\">\n", kProductSite);
  base::Page("<IMG src=%s/quorb.gif ALT=QUORB Border=0></A>\n", config::GetImageDir());
  base::Write(nullptr, "</TD></TR>\n<TR><TD ALIGN=CENTER>\n");
  base::Write(nullptr, "<FONT SIZE=+2><B>QUORB, the fact sheet tracker</B></FONT>\n");
  base::Write(nullptr, "</TD></TR>\n<TR><TD ALIGN=CENTER>\n");
  base::Page("<FONT SIZE=-1><B> %s %s</B></FONT>&nbsp; \n", web::kLanguageVersion, config::Msg(1));
  base::Write(nullptr, "</TD></TR>\n");
  base::Write(nullptr, "</TABLE><BR>\n");
  base::Write(nullptr, "\n");
}

void WriteIconCell(std::string_view link, std::string_view image_format, int label) {
  const std::string& text = config::Msg(label);
  base::Write(nullptr, "<TD ALIGN=CENTER WIDTH=20%>\n");
  base::Write(nullptr, link);
  base::Page(image_format, config::GetImageDir(), text);
  base::Page("%s</A></TD>\n", text);
}

std::string CommandLink(std::string_view format) {
  return base::Sprintf(format, web::ScriptName(), web::UidSuffix());
}

std::string CommandLink(std::string_view format, std::string_view command) {
  return base::Sprintf(format, web::ScriptName(), command, web::UidSuffix());
}

void WriteMenu() {
  constexpr std::string_view kCommand = "<A HREF=\"%s?CMD=%s%s\">\n";
  base::Write(nullptr, "<TABLE WIDTH=100% HEIGHT=50%>\n");
  base::Write(nullptr, "<TR>\n<TD>&nbsp</TD>\n");
  WriteIconCell(CommandLink("<A HREF=\"%s?CMD=setup%s\">\n"),
                "<IMG src=%s/setup.gif BORDER=0 ALT=%s><BR>\n", 3000);
  WriteIconCell(CommandLink("<A HREF=\"%s?CMD=create%s\">\n"),
                "<IMG src=%s/new.gif BORDER=0 ALT=%s><BR>\n", 3001);
  WriteIconCell(CommandLink("<A HREF=\"%s?CMD=search%s\">\n"),
                "<IMG src=%s/list.gif BORDER=0 ALT=%s><BR>\n", 3002);
  WriteIconCell(CommandLink(kCommand, "book"),
                "<IMG src=%s/book.gif BORDER=0 ALT=\"%s\" WIDTH=64 HEIGHT=64><BR>\n", 3003);
  base::Write(nullptr, "<TD>&nbsp</TD>\n</TR>\n");
  base::Write(nullptr, "<TR>\n<TD>&nbsp</TD>\n");
  WriteIconCell(CommandLink("<A HREF=\"%s?CMD=history%s\">\n"),
                "<IMG src=%s/history.gif BORDER=0 ALT=%s><BR>\n", 3004);
  WriteIconCell(CommandLink(kCommand, "statS"), "<IMG src=%s/stats.gif BORDER=0 ALT=%s><BR>\n",
                3005);
  WriteIconCell(base::Sprintf("<A HREF=\"%s\">\n", HelpFolder(config::GetImageDir())),
                "<IMG src=%s/help.gif BORDER=0 ALT=%s><BR>\n", 3006);
  WriteIconCell(CommandLink(kCommand, "tests"),
                "<IMG src=%s/tests.gif BORDER=0 ALT=\"%s\" WIDTH=64 HEIGHT=64><BR>\n", 3007);
  base::Write(nullptr, "<TD>&nbsp</TD>\n</TR>\n");
  base::Write(nullptr, "</TABLE>\n");
}

}  // namespace

std::string HelpFolder(std::string_view image_dir) {
  std::string_view dir = image_dir;
  while (!dir.empty() && dir.back() == '/') dir.remove_suffix(1);
  size_t slash = dir.rfind('/');
  dir = slash == std::string_view::npos ? std::string_view() : dir.substr(0, slash);
  return std::string(dir) + "/help/";
}

void WriteHomePage(const web::ParamList& list) {
  web::WritePageHead(nullptr, "QUORB", "", list);
  WriteTitleBlock();
  web::CheckLanguageVersion();
  if (users::CanUseMenu(list))
    WriteMenu();
  else
    web::ErrorBox(514);
  // With security on, the way out: the logout page empties the cookie.
  if (config::IsSecurityOn()) {
    base::Page("<P ALIGN=RIGHT><A HREF=\"%s?Login=0\">%s</A></P>\n",
               base::EscapeHtml(web::ScriptName()), config::Msg(533));
    // The member's keys for scripts and feed readers.
    base::Page("<P ALIGN=RIGHT><A HREF=\"%s?CMD=keys%s\">%s</A></P>\n",
               base::EscapeHtml(web::ScriptName()), base::EscapeHtml(web::UidSuffix()),
               config::Msg(2880));
  }
  base::Write(nullptr, "\n\n\n");
}

void WriteHelpPage(web::ParamList& list) {
  web::WritePageHead(nullptr, "HELP", "", list);
  web::WriteHomeLink();
  base::Page("<H1>QUORB %s</H1>\n", config::Msg(3006));
  web::ErrorBox(506);
}

}  // namespace front
