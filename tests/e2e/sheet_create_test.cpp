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
using e2e::Installation;
using e2e::With;

// Every field of the form, filled; values url-encoded.
Fields FullForm() {
  return {{"CMD", "new"},
          {"QS", ""},
          {"title", "A+bug"},
          {"project", "TEST"},
          {"group", "GUI"},
          {"prog", "prog1"},
          {"sev", "2"},
          {"impact", "b"},
          {"phase", "b"},
          {"version", "1.0"},
          {"exp", "2.0"},
          {"type", "1"},
          {"submitter", "kolvar"},
          {"test", "T1"},
          {"mdapda", "CR"},
          {"Load", "3"},
          {"text", "Line+1%0D%0Aline+%3Cb%3E"}};
}

Fields Without(Fields fields, const std::string& name) {
  std::erase_if(fields, [&](const auto& f) { return f.first == name; });
  return fields;
}

const std::string kCreatedHead = e2e::PageHead("Fact sheet created");

// The start of a refusal: the error, then the form again (see day_test.cpp).
std::string RefusedPage(const std::string& field) {
  return kCreatedHead + e2e::kErrorBox + "Please fill in the field: " + field +
         "</TD></TR></TABLE>";
}

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

TEST(SheetCreation, RefusedFieldByFieldInOrder) {
  e2e::SampleInstallation inst;
  const std::vector<std::pair<std::string, std::string>> order = {
      {"title", "title"},  {"project", "Project"}, {"group", "Sub-project"},
      {"prog", "Program"}, {"sev", "Severity"},    {"impact", "Impact"},
      {"phase", "Phase"},  {"version", "Version"}, {"submitter", "Submitted by"}};
  // All required fields missing, then added one at a time: each refusal names the next one.
  Fields form = FullForm();
  for (const auto& [name, label] : order) form = Without(form, name);
  Fields full = FullForm();
  for (const auto& [name, label] : order) {
    EXPECT_TRUE(inst.Post(FormBody(form)).out.starts_with(RefusedPage(label))) << name;
    for (const auto& f : full)
      if (f.first == name) form.push_back(f);
  }
  // A value beginning with a blank, or left empty, is missing too.
  EXPECT_TRUE(inst.Post(FormBody(With(full, "title", "+x"))).out.starts_with(RefusedPage("title")));
  EXPECT_TRUE(inst.Post(FormBody(With(full, "title", ""))).out.starts_with(RefusedPage("title")));
  EXPECT_TRUE(inst.Post(FormBody(With(full, "phase", ""))).out.starts_with(RefusedPage("Phase")));
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

TEST(SheetCreation, NumbersCountPerPrefix) {
  e2e::SampleInstallation inst;
  auto h1 = [&](const Fields& form) {
    std::string out = inst.Post(FormBody(form)).out;
    size_t at = out.find("<H1>");
    return at == std::string::npos ? std::string() : out.substr(at + 4, 9);
  };
  EXPECT_EQ(h1(FullForm()), "TsG.00001");
  EXPECT_EQ(h1(FullForm()), "TsG.00002");
  EXPECT_EQ(h1(With(FullForm(), "phase", "a")), "TaG.00001");
  EXPECT_EQ(h1(With(FullForm(), "group", "Core")), "TsC.00001");
  // A sub-project the project does not list gives the code "_".
  EXPECT_EQ(h1(With(FullForm(), "group", "Other")), "Ts_.00001");
  EXPECT_EQ(HeaderLine(inst, "Ts_.00001").substr(0, 4), "_|1|");
  // Each file exists, and the index holds one line per sheet, in creation order.
  EXPECT_EQ(inst.Read("data/index"), HeaderLine(inst, "TsG.00001") + HeaderLine(inst, "TsG.00002") +
                                         HeaderLine(inst, "TaG.00001") +
                                         HeaderLine(inst, "TsC.00001") +
                                         HeaderLine(inst, "Ts_.00001"));
}

TEST(SheetCreation, EmptyTextAndLoadValues) {
  e2e::SampleInstallation inst;
  inst.Post(FormBody(With(With(FullForm(), "text", ""), "Load", "1")));
  inst.Post(FormBody(With(Without(FullForm(), "text"), "Load", "abc")));
  for (const char* name : {"TsG.00001", "TsG.00002"}) {
    std::string file = inst.Read(std::string("data/") + name);
    std::string entry = "=!=!=!=!=!=!=!=!=!=!=!=\nDescription|" +
                        std::to_string(CreatedTime(inst, name)) +
                        "|kolvar|1\n\n=-=-=-=-=-=-=-=-=-=-=-=\n";
    EXPECT_TRUE(e2e::Has(file, entry)) << file;
  }
  // The form's default Load gives 1 (corrLoad, Load, title end the header); a word gives 0.
  EXPECT_TRUE(HeaderLine(inst, "TsG.00001").ends_with("|CR|T1|0|1|A bug\n"));
  EXPECT_TRUE(HeaderLine(inst, "TsG.00002").ends_with("|CR|T1|0|0|A bug\n"));
}

TEST(SheetCreation, PageFilesJournalAndUserContext) {
  e2e::SampleInstallation inst;
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
  EXPECT_TRUE(r.out.starts_with(
      kCreatedHead +
      "<Table Width=100% Cellpadding=0 Cellspacing=0 border=0>\n"
      "<TR><TD ALIGN=LEFT><H1>TsG.00001</H1></TD>\n<TD ALIGN=RIGHT Valign=TOP>\n"
      "<A HREF=\"?\"><IMG SRC=\"/quorb/images//home.gif\" BORDER=0 VALIGN=CENTER></A>\n"
      "</TD></TR></Table>\n<a name=00000>\n"))
      << r.out;
  for (const std::string& part :
       {std::string("<TD>Status : <B>New</B></TD>"), std::string("Title : <B>A bug</B>"),
        std::string("Test reference: T1</TD>"),
        // Shown as stored: pasted text reads as typed, with the line feed storing adds.
        std::string("<TR><TD COLSPAN=3>Line&nbsp;1\r<BR>\nline&nbsp;&lt;b><BR>\n</FONT>"),
        "<TR><TD><PRE>" + log + "</PRE></TD></TR>\n</TABLE><P>\n"})
    EXPECT_TRUE(e2e::Has(r.out, part)) << part;
  // After the sheet nothing but comments (the mail went with the request that stored it).
  ExpectOnlyCommentsAfterTheSheet(r.out);
  EXPECT_EQ(inst.List("data/tmp"), std::vector<std::string>{"quorb.log"});  // DEBUG's trace
}

TEST(SheetCreation, LongTitleIsKeptAsTheFileHoldsIt) {
  e2e::SampleInstallation inst;
  const std::string title(300, 'x');
  auto r = inst.Post(FormBody(With(FullForm(), "title", title)));
  // The title field holds 199 characters; the page shows what was stored.
  EXPECT_TRUE(HeaderLine(inst, "TsG.00001").ends_with("|" + title.substr(0, 199) + "\n"));
  EXPECT_TRUE(e2e::Has(r.out, "Title : <B>" + title.substr(0, 199) + "</B>"));
}

TEST(SheetCreation, SheetThatCannotBeStoredIsReportedAndNotMailed) {
  e2e::SampleInstallation inst;
  // A project code that would put the sheet outside the data directory is refused by the store.
  inst.WriteProjects("TEST:T/X:kolvar:tessin\n");
  inst.Write("config/sendmail.cfg", "new tessin\n");
  auto r = inst.Post(FormBody(FullForm()));
  EXPECT_TRUE(e2e::Has(r.out, "<H1>T/XsG.00001</H1>"));
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

TEST(SheetCreation, UserTextNeverBecomesMarkup) {
  e2e::SampleInstallation inst;
  Fields form = With(FullForm(), "title", "%3Cscript%3Ealert(1)%3C%2Fscript%3E");
  form = With(form, "test", "%22%3E%3Cb%3E");
  auto r = inst.Post(FormBody(form));
  EXPECT_TRUE(e2e::Has(r.out, "Title : <B>&lt;script&gt;alert(1)&lt;/script&gt;</B>"));
  EXPECT_TRUE(e2e::Has(r.out, "Test reference: &quot;&gt;&lt;b&gt;</TD>"));
  EXPECT_FALSE(e2e::Has(r.out, "<script>"));
  // Stored as typed.
  EXPECT_TRUE(e2e::Has(HeaderLine(inst, "TsG.00001"), "|<script>alert(1)</script>\n"));
}

TEST(SheetCreation, NoRelayListeningStillStoresAndShowsTheSheet) {
  Installation inst;  // MAILSERV 127.0.0.1:1: nothing listens there
  e2e::WriteSampleProject(inst);
  inst.Write("config/sendmail.cfg", "# who hears of new sheets\nnew s tessin\n");
  auto r = inst.Post(FormBody(FullForm()));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(inst.Exists("data/TsG.00001"));
  EXPECT_TRUE(e2e::Has(r.out, "<H1>TsG.00001</H1>"));
  // The page is out before the relay is tried: the mail waits in the spool, and the failure
  // goes to the server's log. No error box, nothing after the sheet but comments.
  EXPECT_NE(r.err.find("cannot reach the mail server 127.0.0.1:1"), std::string::npos) << r.err;
  EXPECT_EQ(inst.List("data/Mail").size(), 4u);  // the entry's two files, the lock, the stamp
  EXPECT_FALSE(e2e::Has(r.out, "COLOR=RED"));
  ExpectOnlyCommentsAfterTheSheet(r.out);
  EXPECT_EQ(inst.List("data/tmp"), std::vector<std::string>{"quorb.log"});  // DEBUG's trace
  EXPECT_EQ(inst.Read("config/userinfo.dat"), "192.0.2.10:kolvar:TEST:GUI:1\n");
}

TEST(SheetCreation, MailCarriesTheSheetWithAbsoluteLinks) {
  mail_test::ScriptedPeer relay(mail_test::ScriptedPeer::Mode::kAnswer);
  e2e::SampleInstallation inst("MAILSERV " + relay.server() + "\n");
  inst.Write("config/sendmail.cfg", "new s tessin M\n");
  auto r = inst.Post(FormBody(FullForm()), "application/x-www-form-urlencoded",
                     {{"SERVER_PORT", "8080"}});
  const std::string sent = relay.Received();
  // The acting submitter is left out; the manager is the submitter too.
  EXPECT_TRUE(e2e::Has(sent, "\r\nRCPT TO:<tessin@example.org>\r\n")) << sent;
  EXPECT_FALSE(e2e::Has(sent, "kolvar@")) << sent;
  EXPECT_TRUE(e2e::Has(sent, "Subject: Bug TsG.00001 New by kolvar\r\n")) << sent;
  // The mail's bar is the second of the request; its links work from a mail reader.
  EXPECT_TRUE(e2e::Has(sent, "<HTML>\r\n<a name=00001>\r\n")) << sent;
  EXPECT_TRUE(e2e::Has(sent,
                       "<TD><A HREF=http://localhost:8080/cgi-bin/quorb.cgi?CMD=Change_Header"
                       "&Num=TsG.00001&QS=><IMG NAME=Change_HeaderTsG_00001 "
                       "SRC=http://localhost:8080/quorb/images//header.gif "))
      << sent;
  EXPECT_TRUE(e2e::Has(sent,
                       "<A HREF=http://localhost:8080/cgi-bin/quorb.cgi?CMD=Edit&Num=TsG.00001"
                       "&Edit=0>Description</A>"))
      << sent;
  // The page keeps its relative links.
  EXPECT_TRUE(
      e2e::Has(r.out, "<TD><A HREF=/cgi-bin/quorb.cgi?CMD=Change_Header&Num=TsG.00001&QS=>"));
}

TEST(SheetCreation, EachClientAddressGetsItsOwnRememberedContext) {
  e2e::SampleInstallation inst;
  const std::map<std::string, std::string> first = {{"REMOTE_ADDR", "192.0.2.21"}};
  const std::map<std::string, std::string> second = {{"REMOTE_ADDR", "192.0.2.22"}};
  inst.Post(FormBody(With(With(FullForm(), "group", "Core"), "submitter", "tessin")),
            "application/x-www-form-urlencoded", first);
  inst.Post(FormBody(With(FullForm(), "phase", "a")), "application/x-www-form-urlencoded", second);
  EXPECT_EQ(inst.Read("config/userinfo.dat"),
            "192.0.2.21:tessin:TEST:Core:1\n192.0.2.22:kolvar:TEST:GUI:0\n");
  // Read back: each address's next form comes pre-set with what it used last (the form test
  // checks every list that the context sets).
  std::string form1 = inst.Get("CMD=create", first).out;
  std::string form2 = inst.Get("CMD=create", second).out;
  EXPECT_TRUE(e2e::Has(form1, "<OPTION> GUI<OPTION SELECTED> Core</SELECT>")) << form1;
  EXPECT_TRUE(e2e::Has(form2, "<OPTION SELECTED> GUI<OPTION> Core</SELECT>")) << form2;
}

}  // namespace
