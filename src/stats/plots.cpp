// Pages 5, 7 and 9: a plot of one statistics file over the last weeks, drawn in the browser
// by StatPlot from the data pages 6, 8 and 10.
#include <cstdlib>
#include <ctime>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "config/language.h"
#include "config/main_config.h"
#include "stats/page_parts.h"
#include "stats/stat_line.h"
#include "web/cookies.h"
#include "web/response.h"

namespace stats {
namespace {

using config::Msg;

// The week counts the selector offers, and the most a request may ask for: the data pages
// print one line per day.
constexpr int kOfferedWeeks = 14;
constexpr int kMaxWeeks = 520;

int Weeks(const web::ParamList& list) {
  int weeks = web::GetParamInt(list, "Week");
  if (weeks < 1) return 2;
  return weeks > kMaxWeeks ? kMaxWeeks : weeks;
}

// The applet folder beside the image folder: the image directory without its trailing "/"
// and its last component, then "/java/".
std::string AppletFolder(std::string_view image_dir) {
  while (!image_dir.empty() && image_dir.back() == '/') image_dir.remove_suffix(1);
  size_t slash = image_dir.rfind('/');
  image_dir = slash == std::string_view::npos ? std::string_view() : image_dir.substr(0, slash);
  return std::string(image_dir) + "/java/";
}

void WriteForm(const View& view, int weeks) {
  const std::string script = Script();
  const std::string uid = web::UidSuffix();
  const std::string week = base::Sprintf("&%s=%d", "Week", weeks);
  OpenViewForm(view, 2);
  WriteProjectSelector(view, base::Sprintf("&%s=%s", "group", "TOTAL") + week);
  base::Page(" %s : \n", Msg(101));
  WriteStatsGroupSelector(view,
                          base::Sprintf("<OPTION VALUE=\"%s?%s=%s&%s=%d&%s=%d%s\">&nbsp\n", script,
                                        "CMD", "statS", "statS", view.page, "Week", weeks, uid),
                          week);
  base::Page("</TD><TD>\n");
  base::Page("%s:<SELECT NAME=\"%s\" ARIA-LABEL=\"%s\" onChange=", Msg(2563), "SPMENU",
             base::EscapeHtml(Msg(2563)));
  base::Page(" \"changePage(this.options[this.selectedIndex].value,%s)\" >\n", "SPMENU");
  const std::string project = LinkValue(view.project);
  const std::string group = LinkValue(view.GroupOrTotal());
  for (int n = 1; n <= kOfferedWeeks; ++n) {
    base::Page("<OPTION VALUE=\"%s?%s=%s&%s=%d&%s=%s&%s=%s&%s=%d%s\"", script, "CMD", "statS",
               "statS", view.page, "project", project, "group", group, "Week", n, uid);
    if (n == weeks) base::Page(" SELECTED ");
    base::Page(">%d\n", n);
  }
  base::Page("</SELECT>\n");
  base::Page("%s</TD></TR></TABLE></FORM>\n", Msg(2564));
}

void WriteLegendEntry(std::string_view colour, int message, bool first) {
  if (!first) base::Page("  </TD><TD ALIGN=CENTER>\n");
  base::Page("  <FONT COLOR=%s SIZE=+2>--</FONT> : %s", colour, Msg(message));
}

}  // namespace

void WritePlotPage(const View& view) {
  const int title = view.page == 5 ? 2560 : view.page == 7 ? 2570 : 2580;
  const int data = view.page + 1;
  const int weeks = Weeks(view.list);
  const std::string path = ViewFilePath(view);
  const bool exists = !path.empty() && base::LineReader(path).IsOpen();
  if (!exists) base::Page("<H1>%s</H1>\n", Msg(title));
  WriteForm(view, weeks);
  if (!exists) {
    // Nothing for the plot to ask for yet: say when there will be.
    base::Page("<P>%s\n", Msg(2590));
    return;
  }

  const std::string applet = base::EscapeHtml(AppletFolder(config::GetImageDir()));
  const char* host = std::getenv("HTTP_HOST");
  base::Page("<TABLE BORDER=0 WIDTH=100%%>\n");
  base::Page("<TR><TD ALIGN=CENTER>\n");
  base::Page("<FONT Size=+3>%s %s\n", Msg(title),
             base::EscapeHtml(view.project + "." + view.GroupOrTotal()));
  base::Page("&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;</FONT><BR><br>\n");
  if (data == 10) {
    base::Page("</TD></TR>\n");
    base::Page("<TR><TD ALIGN=RIGHT>\n");
    base::Page("<P><FONT ALIGN=RIGHT>%s</FONT>\n", Msg(2585));
    base::Page("</TD></TR>\n");
    base::Page("<TR><TD ALIGN=CENTER>\n");
  }
  base::Page("<APPLET code=StatPlot.class ");
  base::Page("codebase=\"%s\" width=600 height=400>\n", applet);
  base::Page("<param name=Base value=\"http://%s", base::EscapeHtml(host ? host : ""));
  base::Page("%s?%s=%s&%s=%d", Script(), "CMD", "statS", "statS", data);
  base::Page("&%s=%s&%s=%s&%s=%d", "project", LinkValue(view.project), "group",
             LinkValue(view.GroupOrTotal()), "Week", weeks);
  base::Page("\">\n");
  if (data == 10) base::Page("<param name=CUMUL value=\"TRUE\" >\n");
  base::Page("</APPLET>\n\n");
  // Browsers no longer run applets: the script draws the plot of every APPLET element.
  base::Page("<SCRIPT SRC=\"%sStatPlot.js\"></SCRIPT>\n", applet);
  base::Page("</TD></TR>\n");
  base::Page("<TR><TD ALIGN=CENTER>\n");
  base::Page("  <TABLE WIDTH=100%%><TR><TD ALIGN=CENTER>\n");
  WriteLegendEntry("RED", title + 1, true);
  if (data == 10) {
    WriteLegendEntry("#FFAA33", title + 2, false);
    WriteLegendEntry("#FFFF33", title + 3, false);
    WriteLegendEntry("GREEN", title + 4, false);
  } else {
    WriteLegendEntry("GREEN", title + 2, false);
  }
  base::Page("  </TD></TR></TABLE>\n");
  base::Page("</TD></TR></TABLE>\n");
}

void WriteDataPage(const View& view) {
  const std::string path = ViewFilePath(view);
  base::LineReader reader(path);
  if (path.empty() || !reader.IsOpen()) {
    web::WriteStatusOnly(404, "Not Found");
    return;
  }
  web::ResponseHeader header;
  header.type = "text/html";
  web::WriteResponseHeader(header);
  DataWindow window(view.page, static_cast<long>(std::time(nullptr)), Weeks(view.list));
  std::string out;
  StatLine line;
  for (std::string text; reader.Next(text);) {
    if (!ParseStatLine(text, line)) continue;
    window.Add(line, out);
  }
  window.Finish(out);
  base::Write(nullptr, out);
}

}  // namespace stats
