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
       "CMD=Change_Header&User=tessin&title=Typed+title&project=TEST&group=GUI"
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

}  // namespace
