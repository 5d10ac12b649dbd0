// A user's day without a stumble, page by page: a stored change answers with a redirection
// to the page that shows it, a refusal shows its form again as it was filled, every page has
// a way home, the messages tell the outcome, and a result page shows a page of sheets.
#include <gtest/gtest.h>

#include <filesystem>

#include "harness.h"

namespace {

using namespace e2e;

// The query of the redirection an answer carries, or "" when it carries none.
std::string Redirected(const CgiResult& page) {
  const std::string status = "Status: 303 See Other\nLocation: ";
  if (page.out.rfind(status, 0) != 0) return "";
  const size_t start = page.out.find('?', status.size());
  const size_t end = page.out.find('\n', status.size());
  return start < end ? page.out.substr(start + 1, end - start - 1) : "";
}

// The image tags of a page that have no ALT text (for a reader who does not see them).
std::string ImagesWithoutAlt(const std::string& page) {
  std::string missing;
  for (size_t at = page.find("<IMG"); at != std::string::npos; at = page.find("<IMG", at + 1)) {
    const std::string tag = page.substr(at, page.find('>', at) - at + 1);
    if (!Has(tag, " ALT=")) missing += tag + "\n";
  }
  return missing;
}

// The fields of a page that no label names: every field a user fills (not a hidden field
// or a button) has an ID that a LABEL is FOR, or names itself with ARIA-LABEL.
std::string FieldsWithoutLabel(const std::string& page) {
  std::string missing;
  for (const char* kind : {"<INPUT", "<SELECT", "<TEXTAREA"}) {
    for (size_t at = page.find(kind); at != std::string::npos; at = page.find(kind, at + 1)) {
      const std::string tag = page.substr(at, page.find('>', at) - at + 1);
      std::string upper = tag;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (Has(upper, "TYPE=\"HIDDEN\"") || Has(upper, "TYPE=HIDDEN") || Has(upper, "TYPE=SUBMIT") ||
          Has(upper, "TYPE=RESET") || Has(tag, " ARIA-LABEL="))
        continue;
      const size_t id = tag.find(" ID=");
      const std::string name = id == std::string::npos
                                   ? ""
                                   : tag.substr(id + 4, tag.find_first_of(" >", id + 4) - id - 4);
      if (name.empty() || !Has(page, "<LABEL FOR=" + name + ">")) missing += tag + "\n";
    }
  }
  return missing;
}

// TsG.00001 in the sample project; tessin is no manager of TEST.
void MakeSheet(const Installation& inst, const std::string& extra = "") {
  WriteSampleProject(inst, extra);
  inst.Post(kNewSheet);
}

// Every stored change of a sheet, a book, a campaign and the setup leads to its page, where the
// result shows; that page, loaded twice, stores nothing: a file changed behind its back stays
// so, the sheet and the journal stay as they were.
TEST(DayRedirects, EveryStoredChangeLeadsToItsPageAndAReloadStoresNothing) {
  SampleInstallation inst;
  const CgiResult created = inst.Send(kNewSheet);
  ASSERT_EQ(Redirected(created), "CMD=new&Done=TsG.00001") << created.out;
  const std::string book = "CMD=book&project=TEST&group=GUI&phase=0";
  const std::string camp = "CMD=tests&project=TEST&group=GUI&phase=0";
  const std::string dir = kSampleBook;
  struct Case {
    std::string body, location, shown;
    std::string file;  // changed behind the page's back
  };
  const std::vector<Case> cases = {
      {"CMD=Observed&Num=TsG.00001&QS=&submitter=tessin&User=kolvar",
       "CMD=Observed&Num=TsG.00001&Done=1", "TsG.00001", ""},
      {"CMD=Postpone&Num=TsG.00001&QS=find%3Dx&text=1/2/2030&User=kolvar",
       "CMD=Postpone&Num=TsG.00001&Done=1&QS=find%3Dx&text=1%2F2%2F2030", "1/2/2030", ""},
      {"CMD=Corrected&Num=TsG.00001&version=2.0&Load=2&User=kolvar&text=Fixed",
       "CMD=Corrected&Num=TsG.00001&Done=1", "Corrected by kolvar on", ""},
      {"CMD=Edit&Num=TsG.00001&Edit=0&title=Desc&text=New+text&User=kolvar",
       "CMD=Edit&Num=TsG.00001&Done=TsG.00001", "New text", ""},
      {"CMD=Copy&Num=TsG.00001&project=TEST&group=Core&prog=prog1&sev=2&phase=b&User=kolvar",
       "CMD=Copy&Num=TsG.00001&Done=TsC.00001", "TsC.00001", ""},
      {book + "&book=4&mod=M1&title=First&text=About", book + "&mod=M1&book=4&Done=1",
       "Module created", dir + "mod.M1"},
      {book + "&book=6&mod=M1&step=S1&title=Step", book + "&mod=M1&step=S1&book=6&Done=1",
       "Step created", dir + "step.M1.S1"},
      {book + "&book=8&mod=M1&step=S1&title=Test&submitter=kolvar",
       book + "&mod=M1&step=S1&test=000&book=8&Done=1", "Test</B>", ""},
      {book + "&book=14&mod=M1&step=S1&Num=0&title=Again&submitter=kolvar",
       book + "&mod=M1&step=S1&test=000&book=14&Done=1", "Again</B>", ""},
      {camp + "&book=27&camp=C1", camp + "&camp=C1", "SELECTED VALUE=\"C1\"", ""},
      {camp + "&book=30&mod=M1&step=S1&test=000&camp=C1&submitter=tessin&res=2",
       camp + "&mod=M1&step=S1&test=000&camp=C1&book=30&Done=1", ">tessin</TD>", ""},
      {book + "&book=4&mod=M2&title=Second", book + "&mod=M2&book=4&Done=1", "Module created", ""},
      {book + "&book=17&mod=M2", book, "Choose a test book", dir + "mod.M2"},
      {"CMD=setup&Edit=11&project=TEST&secret=0123456789abcdefgh",
       "CMD=setup&Edit=11&Saved=1&project=TEST", "The shared secret of TEST is set.",
       "config/TEST_sync.key"},
  };
  for (const Case& c : cases) {
    const CgiResult page = inst.Send(c.body);
    const std::string location = Redirected(page);
    EXPECT_EQ(location, c.location) << c.body << "\n" << page.out;
    if (!c.file.empty()) inst.Write(c.file, "changed since\n");
    const std::string sheet = inst.Read("data/TsG.00001");
    const std::string journal = inst.Read("data/history.dat");
    for (int reload = 0; reload < 2; ++reload) {
      const CgiResult shown = inst.Get(location);
      EXPECT_TRUE(Has(shown.out, c.shown)) << c.location << "\n" << shown.out;
      EXPECT_TRUE(Has(shown.out, "home.gif") || Has(shown.out, "larrow.gif")) << c.location;
      EXPECT_EQ(ImagesWithoutAlt(shown.out), "") << c.location;
    }
    EXPECT_EQ(inst.Read(c.file), c.file.empty() ? "" : "changed since\n") << c.location;
    EXPECT_EQ(inst.Read("data/TsG.00001"), sheet) << c.location;
    EXPECT_EQ(inst.Read("data/history.dat"), journal) << c.location;
  }
  // Corrected names its corrector, whom the mail role "c" reaches.
  EXPECT_TRUE(Has(inst.Read("data/TsG.00001"), "|kolvar|")) << inst.Read("data/TsG.00001");

  // The wizard: each step stored leads to its page, and its default lists offer a version on
  // the creation form and on the Corrected one (a planned version not yet delivered).
  std::filesystem::remove(inst.Path("config/quorb.cfg"));
  const std::vector<Case> steps = {
      {"CMD=setup&Edit=12&Wizzard=1&data=" + inst.DataDir() + "&cfg=" + inst.ConfigDir() +
           "&img=/i/&mel=localhost&hst=localhost&lang=EN&dom=example.org&www=www",
       "CMD=setup&Edit=12&Wizzard=1&Done=1", "Default Setup Completed", "config/project.cfg"},
      {"CMD=setup&Edit=12&Wizzard=3&text=xxx&LINES=1&V0_0=TEST&V1_0=T&V2_0=kolvar&V3_0=tessin",
       "CMD=setup&Edit=12&Wizzard=3&Done=1", "NAME=Wizzard VALUE=4>", "config/project.cfg"},
  };
  for (const Case& c : steps) {
    const std::string location = Redirected(inst.Send(c.body));
    EXPECT_EQ(location, c.location) << c.body;
    inst.Write(c.file, "TEST:T:kolvar:tessin\n");
    for (int reload = 0; reload < 2; ++reload)
      EXPECT_TRUE(Has(inst.Get(location).out, c.shown)) << c.location;
    EXPECT_EQ(inst.Read(c.file), "TEST:T:kolvar:tessin\n") << c.location;
  }
  inst.Post(
      "CMD=new&title=T&project=TEST&group=phase+1&prog=general&sev=2&impact=a&phase=b"
      "&version=v1&submitter=kolvar");
  EXPECT_TRUE(Has(inst.Get("CMD=create&project=TEST").out, "<OPTION> v1"));
  EXPECT_TRUE(Has(inst.Get("CMD=Corrected&Num=TD10.00001").out, "<OPTION> v2"));
}

TEST(DayRefusals, TheFormComesBackFilledBelowTheErrorAndNothingIsTold) {
  Installation inst;
  MakeSheet(inst);
  // in_order: pieces of the page, in this order
  const std::tuple<std::string, std::vector<std::string>, std::string> cases[] = {
      // A creation without a version keeps every field typed.
      {"CMD=new&title=Kept+title&project=TEST&group=GUI&prog=prog2&sev=3&impact=b&phase=a"
       "&submitter=tessin&mdapda=CR-9&Load=4&text=Typed+body",
       {"Please fill in the field: Version", "home.gif", "<FORM", "VALUE=\"Kept title\"",
        "<OPTION SELECTED> prog2", "<OPTION VALUE=3 SELECTED >", "VALUE=\"CR-9\"", "VALUE=\"4\"",
        "Typed body</TEXTAREA>"},
       "TsG.00002"},
      // A project that is not listed is named.
      {"CMD=new&title=T&project=NOPE&group=GUI&prog=p&sev=1&impact=a&phase=a&version=1"
       "&submitter=kolvar",
       {"The project NOPE is not listed in project.cfg.", "<FORM", "VALUE=\"T\""},
       "Missing field"},
      // A refused Assign says nothing was assigned, and keeps the choices.
      {"CMD=Assign&Num=TsG.00001&submitter=kolvar&User=tessin",
       {"not allowed", "home.gif", "<FORM", "<OPTION SELECTED> kolvar", "<OPTION SELECTED> tessin"},
       "assigned to"},
      // A postponement with a date that does not read keeps the text typed.
      {"CMD=Postpone&Num=TsG.00001&text=soon&User=kolvar",
       {"The date is missing or invalid", "<FORM", "VALUE=soon"},
       "postponed until"},
  };
  for (const auto& [body, in_order, never] : cases) {
    const CgiResult page = inst.Send(body);
    EXPECT_EQ(Redirected(page), "") << body;
    size_t at = 0;
    for (const std::string& piece : in_order) {
      size_t found = page.out.find(piece, at);
      EXPECT_NE(found, std::string::npos) << body << ": " << piece << "\n" << page.out;
      if (found != std::string::npos) at = found + piece.size();
    }
    EXPECT_FALSE(Has(page.out, never)) << body << "\n" << page.out;
  }
  EXPECT_FALSE(inst.Exists("data/TsG.00002"));

  // An upload refused names the file as the user knows it, not the server's folders.
  const CgiResult attach = inst.PostMultipart({{"CMD", "Attach"},
                                               {"Num", "TsG.00001"},
                                               {"QS", ""},
                                               {"title", "Bad/title"},
                                               {"User", "kolvar"},
                                               {"Attach", "data", "run.txt"}});
  EXPECT_TRUE(Has(attach.out, "Bad/title_run.txt")) << attach.out;
  EXPECT_FALSE(Has(attach.out.substr(0, attach.out.find("<FORM")), inst.DataDir())) << attach.out;
  EXPECT_TRUE(Has(attach.out, "NAME=\"title\" ID=title VALUE=Bad/title>")) << attach.out;
}

TEST(DayPages, EveryPageHasAWayHomeAndEveryRequestAnAnswer) {
  Installation inst("SECURITY YES\n");
  MakeSheet(inst);
  const std::string uid = "&Uid=" + EncodedToken(inst, "kolvar", "TEST");
  for (const std::string& query :
       Words("CMD=create&project=TEST CMD=search CMD=Observed&Num=TsG.00001 CMD=book CMD=tests "
             "CMD=Change_Header&Num=TsG.00001 CMD=statS CMD=statS&statS=4&project=TEST&group=TOTAL "
             "CMD=setup CMD=setup&Edit=6 CMD=help"))
    EXPECT_TRUE(Has(inst.Get(query + uid).out, "home.gif")) << query;
  const std::pair<std::string, std::string> cases[] = {
      {"CMD=history&text=TOP" + uid, "TARGET=\"_top\""},
      {"Login=3", "NAME=Passwd"},
      {"Login=2&User=kolvar&Passwd=wrong", "?Login=1\">Back to the login page</A>"},
      {"Login=0", "  ecritCookie(\"quorb\", \"\", 0); \n"},  // the logout clears the cookie
  };
  for (const auto& [query, expected] : cases) {
    const CgiResult page = inst.Get(query);
    EXPECT_TRUE(Has(page.out, expected)) << query << "\n" << page.out;
  }
}

// (Dates never set are empty in the export: see the search tests.)
// The forms a user fills most name every field, for a screen reader and for a click on the
// label.
TEST(DayPages, FormsLabelEveryField) {
  Installation inst;
  MakeSheet(inst);
  for (const std::string query : {"CMD=create&project=TEST", "CMD=search&project=TEST",
                                  "CMD=Change_Header&Num=TsG.00001", "Login=1"})
    EXPECT_EQ(FieldsWithoutLabel(inst.Get(query).out), "") << query;
}

TEST(DayValues, StatisticsSayWhatTheyShow) {
  Installation inst;
  MakeSheet(inst, "OTHER:O:kolvar:tessin\n");
  // A new site has no statistics yet, and the pages say so and when; a project without
  // sheets has nothing to count.
  for (const std::string query : {"CMD=statS&statS=2&project=TEST&group=TOTAL",
                                  "CMD=statS&statS=5&project=TEST&group=TOTAL"}) {
    EXPECT_TRUE(Has(inst.Get(query).out, "No statistics yet")) << query;
  }
  for (const char* page : {"1", "3", "4"}) {
    const std::string query = std::string("CMD=statS&group=TOTAL&project=OTHER&statS=") + page;
    EXPECT_TRUE(Has(inst.Get(query).out, "No fact sheets yet")) << query;
  }
  // The sum's heading is an entity every browser shows.
  inst.Write("data/Stats/TEST.TOTAL", "1:1:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0\n");
  const std::string table = inst.Get("CMD=statS&statS=2&project=TEST&group=TOTAL").out;
  EXPECT_TRUE(Has(table, "&Sigma;</TH>")) << table;
  EXPECT_FALSE(Has(table, "&aring;"));
}

TEST(DaySearch, EveryProjectAndAPageOfSheetsAtATime) {
  Installation inst("PAGESIZE 2\n");
  WriteSampleProject(inst, "OTHER:O:kolvar:tessin\n");
  for (int i = 0; i < 3; ++i) inst.Post(kNewSheet);
  // The empty project keeps no project and searches them all.
  const std::string form = inst.Get("CMD=search&project=").out;
  EXPECT_TRUE(Has(form, "NAME=project VALUE=\"\"")) << form;
  EXPECT_TRUE(Has(form, "&project=\" SELECTED>&nbsp")) << form;
  EXPECT_TRUE(Has(form, "home.gif"));
  // A change of project sends the form back to itself: every criterion comes back, and the
  // empty project stays empty; the lists of the project the form was shown for (TEST) only
  // while the project stays.
  const std::string typed =
      "CMD=search&Deroulant=x&group=GUI&phase=b&submitter=tessin&statA=X&statC=X&prog=prog2"
      "&sev=3&ival=2&between=01%2F01%2F2020&intitle=a+%22b%22&sort=3&aff_crit=AC&listed=TEST"
      "&project=";
  for (const std::string project : {"TEST", ""}) {
    const std::string page = inst.Get(typed + project).out;
    EXPECT_EQ("", Missing(page, {"NAME=project VALUE=\"" + project + "\"",
                                 "<OPTION SELECTED VALUE=\"b\">", "<OPTION SELECTED> tessin",
                                 "NAME=statC ID=statC VALUE=X CHECKED",
                                 "NAME=statN ID=statN VALUE=X >", "<OPTION VALUE=3 SELECTED >",
                                 "<OPTION SELECTED VALUE=2>", "VALUE=\"01/01/2020\"",
                                 "NAME=intitle ID=intitle SIZE=30 VALUE=\"a &quot;b&quot;\"",
                                 "<OPTION VALUE=3 SELECTED>", "VALUE=AC CHECKED"}))
        << project;
    for (const char* place : {"<OPTION SELECTED> GUI", "<OPTION SELECTED> prog2"})
      EXPECT_EQ(Has(page, place), project == "TEST") << project << place;
  }

  const std::string query = "CMD=find&project=&resp=all&statN=X";
  // full: sheets shown in full
  const std::tuple<std::string, int, std::vector<std::string>, std::vector<std::string>> cases[] = {
      {"", 2, {"3 fact sheet(s) found", "Next page", "From=2#00000"}, {"Previous page"}},
      {"&From=2", 1, {"3 fact sheet(s) found", "Previous page", "From=0#00001"}, {"Next page"}},
      {"&From=99", 2, {"Next page"}, {"Previous page"}},
  };
  for (const auto& [from, full, present, absent] : cases) {
    const std::string page = inst.Get(query + from).out;
    EXPECT_EQ(Count(page, "<a name="), full) << from;
    EXPECT_EQ(Count(page, "<TR><TD WIDTH=10%><A HREF="), 3) << from;  // the list stays whole
    for (const std::string& p : present) EXPECT_TRUE(Has(page, p)) << from << ": " << p;
    for (const std::string& p : absent) EXPECT_FALSE(Has(page, p)) << from << ": " << p;
  }
  // The export stays complete.
  EXPECT_EQ(Count(inst.Get(query + "&excel=X").out, "\nT\t"), 3);
}

}  // namespace
