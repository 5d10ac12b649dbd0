// Creating a sheet through the browser: the form (CMD=create) and its post (CMD=new), with
// the files the creation writes and the mail it sends.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "../unit/smtp_peer.h"
#include "harness.h"
#include "store/sheet.h"

namespace {

using e2e::Fields;
using e2e::FormBody;
using e2e::Has;
using e2e::Installation;
using e2e::With;

// Every field of the form, filled; values url-encoded.
Fields FullForm() {
  Fields form = {
      {"CMD", "new"},          {"QS", ""},         {"title", "A+bug"}, {"project", "TEST"},
      {"group", "GUI"},        {"prog", "prog1"},  {"sev", "2"},       {"impact", "b"},
      {"phase", "b"},          {"version", "1.0"}, {"exp", "2.0"},     {"type", "1"},
      {"submitter", "kolvar"}, {"test", "T1"},     {"mdapda", "CR"},   {"Load", "3"}};
  form.emplace_back("text", "Line+1%0D%0Aline+%3Cb%3E");
  return form;
}

Fields Without(Fields fields, const std::string& name) {
  std::erase_if(fields, [&](const auto& f) { return f.first == name; });
  return fields;
}

const std::string kCreatedHead = e2e::PageHead("Fact sheet created");

// After the sheet of a creation page, nothing but comments.
void ExpectOnlyCommentsAfterTheSheet(const std::string& page) {
  const std::string tail = page.substr(page.find("</TABLE><P>\n") + 12);
  for (size_t at = tail.find('<'); at != std::string::npos; at = tail.find('<', at + 1))
    EXPECT_EQ(tail[at + 1], '!') << tail;
}

// The sheet's header line as its file holds it.
std::string HeaderLine(const Installation& inst, const std::string& name) {
  std::string file = inst.Read("data/" + name);
  return file.substr(0, file.find('\n') + 1);
}

int CreatedTime(const Installation& inst, const std::string& name) {
  store::FactSheet sheet;
  std::string line = HeaderLine(inst, name);
  line.pop_back();
  store::ParseHeader(line, sheet);
  return sheet.created;
}

TEST(SheetCreation, RefusedWithEveryMissingFieldAtOnce) {
  e2e::SampleInstallation inst;
  const std::vector<std::pair<std::string, std::string>> order = {
      {"title", "Title"},  {"project", "Project"}, {"group", "Sub-project"},
      {"prog", "Program"}, {"sev", "Severity"},    {"impact", "Impact"},
      {"phase", "Phase"},  {"version", "Version"}, {"submitter", "Submitted by"}};
  // The start of a refusal: under the form's title, the error, then the form again (see
  // day_test.cpp).
  auto refused = [&](const Fields& form, const std::string& labels) {
    return inst.Post(FormBody(form))
        .out.starts_with(e2e::PageHead("New fact sheet") + e2e::kErrorBox + labels +
                         "</TD></TR></TABLE>");
  };
  // All required fields missing, then added one at a time: each refusal names all that are
  // still missing, in the form's order.
  Fields form = FullForm();
  for (const auto& [name, label] : order) form = Without(form, name);
  const Fields full = FullForm();
  for (size_t i = 0; i < order.size(); ++i) {
    std::string labels = "Please fill in the field" + std::string(i + 1 < order.size() ? "s" : "") +
                         ": " + order[i].second;
    for (size_t j = i + 1; j < order.size(); ++j) labels += ", " + order[j].second;
    EXPECT_TRUE(refused(form, labels)) << labels;
    for (const auto& f : full)
      if (f.first == order[i].first) form.push_back(f);
  }
  // A value beginning with a blank, or left empty, is missing too.
  EXPECT_TRUE(refused(With(full, "title", "+x"), "Please fill in the field: Title"));
  EXPECT_TRUE(refused(With(full, "title", ""), "Please fill in the field: Title"));
  EXPECT_TRUE(refused(With(full, "phase", ""), "Please fill in the field: Phase"));
  // Nothing was stored, logged or remembered.
  for (const char* name : {"index", "history.dat", "TsG.00001"})
    EXPECT_FALSE(inst.Exists(std::string("data/") + name)) << name;
  EXPECT_FALSE(inst.Exists("config/userinfo.dat"));
  // The optional fields may all be missing.
  Fields minimal = FullForm();
  for (const char* name : {"exp", "type", "test", "mdapda", "Load", "text", "QS"})
    minimal = Without(minimal, name);
  inst.Post(FormBody(minimal));
  EXPECT_TRUE(inst.Exists("data/TsG.00001"));
}

// Numbers count per prefix; the header line ends with the values as stored (corrLoad, Load,
// title), and the page shows them, never as markup (the catalogue tries every field).
TEST(SheetCreation, NumbersPerPrefixAndValuesAsStored) {
  e2e::SampleInstallation inst;
  struct Case {
    Fields form;
    std::string name, header_end, shown;
  };
  const Case cases[] = {
      {FullForm(), "TsG.00001", "|CR|T1|0|3|A bug\n", "Title : <B>A bug</B>"},
      {FullForm(), "TsG.00002", "", ""},
      {With(FullForm(), "phase", "a"), "TaG.00001", "", ""},
      {With(FullForm(), "group", "Core"), "TsC.00001", "", ""},
      // The form's default Load gives 1; a word gives 0.
      {With(With(FullForm(), "text", ""), "Load", "1"), "TsG.00003", "|CR|T1|0|1|A bug\n", ""},
      {With(Without(FullForm(), "text"), "Load", "abc"), "TsG.00004", "|CR|T1|0|0|A bug\n", ""},
      {With(FullForm(), "title", "%3Cscript%3Ealert(1)%3C%2Fscript%3E"), "TsG.00005",
       "|<script>alert(1)</script>\n", "Title : <B>&lt;script&gt;alert(1)&lt;/script&gt;</B>"},
  };
  std::string index;
  for (const Case& c : cases) {
    const std::string page = inst.Post(FormBody(c.form)).out, header = HeaderLine(inst, c.name);
    EXPECT_TRUE(Has(page, "<H1>" + c.name + "</H1>")) << c.name;
    EXPECT_TRUE(header.ends_with(c.header_end)) << header;
    EXPECT_TRUE(Has(page, c.shown)) << c.name;
    EXPECT_FALSE(Has(page, "<script>"));
    index += header;
  }
  // Each file exists, and the index holds one line per sheet, in creation order.
  EXPECT_EQ(inst.Read("data/index"), index);
  // Without a text, the description is empty.
  for (const char* name : {"TsG.00003", "TsG.00004"})
    EXPECT_TRUE(
        Has(inst.Read(std::string("data/") + name), "=!=!=!=!=!=!=!=!=!=!=!=\nDescription|" +
                                                        std::to_string(CreatedTime(inst, name)) +
                                                        "|kolvar|1\n\n=-=-=-=-=-=-=-=-=-=-=-=\n"))
        << name;
}

// Nothing listens at the relay (MAILSERV 127.0.0.1:1): the sheet is stored and shown all the
// same, and its mail waits in the spool.
TEST(SheetCreation, PageFilesJournalUserContextAndSpooledMail) {
  e2e::SampleInstallation inst;
  inst.Write("config/sendmail.cfg", "# who hears of new sheets\nnew s tessin\n");
  auto r = inst.Post(FormBody(FullForm()));
  ASSERT_EQ(r.exit_code, 0);

  const int created = CreatedTime(inst, "TsG.00001");
  const std::string header = "G|1|b|" + std::to_string(created) +
                             "|kolvar|c|TEST|GUI|prog1|1.0|2.0|a|0|||0|||0||b|b|CR|T1|0|3|A bug\n";
  std::string file = inst.Read("data/TsG.00001");
  // The log line carries the time of the logging itself.
  const size_t log_at = file.rfind("=-=-=-=-=-=-=-=-=-=-=-=\n");
  ASSERT_NE(log_at, std::string::npos);
  const std::string log = file.substr(file.find('\n', log_at + 24) + 1);
  ASSERT_EQ(log.size(), 40u) << log;
  const std::string date = log.substr(0, 19);
  EXPECT_EQ(log, date + " Submitted by kolvar\n");
  EXPECT_EQ(file, header + "=!=!=!=!=!=!=!=!=!=!=!=\nDescription|" + std::to_string(created) +
                      "|kolvar|17\nLine 1\r\nline <b>\n=-=-=-=-=-=-=-=-=-=-=-=\n40\n" + log);
  EXPECT_EQ(inst.Read("data/index"), header);
  EXPECT_EQ(inst.Read("data/history.dat"), date + " TsG.00001 Submitted by kolvar\n");
  EXPECT_EQ(inst.Read("config/userinfo.dat"), "192.0.2.10:kolvar:TEST:GUI:1\n");

  // The page layout itself is checked by the display tests; here what this sheet put in it.
  EXPECT_TRUE(r.out.starts_with(kCreatedHead)) << r.out;
  for (const std::string& part :
       {std::string("<TR><TD ALIGN=LEFT><H1>TsG.00001</H1></TD>"),
        std::string("<TD>Status : <B>New</B></TD>"), std::string("Test reference: T1</TD>"),
        // Shown as stored: pasted text reads as typed, with the line feed storing adds.
        std::string("<TR><TD COLSPAN=3>Line 1\r<BR>\nline &lt;b><BR>\n</FONT>"),
        "<TR><TD><PRE>" + log + "</PRE></TD></TR>\n</TABLE><P>\n"})
    EXPECT_TRUE(Has(r.out, part)) << part;
  // The page is out before the relay is tried: the mail waits in the spool, and the failure
  // goes to the server's log. No error box, nothing after the sheet but comments.
  EXPECT_TRUE(e2e::Has(r.err, "cannot reach the mail server 127.0.0.1:1")) << r.err;
  const std::vector<std::string> spool = inst.List("data/Mail");
  ASSERT_EQ(spool.size(), 4u);  // the entry's two files, the lock, the stamp
  // The entry is its recipients' mail: no other account of the machine reads it.
  EXPECT_EQ(e2e::Mode(inst, "data/Mail/" + spool[0]), 0600);
  EXPECT_EQ(e2e::Mode(inst, "data/Mail/" + spool[1]), 0600);
  EXPECT_FALSE(Has(r.out, "COLOR=RED"));
  ExpectOnlyCommentsAfterTheSheet(r.out);
  EXPECT_EQ(inst.List("data/tmp"), std::vector<std::string>{"quorb.log"});  // DEBUG's trace
}

// A quiet site's cron job delivers what waits, from a shell only.
TEST(SheetCreation, SyncCommandDeliversTheSpoolFromAShellOnly) {
  e2e::SampleInstallation inst;
  inst.Write("config/sendmail.cfg", "new s tessin\n");
  inst.Post(FormBody(FullForm()));
  ASSERT_EQ(inst.List("data/Mail").size(), 4u);
  mail_test::ScriptedPeer relay(mail_test::ScriptedPeer::Mode::kAnswer);
  inst.WriteConfig(inst.DefaultConfig("MAILSERV " + relay.server() + "\n"));
  e2e::Request r;
  r.args = {"--sync"};
  // From the web, the argument is a query like any other (and the spool was tried a moment ago).
  EXPECT_TRUE(Has(inst.Run(r).out, "Content-type"));
  EXPECT_EQ(inst.List("data/Mail").size(), 4u);
  r.env = {{"GATEWAY_INTERFACE", ""}};
  const e2e::CgiResult shell = inst.Run(r);
  EXPECT_EQ(shell.exit_code, 0);
  EXPECT_EQ(shell.out, "");
  const std::string sent = relay.Received();
  EXPECT_TRUE(Has(sent, "Subject: Bug TsG.00001 New by kolvar\r\n")) << sent << shell.err;
  EXPECT_EQ(inst.List("data/Mail"), std::vector<std::string>{"lock"});
}

TEST(SheetCreation, SheetThatCannotBeStoredIsReportedAndNotMailed) {
  e2e::SampleInstallation inst;
  // A project code that would put the sheet outside the data directory is refused by the store.
  inst.WriteProjects("TEST:T/X:kolvar:tessin\n");
  inst.Write("config/sendmail.cfg", "new tessin\n");
  auto r = inst.Post(FormBody(FullForm()));
  EXPECT_TRUE(Has(r.out, "<H1>T/XsG.00001</H1>"));
  // The file is named relative to the data folder.
  EXPECT_TRUE(r.out.ends_with("</TABLE><P>\n" + e2e::kErrorBox +
                              "Unable to open the file T/XsG.00001.</TD></TR></TABLE>"))
      << r.out;
  EXPECT_FALSE(inst.Exists("data/Mail"));
  EXPECT_FALSE(inst.Exists("data/T"));
  // Nothing claims a sheet that is not there.
  EXPECT_EQ(inst.Read("data/index"), "");
  EXPECT_EQ(inst.Read("data/history.dat"), "");
}

TEST(SheetCreation, MailCarriesTheSheetWithAbsoluteLinks) {
  mail_test::ScriptedPeer relay(mail_test::ScriptedPeer::Mode::kAnswer);
  e2e::SampleInstallation inst("MAILSERV " + relay.server() + "\n");
  inst.Write("config/sendmail.cfg", "new s tessin M\n");
  auto r = inst.Post(FormBody(FullForm()), "application/x-www-form-urlencoded",
                     {{"SERVER_PORT", "8080"}});
  const std::string sent = relay.Received();
  // The acting submitter is left out, though the manager is the submitter too.
  EXPECT_FALSE(Has(sent, "kolvar@")) << sent;
  // The mail's bar is the first of the request (the stored creation's page is a redirect);
  // its links work from a mail reader.
  EXPECT_TRUE(Has(sent, "<HTML>\r\n<a name=00000>\r\n")) << sent;
  EXPECT_TRUE(Has(sent,
                  "<TD><A HREF=http://localhost:8080/cgi-bin/quorb.cgi?CMD=Change_Header"
                  "&Num=TsG.00001&QS=><IMG NAME=Change_HeaderTsG_00001 "
                  "SRC=http://localhost:8080/quorb/images//header.gif "))
      << sent;
  EXPECT_TRUE(Has(sent,
                  "<A HREF=http://localhost:8080/cgi-bin/quorb.cgi?CMD=Edit&Num=TsG.00001"
                  "&Edit=0>Description</A>"))
      << sent;
  EXPECT_TRUE(Has(r.out, "<TD><A HREF=/cgi-bin/quorb.cgi?CMD=Change_Header&Num=TsG.00001&QS=>"));
}

// Where the links of a mail lead and whom it is from, as the site names itself.
TEST(SheetCreation, MailLinksFollowTheBaseUrlAndNeverDoubleAPort) {
  struct Case {
    std::string config;  // added to quorb.cfg
    std::string port;    // SERVER_PORT
    std::string base;    // the links' start
    std::string from;    // the sender's host
  };
  const Case cases[] = {
      {"HOSTNAME localhost:18300\n", "18300", "http://localhost:18300/", "localhost"},
      {"HOSTNAME [::1]:18300\n", "18300", "http://[::1]:18300/", "[::1]"},
      {"HOSTNAME bugs.example.org\n", "8080", "http://bugs.example.org:8080/", "bugs.example.org"},
      {"BASEURL https://bugs.example.org/tools/\n", "8080", "https://bugs.example.org/tools/",
       "localhost"},
      // Not a plain address: today's rule.
      {"BASEURL https://bugs.example.org/a b\n", "80", "http://localhost/", "localhost"},
      {"BASEURL javascript:alert(1)\n", "80", "http://localhost/", "localhost"},
  };
  for (const Case& c : cases) {
    mail_test::ScriptedPeer relay(mail_test::ScriptedPeer::Mode::kAnswer);
    e2e::SampleInstallation inst("MAILSERV " + relay.server() + "\n" + c.config);
    inst.Write("config/sendmail.cfg", "new s tessin M\n");
    inst.Post(FormBody(FullForm()), "application/x-www-form-urlencoded", {{"SERVER_PORT", c.port}});
    const std::string sent = relay.Received();
    EXPECT_TRUE(Has(sent, "<A HREF=" + c.base + "cgi-bin/quorb.cgi?CMD=Edit&Num=TsG.00001&Edit=0>"))
        << c.config << sent;
    EXPECT_TRUE(Has(sent, "SRC=" + c.base + "quorb/images//header.gif ")) << c.config;
    EXPECT_TRUE(Has(sent, "\"Bug Manager\" <www@" + c.from + ">\r\n")) << c.config << sent;
  }
}

}  // namespace
