// Two people, one sheet: a form carries the sheet's revision as it showed it, and a commit on
// a sheet changed since is refused with nothing stored, what was typed kept and the change
// made meanwhile shown; a resubmit of the refused page, which carries the current revision,
// is stored. Actions that only add an entry merge.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "store/store.h"

namespace {

using e2e::Has;
using e2e::InProcess;
using e2e::Installation;
using e2e::Lines;

std::string MakeSharedSheet(const Installation& inst) {
  InProcess req(inst);
  store::FactSheet s;
  s.project = "TEST", s.group = "GUI", s.subCode = "G", s.phase = 1, s.prog = "prog1";
  s.sev = 2, s.impact = 1, s.version = "1.0", s.submitter = "kolvar", s.title = "Crash";
  s.Load = 3, s.created = 946681200;
  store::LogAction(s, "Submitted by %s", "kolvar");
  store::AddEntry(s, "Description", "kolvar", 946681200, "Text.\n");
  EXPECT_EQ(store::CreateSheet(s), store::Stored::kOk);
  return store::GetSheetName(s);
}

std::string SharedSheetLog(const Installation& inst, const std::string& name) {
  InProcess req(inst);
  std::optional<store::FactSheet> sheet = store::ReadSheet(name);
  return sheet ? sheet->log : std::string();
}

// The value of the hidden revision field of a page, percent-encoded for a form body.
std::string ShownRevision(const std::string& page) {
  const std::string mark = "NAME=Rev VALUE=\"";
  size_t at = page.find(mark);
  if (at == std::string::npos) return "";
  at += mark.size();
  std::string value = page.substr(at, page.find('"', at) - at);
  std::string out;
  for (char c : value) out += c == '/' ? std::string("%2F") : c == ':' ? "%3A" : std::string(1, c);
  return out;
}

TEST(MidAirCollision, StaleFormIsRefusedKeepsTypingAndResubmits) {
  struct Case {
    const char* form;    // the form, after "Num=<name>&"
    const char* commit;  // its commit body, after "Num=<name>&"
    const char* typed;   // what the refused page must still hold
    bool merges;
  };
  const Case kCases[] = {
      {"CMD=Change_Header",
       "CMD=Change_Header&Reload=&User=tessin&title=Typed+title&project=TEST&group=GUI"
       "&prog=prog1&sev=2&impact=b&phase=b&version=1.0&submitter=kolvar&Load=3",
       "Typed title", false},
      {"CMD=Edit&Edit=0", "CMD=Edit&Edit=0&User=tessin&title=Mine&text=typed+body", "typed body",
       false},
      {"CMD=Copy", "CMD=Copy&User=tessin&project=TEST&group=GUI&prog=prog1&sev=3&phase=b",
       "<OPTION VALUE=3 SELECTED >", false},
      {"CMD=Open", "CMD=Open&User=tessin&submitter=kolvar", "kolvar", false},
      {"CMD=Analyse", "CMD=Analyse&User=tessin&title=Mine&text=typed+body", "", true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.form);
    e2e::SampleInstallation inst;
    const std::string name = MakeSharedSheet(inst);
    const std::string rev = ShownRevision(inst.Get(std::string("Num=") + name + "&" + c.form).out);
    ASSERT_FALSE(rev.empty());
    // Someone else stores a change meanwhile.
    inst.Post("CMD=Analyse&Num=" + name + "&User=kolvar&title=Other&text=meanwhile");
    const std::string after_other = inst.Read("data/" + name);
    const std::string last = Lines(SharedSheetLog(inst, name)).back();

    e2e::CgiResult stale = inst.Post(std::string("Num=") + name + "&" + c.commit + "&Rev=" + rev);
    if (c.merges) {
      EXPECT_NE(inst.Read("data/" + name), after_other);
      continue;
    }
    EXPECT_EQ(inst.Read("data/" + name), after_other);
    EXPECT_TRUE(Has(stale.out, "was changed by someone else")) << stale.out;
    EXPECT_TRUE(Has(stale.out, "<LI>" + last + "\n"));
    EXPECT_TRUE(Has(stale.out, c.typed));
    const std::string current = ShownRevision(stale.out);
    ASSERT_NE(current, rev);
    inst.Post(std::string("Num=") + name + "&" + c.commit + "&Rev=" + current);
    EXPECT_NE(inst.Read("data/" + name), after_other);
  }
}

// The one-time value of a form page.
std::string OnceValue(const std::string& page) {
  const std::string mark = "NAME=Once VALUE=\"";
  size_t at = page.find(mark);
  if (at == std::string::npos) return "";
  at += mark.size();
  return page.substr(at, page.find('"', at) - at);
}

TEST(OneSubmitPerForm, SecondSubmitStoresNothingAndNamesTheSheet) {
  struct Case {
    const char* form;    // the form's query; "<name>" stands for the sheet
    const char* commit;  // its commit body
    const char* stored;  // the sheet the page names
  };
  const Case kCases[] = {
      {"CMD=create&project=TEST", e2e::kNewSheet, "TsG.00002"},
      {"CMD=Change_Header&Num=<name>",
       "CMD=Change_Header&Num=<name>&User=tessin&title=New&project=TEST&group=GUI&prog=prog1"
       "&sev=2&impact=b&phase=b&version=1.0&submitter=kolvar&Load=3",
       "TsG.00001"},
      {"CMD=Edit&Num=<name>&Edit=0", "CMD=Edit&Num=<name>&Edit=0&User=tessin&title=T&text=x",
       "TsG.00001"},
      {"CMD=Copy&Num=<name>",
       "CMD=Copy&Num=<name>&User=tessin&project=TEST&group=GUI&prog=prog1&sev=2&phase=b",
       "TsG.00002"},
      {"CMD=Analyse&Num=<name>", "CMD=Analyse&Num=<name>&User=tessin&title=Mine&text=x",
       "TsG.00001"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.form);
    e2e::SampleInstallation inst;
    const std::string name = MakeSharedSheet(inst);
    ASSERT_EQ(name, "TsG.00001");
    auto named = [&](std::string text) {
      if (size_t at = text.find("<name>"); at != std::string::npos) text.replace(at, 6, name);
      return text;
    };
    const std::string once = OnceValue(inst.Get(named(c.form)).out);
    ASSERT_EQ(once.size(), 24u);
    const std::string body = named(c.commit) + "&Once=" + once;
    inst.Post(body);
    const std::vector<std::string> files = inst.List("data");
    const std::string index = inst.Read("data/index");
    const std::string sheet = inst.Read("data/" + name);

    const std::string again = inst.Post(body).out;
    EXPECT_TRUE(Has(again, std::string("This form was already stored as ") + c.stored)) << again;
    EXPECT_TRUE(Has(again, std::string("<A HREF=\"?Num=") + c.stored + "\">"));
    EXPECT_EQ(inst.List("data"), files);
    EXPECT_EQ(inst.Read("data/index"), index);
    EXPECT_EQ(inst.Read("data/" + name), sheet);
  }
}

// A sheet is stored only under a place of its own project: a sub-project, program, version or
// phase of another project (a list that did not follow the project) is refused by name.
TEST(SheetPlace, ListValuesOfAnotherProjectAreRefused) {
  const std::string kCreate =
      "CMD=new&title=A+bug&sev=2&impact=b&version=1.0&submitter=kolvar&type=1&text=Desc";
  const std::string kHeader =
      "CMD=Change_Header&Num=TsG.00001&User=tessin&title=Crash&sev=2&impact=b&submitter=kolvar"
      "&Load=3";
  const std::string kCopy = "CMD=Copy&Num=TsG.00001&User=tessin&sev=2";
  struct Case {
    std::string body;   // the form without its place
    std::string place;  // project, sub-project, program, phase (and version)
    std::string named;  // what the error box names; empty: stored
  };
  const std::string kDemo = "&project=DEMO&group=Other&prog=dprog&phase=b";
  const Case kCases[] = {
      {kCreate, "&project=DEMO&group=GUI&prog=dprog&phase=b", "Sub-project GUI"},
      {kCreate, "&project=DEMO&group=Other&prog=prog1&phase=b", "Program prog1"},
      {kCreate, "&project=TEST&group=GUI&prog=prog1&phase=z", "Phase z"},
      {kCreate, "&project=NOSUCH&group=GUI&prog=prog1&phase=b", "NOSUCH"},
      {kHeader, "&project=DEMO&group=GUI&prog=dprog&phase=b&version=9.9", "Sub-project GUI"},
      {kHeader, kDemo + "&version=1.0", "Version 1.0"},
      {kCopy, "&project=DEMO&group=GUI&prog=dprog&phase=b", "Sub-project GUI"},
      {kCopy, "&project=DEMO&group=Other&prog=prog1&phase=b", "Program prog1"},
      {kCreate, kDemo + "&version=9.9", ""},
      {kHeader, kDemo + "&version=9.9", ""},
      {kCopy, kDemo, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.body + c.place);
    e2e::Installation inst;
    e2e::WriteSampleProject(inst, "DEMO:D:kolvar:tessin\n", "prog1\n");
    inst.Write("config/DEMO_subproject.cfg", "Other:O\n");
    inst.Write("config/DEMO_program.cfg", "dprog\n");
    inst.Write("config/DEMO_version.cfg", "9.9\n");
    inst.Write("config/DEMO_users.cfg", inst.Read("config/TEST_users.cfg"));
    MakeSharedSheet(inst);
    const std::vector<std::string> files = inst.List("data");
    const std::string sheet = inst.Read("data/TsG.00001");
    const std::string page = inst.Post(c.body + c.place).out;
    if (c.named.empty()) {
      EXPECT_NE(inst.List("data"), files);
      continue;
    }
    EXPECT_TRUE(Has(page, c.named)) << page;
    EXPECT_TRUE(Has(page, "Error")) << page;
    EXPECT_EQ(inst.List("data"), files);
    EXPECT_EQ(inst.Read("data/TsG.00001"), sheet);
  }
}

// Choosing another project on the header and copy forms posts them back to themselves: the
// lists are the new project's, what was typed stays, and nothing is stored.
TEST(SheetPlace, FormsPostedBackFollowTheProject) {
  e2e::Installation inst;
  e2e::WriteSampleProject(inst, "DEMO:D:kolvar:tessin\n", "prog1\n");
  inst.Write("config/DEMO_subproject.cfg", "Other:O\n");
  inst.Write("config/DEMO_program.cfg", "dprog\n");
  const std::string name = MakeSharedSheet(inst);
  const std::string sheet = inst.Read("data/" + name);
  for (const char* cmd : {"Change_Header", "Copy"}) {
    SCOPED_TRACE(cmd);
    const std::string page =
        inst.Post(std::string("CMD=") + cmd + "&Num=" + name +
                  "&Reload=1&Rev=1-x&User=tessin&title=Typed&project=DEMO&group=GUI&prog=prog1"
                  "&sev=3&phase=b")
            .out;
    EXPECT_EQ(inst.Read("data/" + name), sheet);
    EXPECT_TRUE(Has(page,
                    "<SELECT NAME=group ID=group>\n<OPTION SELECTED VALUE=\"\">&nbsp\n"
                    "<OPTION VALUE=\"Other\"> Other\n</SELECT>"))
        << page;
    EXPECT_TRUE(Has(page,
                    "<SELECT NAME=prog ID=prog>\n<OPTION SELECTED VALUE=\"\">&nbsp\n"
                    "<OPTION VALUE=\"dprog\"> dprog\n</SELECT>"));
    EXPECT_TRUE(Has(page, "<OPTION SELECTED VALUE=\"DEMO\"> DEMO\n"));
    EXPECT_TRUE(Has(page, "<OPTION VALUE=3 SELECTED >"));
    EXPECT_TRUE(Has(page, "NAME=Rev VALUE=\"1-x\">"));
  }
}

// With logins off, the remembered user is the browser's: two browsers behind one address each
// see their own name preselected, and a browser without a key gets one when its context is
// first remembered.
TEST(BrowserContext, BrowsersBehindOneAddressActAsThemselves) {
  e2e::SampleInstallation inst;
  const std::string name = MakeSharedSheet(inst);
  const std::string a = "quorbctx=" + std::string(24, 'a'), b = "quorbctx=" + std::string(24, 'b');
  const std::string first =
      inst.Send("CMD=Analyse&Num=" + name + "&User=tessin&title=T&text=x").out;
  EXPECT_TRUE(Has(first, "Set-Cookie: quorbctx=")) << first.substr(0, 400);
  inst.Send("CMD=Analyse&Num=" + name + "&User=kolvar&title=T&text=x", {{"HTTP_COOKIE", a}});
  struct Case {
    std::string cookie;
    std::string selected;  // the option preselected in "Done by"; empty: none
  };
  const Case kCases[] = {{a, "kolvar"}, {b, ""}, {"quorbctx=../../x", "tessin"}, {"", "tessin"}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.cookie);
    const std::string form = inst.Get("CMD=Analyse&Num=" + name, {{"HTTP_COOKIE", c.cookie}}).out;
    for (const char* login : {"kolvar", "tessin"})
      EXPECT_EQ(Has(form, std::string("<OPTION SELECTED> ") + login), c.selected == login) << login;
  }
}

}  // namespace
