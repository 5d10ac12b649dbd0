// Who may do what with security on: a login carries no action, the project acted on gives
// the rights, the acting user is the logged-in one, every page checks its reader, printing
// needs the request's own token, tokens end, failed logins slow down.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>

#include "base/encode.h"
#include "front/entry.h"
#include "harness.h"
#include "sheets/action_table.h"
#include "users/uid.h"

namespace {

using namespace e2e;

// TEST as the sample lays it out, with the member m2 (Member, Menu and Create only), the
// member k, and DEMO, which m2 does not belong to; zed is a member of THIRD only.
void LayOut(const Installation& inst) {
  WriteSampleProject(inst, "DEMO:D:kolvar:kolvar\nTHIRD:3:zed:zed\n");
  inst.Write("config/TEST_users.cfg", inst.Read("config/TEST_users.cfg") +
                                          "m2:m2@example.org:m2pw:YES:YES:YES: : : : \n"
                                          "k:k@example.org:kpw:YES:YES:YES:YES: :YES:YES\n");
  inst.Write("config/DEMO_users.cfg",
             "kolvar:kolvar@example.org:secret: :YES:YES:YES:YES\n"
             "tessin:tessin@example.org:pass: :YES: : : : : \n");
  inst.Write("config/DEMO_subproject.cfg", "GUI:G\n");
  inst.Write("config/DEMO_program.cfg", "prog1\n");
  inst.Write("config/DEMO_version.cfg", "1.0\n");
  inst.Write("config/THIRD_users.cfg", "zed:zed@example.org:zpw: :YES:YES:YES: :YES:YES\n");
}

std::string Uid(const Installation& inst, const std::string& login,
                const std::string& project = "TEST") {
  return "&Uid=" + EncodedToken(inst, login, project);
}

// The hidden fields the check step of the login posts on, "name=value&..." in page order.
std::string Carried(const std::string& page) {
  std::string fields;
  const std::string start = "<INPUT TYPE=HIDDEN NAME=";
  for (size_t at = page.find(start); at != std::string::npos; at = page.find(start, at + 1)) {
    size_t name_end = page.find(' ', at + start.size());
    std::string name = page.substr(at + start.size(), name_end - at - start.size());
    size_t value = page.find("VALUE=\"", name_end) + 7;
    if (name == "Uid") continue;
    fields += (fields.empty() ? "" : "&") + name + "=" +
              page.substr(value, page.find('"', value) - value);
  }
  return fields;
}

TEST(Rights, LoginCarriesOnlyWhatChangesNothing) {
  Installation inst("SECURITY YES\n");
  LayOut(inst);
  const std::string login = "Login=2&User=kolvar&Passwd=secret&";
  // carried: as the check step posts it on, in list order
  const std::pair<std::string, std::string> kCases[] = {
      {"CMD=search&project=TEST", "project=TEST&CMD=search"},
      {"Num=TsG.00001", "Num=TsG.00001"},
      {"CMD=find&project=TEST&Print=yes", "project=TEST&CMD=find"},
      {"CMD=book&book=15&project=TEST", "project=TEST&book=15&CMD=book"},
      {"CMD=book&book=4&project=TEST&mod=M1&title=T", ""},
      {"CMD=setup&Edit=8&text=Changed", "Edit=8&CMD=setup"},
      {"CMD=setup&Edit=12&Wizzard=3&DATADIR=/tmp", "CMD=setup"},
      {"CMD=Assign&Num=TsG.00001&submitter=m2&text=x", "Num=TsG.00001&CMD=Assign"},
      {"CMD=Print&Num=TsG.00001", ""},
      {"CMD=new&project=TEST&title=x", ""},
      {"CMD=create&project=TEST&title=x", "CMD=create"},
      {"CMD=help&CMD=Print&Num=TsG.00001", ""},
  };
  for (const auto& [asked, carried] : kCases) {
    EXPECT_EQ(Carried(inst.Post(login + asked).out), carried) << asked;
    // The login form carries the same, so its hidden fields change nothing either.
    EXPECT_EQ(Has(inst.Get("Login=1&" + asked).out, "Changed"), false) << asked;
  }
  // The whole road: the link, the login, the page the browser then posts. Nothing is saved.
  const std::string after = Carried(inst.Post(login + "CMD=setup&Edit=8&text=Changed").out);
  inst.Post(after + Uid(inst, "kolvar"));
  EXPECT_EQ(inst.Read("config/impacts.cfg"), "Low\nHigh\n");
}

TEST(Rights, SetupNeedsTheRightsOfTheProjectActedOnOrTheAdministrator) {
  Installation inst("SECURITY YES\n");
  LayOut(inst);
  const std::string m2 = Uid(inst, "m2"), kolvar = Uid(inst, "kolvar");
  const std::string members =
      "CMD=setup&Edit=9&text=xxx&LINES=2&V0_0=evil&V1_0=e&V2_0=p&V0_1=kolvar&V1_1=k&V4_1=YES&"
      "V5_1=YES&V6_1=YES&V7_1=YES&V8_1=YES&V9_1=YES&project=";
  const std::tuple<std::string, std::string, bool, bool> kCases[] = {
      {members + "TEST", "config/TEST_users.cfg", true, true},
      {members + "DEMO", "config/DEMO_users.cfg", false, true},
      {"CMD=setup&Edit=6&text=9.9%0A&project=TEST", "config/TEST_version.cfg", true, true},
      {"CMD=setup&Edit=8&text=Changed%0A", "config/impacts.cfg", false, true},
      {"CMD=setup&Edit=5&text=xxx&LINES=1&V0_0=Only&V1_0=o", "config/phase.cfg", false, true},
      {"CMD=setup&Edit=2&text=xxx&LINES=1&V0_0=TEST&V1_0=T", "config/project.cfg", false, true},
      {"CMD=setup&Edit=1&text=xxx&DATADIR=alt/", "config/quorb.cfg", false, true},
      {"CMD=setup&Edit=10&text=xxx", "config/sendmail.cfg", false, true},
      {"CMD=setup&Edit=12&Wizzard=2&DATADIR=alt/&text=xxx", "config/quorb.cfg", false, true},
  };
  for (const auto& [save, file, m2_may, kolvar_may] : kCases) {
    for (const auto& [who, may] : {std::pair{m2, m2_may}, std::pair{kolvar, kolvar_may}}) {
      const std::string before = inst.Read(file);
      // The answer to the save itself: the page a stored save leads to is read with the
      // members file as the save left it, which may no longer hold the one who saved.
      const std::string page = inst.Send(save + who).out;
      EXPECT_EQ(Has(page, "You are not allowed to change the configuration."), !may) << save << who;
      if (!may) {
        EXPECT_EQ(inst.Read(file), before) << save << who;
      }
      // The wizard and the main file are written back as they were, for the next cases.
      file == "config/quorb.cfg" ? inst.WriteConfig(inst.DefaultConfig("SECURITY YES\n"))
                                 : LayOut(inst);
    }
  }
  // The members form of m2 shows TEST's members only; a new row has Member and Menu.
  const std::string form = inst.Get("CMD=setup&Edit=9" + m2).out;
  EXPECT_TRUE(Has(form, "m2@example.org"));
  EXPECT_FALSE(Has(form, "DEMO"));
  const std::string blank = form.substr(form.rfind("<TR>"));
  EXPECT_EQ(Count(blank, " CHECKED "), 2) << blank;
  EXPECT_TRUE(Has(blank, " CHECKED VALUE=\"YES\" NAME=V3_4 "));
  EXPECT_TRUE(Has(blank, " CHECKED VALUE=\"YES\" NAME=V4_4 "));
}

// A member grants only the rights they hold, the setup right and "All projects" only when
// holding both, and no save leaves the members file without such a member.
TEST(Rights, NoSelfPromotionInTheMembersGrid) {
  Installation inst("SECURITY YES\n");
  // Fields 4 to 10 of kolvar, tessin, m2 and k as LayOut writes them ('Y' checked).
  const std::string kStored[] = {" YYYYYY", " Y YYYY", "YYY    ", "YYYY YY"};
  const std::tuple<std::string, int, std::string, bool> kCases[] = {
      {"m2", 2, "YYY Y  ", false},      // All projects for himself
      {"m2", 2, "YYY  Y ", false},      // a right he lacks
      {"m2", 1, " YYYYYY", false},      // the setup right for another
      {"m2", 3, "YYY  YY", true},       // taking away is allowed
      {"kolvar", 2, "YYYYY  ", true},   // the administrator grants both
      {"kolvar", 0, " Y YYYY", false},  // the last administrator stays one
  };
  for (const auto& [saver, row, flags, stored] : kCases) {
    LayOut(inst);
    const std::string before = inst.Read("config/TEST_users.cfg");
    std::string save = "CMD=setup&Edit=9&text=xxx&project=TEST&LINES=4";
    for (int r = 0; r < 4; ++r) {
      const std::string login = Words("kolvar tessin m2 k")[r];
      const std::string cells = r == row ? flags : kStored[r];
      save += "&V0_" + std::to_string(r) + "=" + login + "&V1_" + std::to_string(r) + "=" + login +
              "@example.org";
      for (int c = 0; c < 7; ++c)
        if (cells[c] == 'Y')
          save += "&V" + std::to_string(c + 3) + "_" + std::to_string(r) + "=YES";
    }
    inst.Send(save + Uid(inst, saver));
    EXPECT_EQ(inst.Read("config/TEST_users.cfg") != before, stored) << saver << " " << flags;
  }
}

TEST(Rights, TheActingUserIsTheLoggedInOne) {
  Installation inst("SECURITY YES\n");
  LayOut(inst);
  // The submitter the form names (kolvar) is not the one who submits.
  ASSERT_TRUE(Has(inst.Post(std::string(kNewSheet) + Uid(inst, "m2")).out, "TsG.00001"));
  EXPECT_TRUE(Has(inst.Read("data/TsG.00001"), "Submitted by m2\n"));
  const std::string assign = "CMD=Assign&Num=TsG.00001&submitter=m2&text=x&User=";
  // Not the manager, whatever the form names: tessin as kolvar, k (a part of "kolvar").
  for (const std::string login : {"tessin", "k"})
    EXPECT_TRUE(Has(inst.Post(assign + "kolvar" + Uid(inst, login)).out, "<!" + login + ",kolvar>"))
        << login;
  EXPECT_FALSE(Has(inst.Read("data/TsG.00001"), "Assign")) << inst.Read("data/TsG.00001");
  // The manager, named tessin by the form, acts as kolvar.
  inst.Post(assign + "tessin" + Uid(inst, "kolvar"));
  const std::string sheet = inst.Read("data/TsG.00001");
  EXPECT_TRUE(Has(sheet, "kolvar")) << sheet;
  EXPECT_FALSE(Has(sheet.substr(sheet.find("Assign")), "tessin")) << sheet;
  // The form preselects the logged-in member.
  EXPECT_TRUE(Has(inst.Get("CMD=Observed&Num=TsG.00001" + Uid(inst, "tessin")).out,
                  "<OPTION SELECTED> tessin\n"));
}

// Every page, asked by nobody, a forger, an expired token and a member of another project,
// shows no sheet, book or member data; with security off every page answers.
TEST(Rights, EveryPageChecksItsReader) {
  Installation inst;
  LayOut(inst);
  std::string creation = kNewSheet;
  creation.replace(creation.find("title=A+bug"), 11, "title=Secret7title");
  creation.replace(creation.find("text=Desc"), 9, "text=Secret7text");
  ASSERT_TRUE(Has(inst.Post(creation).out, "TsG.00001"));
  const std::string book = "&project=TEST&group=GUI&phase=0";
  inst.Post("CMD=book&book=4&mod=M1&title=Secret7book" + book);
  inst.Post("CMD=tests&book=27&camp=run" + book);
  char today[16];
  std::time_t now = std::time(nullptr);
  std::strftime(today, sizeof today, "%Y/%m/%d", std::localtime(&now));
  std::vector<std::string> pages = Words(
      "CMD=Print&Num=TsG.00001 CMD=history Num=TsG.00001 find=TsG.00001 Numero=TsG.00001 "
      "CMD=find&project=TEST CMD=search&project=TEST CMD=create&project=TEST "
      "CMD=FILE&title=TRACE_TsG.00001/x CMD=help CMD=new&project=TEST CMD=keys "
      "CMD=api&v=1&call=sheet&sheet=TsG.00001 CMD=feed&Num=TsG.00001 CMD=history&text=" +
      base::UrlEncode(today));
  for (const std::string& at : Words("book&book=24 book&book=15&mod=M1 book&book=3 book "
                                     "tests&book=28&camp=run tests&book=31&camp=run tests"))
    pages.push_back("CMD=" + at + book);
  for (int page = 0; page <= 10; ++page)
    pages.push_back("CMD=statS&statS=" + std::to_string(page) + "&project=TEST&group=GUI");
  for (int kind = 1; kind <= 10; ++kind) pages.push_back("CMD=setup&Edit=" + std::to_string(kind));
  for (const sheets::Action& action : sheets::Actions())
    if (action.kind != sheets::ActionKind::kNew)
      pages.push_back("CMD=" + std::string(action.cmd) + "&Num=TsG.00001&Edit=0");
  // Every row of the command table is walked: a new page is asked here too.
  for (const front::CommandRow& row : front::CommandRows()) {
    const std::string start =
        row.parameter ? std::string(row.trigger) + "=" : "CMD=" + std::string(row.trigger);
    EXPECT_TRUE(std::ranges::any_of(pages, [&](const std::string& p) {
      return p.starts_with(start);
    })) << row.trigger;
  }
  const char* kSecrets[] = {"Secret7title", "Secret7book", "kolvar@example.org", "Secret7text"};

  for (const std::string& query : pages) {
    const std::string out = inst.Get(query).out;
    EXPECT_FALSE(out.empty()) << query << " with security off";
  }
  EXPECT_TRUE(Has(inst.Get("CMD=Print&Num=TsG.00001").out, "Secret7title"));

  inst.WriteConfig(inst.DefaultConfig("SECURITY YES\n"));
  std::string expired;
  {
    InProcess request(inst);
    expired = base::UrlEncode(users::MakeUidAt("kolvar", "TEST", now - 13 * 3600));
  }
  const std::string kolvar = TokenFor(inst, "kolvar", "TEST");
  const std::tuple<std::string, std::string, std::map<std::string, std::string>> kReaders[] = {
      {"nobody", "", {}},
      {"forged", "&Uid=mqnxct%23VGUV%2312", {}},
      {"forged cookie", "", {{"HTTP_COOKIE", "quorb=mqnxct%23VGUV%2312"}}},
      {"expired", "&Uid=" + expired, {}},
      {"expired cookie", "", {{"HTTP_COOKIE", "quorb=" + expired}}},
      {"other project", Uid(inst, "zed", "THIRD"), {}},
  };
  for (const auto& [what, uid, env] : kReaders) {
    for (const std::string& query : pages) {
      const std::string out = inst.Get(query + uid, env).out;
      for (const char* secret : kSecrets)
        EXPECT_FALSE(Has(out, secret)) << what << ": " << query << " shows " << secret;
    }
  }
  // The member reads them.
  EXPECT_TRUE(Has(inst.Get("CMD=Print&Num=TsG.00001" + Uid(inst, "kolvar")).out, "Secret7title"));
  EXPECT_TRUE(Has(inst.Get("CMD=book&book=15&mod=M1" + book,
                           {{"HTTP_COOKIE", "quorb=" + base::UrlEncode(kolvar, false)}})
                      .out,
                  "Secret7book"));
}

// Every page a request can reach has a row, and a row that changes says what a change needs.
TEST(Rights, EveryCommandHasItsRow) {
  std::vector<std::string> triggers;
  for (const sheets::Action& action : sheets::Actions()) triggers.emplace_back(action.cmd);
  for (const std::string& cmd :
       Words("help setup create history search find book tests FILE statS"))
    triggers.push_back(cmd);
  for (const std::string& trigger : triggers) {
    const front::CommandRow* row = front::FindCommandRow(trigger);
    ASSERT_NE(row, nullptr) << trigger;
    EXPECT_NE(row->run, nullptr) << trigger;
  }
  for (const std::string& name : Words("find Numero Num"))
    EXPECT_NE(front::FindCommandRow(name, true), nullptr) << name;
  for (const front::CommandRow& row : front::CommandRows()) {
    EXPECT_TRUE(!row.changes || row.change.access == front::Access::kChange) << row.trigger;
    EXPECT_EQ(front::FindCommandRow(row.trigger, row.parameter), &row) << row.trigger;
  }
}

// Each change asked by everyone who must not make it, then by a member holding exactly the
// row's right: only the last changes the file. m2 lacks Modify, tessin lacks Create.
TEST(Rights, ChangesNeedTheRightOfTheirRow) {
  const std::string sheet = "data/TsG.00001";
  const std::string at = "&project=TEST&group=GUI&phase=0";
  std::string moved =
      std::string(kNewSheet).replace(0, 7, "CMD=Change_Header&Num=TsG.00001&User=x");
  moved.replace(moved.find("project=TEST"), 12, "project=DEMO");
  const std::tuple<std::string, std::string, std::string, std::string> kCases[] = {
      {"CMD=Observed&Num=TsG.00001&QS=&submitter=tessin&text=Seen7&User=x", sheet, "m2", "tessin"},
      {"CMD=Edit&Num=TsG.00001&Edit=0&title=Desc&text=Edited7&User=x", sheet, "m2", "tessin"},
      {std::string(kNewSheet), "data/TsG.00002", "tessin", "m2"},
      // Moved into DEMO, where tessin lacks Modify.
      {moved, sheet, "tessin", "kolvar"},
      {"CMD=Copy&Num=TsG.00001&project=TEST&group=Core&prog=prog1&sev=2&phase=b&User=x",
       "data/TsC.00001", "tessin", "m2"},
      {"CMD=book&book=4&mod=M7&title=Book7" + at, "data/Tests/TEST/G/a/Book/mod.M7", "m2",
       "tessin"},
  };
  for (const auto& [change, file, lacking, holding] : kCases) {
    Installation inst("SECURITY YES\n");
    LayOut(inst);
    ASSERT_TRUE(Has(inst.Post(std::string(kNewSheet) + Uid(inst, "kolvar")).out, "TsG.00001"));
    std::string expired;
    {
      InProcess request(inst);
      expired = base::UrlEncode(users::MakeUidAt("kolvar", "TEST", std::time(nullptr) - 13 * 3600));
    }
    const std::string before = inst.Read(file);
    for (const std::string& uid :
         {std::string(), std::string("&Uid=mqnxct%23VGUV%2312"), "&Uid=" + expired,
          Uid(inst, "zed", "THIRD"), Uid(inst, lacking)}) {
      inst.Post(change + uid);
      EXPECT_EQ(inst.Read(file), before) << change << uid;
    }
    inst.Post(change + Uid(inst, holding));
    EXPECT_NE(inst.Read(file), before) << change << " by " << holding;
  }
}

// Each page that shows data asked by a member lacking exactly its row's right, then by one
// holding it. m2 lacks Statistics, tessin lacks Create (and so the setup pages).
TEST(Rights, PagesNeedTheRightOfTheirRow) {
  Installation inst("SECURITY YES\n");
  LayOut(inst);
  ASSERT_TRUE(Has(inst.Post(std::string(kNewSheet) + Uid(inst, "kolvar")).out, "TsG.00001"));
  const std::tuple<std::string, std::string, std::string, std::string> kCases[] = {
      {"CMD=statS&statS=3&project=TEST", "prog1", "m2", "tessin"},
      {"CMD=create&project=TEST", "NAME=title", "tessin", "m2"},
      {"CMD=setup&Edit=9&project=TEST", "kolvar@example.org", "tessin", "m2"},
  };
  for (const auto& [query, secret, lacking, holding] : kCases) {
    EXPECT_FALSE(Has(inst.Get(query + Uid(inst, lacking)).out, secret)) << query;
    EXPECT_TRUE(Has(inst.Get(query + Uid(inst, holding)).out, secret)) << query;
  }
  // Turning logins off is asked twice.
  EXPECT_TRUE(
      Has(inst.Get("CMD=setup&Edit=1" + Uid(inst, "kolvar")).out,
          "NAME=sec ID=sec VALUE=YES CHECKED onClick=\"if (!this.checked && !confirm('Unchecked"));
}

// Without DEBUG the comments of a page name no login, token, right or path.
TEST(Rights, CommentsTellNothingWithoutDebug) {
  Installation inst("SECURITY YES\nDEBUG NO\n");
  LayOut(inst);
  const std::string uid = Uid(inst, "kolvar");
  ASSERT_TRUE(Has(inst.Post(std::string(kNewSheet) + uid).out, "TsG.00001"));
  for (const std::string& query :
       Words("CMD=search CMD=Observed&Num=TsG.00001 CMD=Assign&Num=TsG.00001&User=m2&text=x "
             "CMD=setup&Edit=9 CMD=statS&statS=0 Num=TsG.00001 CMD=book&project=TEST")) {
    const std::string out = inst.Get(query + uid).out;
    for (size_t at = out.find("<!"); at != std::string::npos; at = out.find("<!", at + 2)) {
      const std::string comment = out.substr(at, out.find('>', at) - at);
      // "mqnxct#": the token of kolvar begins so.
      for (const std::string& secret : Words("kolvar Access mqnxct# " + inst.root()))
        EXPECT_FALSE(Has(comment, secret)) << query << ": " << comment;
    }
  }
}

// The navigators start at the project the client machine last used, and the statistics
// without a project count every project: neither shows a reader what they may not read.
TEST(Rights, NavigatorsAndStatisticsKeepToTheReadersProjects) {
  Installation inst("SECURITY YES\n");
  LayOut(inst);
  const std::string kolvar = Uid(inst, "kolvar"), zed = Uid(inst, "zed", "THIRD");
  ASSERT_TRUE(Has(inst.Post(std::string(kNewSheet) + kolvar).out, "TsG.00001"));
  const std::string place = "&project=TEST&group=GUI&phase=1";
  inst.Post("CMD=book&book=4&mod=Secret7mod&title=T" + place + kolvar);
  inst.Post("CMD=tests&book=27&camp=Secret7run" + place + kolvar);
  const std::tuple<std::string, std::string> kCases[] = {
      {"CMD=book", "Secret7mod"},
      {"CMD=tests", "Secret7run"},
      {"CMD=statS&statS=3", "prog1"},
  };
  for (const auto& [query, secret] : kCases) {
    EXPECT_TRUE(Has(inst.Get(query + kolvar).out, secret)) << query;
    EXPECT_FALSE(Has(inst.Get(query + zed).out, secret)) << query;
  }
}

// A logout ends the member's tokens on the server, by link and by cookie; a new login works.
TEST(Rights, LogoutEndsTheToken) {
  Installation inst("SECURITY YES\n");
  LayOut(inst);
  const std::string before = Uid(inst, "kolvar");
  ASSERT_TRUE(Has(inst.Post(std::string(kNewSheet) + before).out, "TsG.00001"));
  const std::string print = "CMD=Print&Num=TsG.00001";
  ASSERT_TRUE(Has(inst.Get(print + before).out, "A bug"));
  const std::string cookie = "quorb=" + before.substr(5);
  EXPECT_TRUE(Has(inst.Get("Login=0" + before).out, "ecritCookie(\"quorb\", \"\", 0)"));
  EXPECT_FALSE(Has(inst.Get(print + before).out, "A bug"));
  EXPECT_FALSE(Has(inst.Get(print, {{"HTTP_COOKIE", cookie}}).out, "A bug"));
  EXPECT_TRUE(Has(inst.Get(print + Uid(inst, "kolvar")).out, "A bug"));
  struct stat st {};
  ASSERT_EQ(::stat(inst.Path("config/sessions.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A login posted by another site's page sets no cookie and makes no token.
TEST(Rights, CrossSiteLoginChangesNothing) {
  Installation inst("SECURITY YES\n");
  LayOut(inst);
  using Env = std::map<std::string, std::string>;
  const std::pair<Env, bool> kCases[] = {
      {{{"HTTP_ORIGIN", "https://evil.example"}, {"HTTP_HOST", "q.example"}}, false},
      {{{"HTTP_SEC_FETCH_SITE", "cross-site"}}, false},
      {{{"HTTP_ORIGIN", "https://q.example"}, {"HTTP_HOST", "q.example"}}, true},
      {{}, true},
  };
  for (const auto& [env, logged] : kCases) {
    const std::string out = inst.Send("Login=2&User=kolvar&Passwd=secret", env).out;
    EXPECT_EQ(Has(out, "ecritCookie(\"quorb\", \"mqnxct"), logged) << out;
    EXPECT_EQ(Has(out, "NAME=Uid"), logged);
  }
}

TEST(Rights, PrintingNeedsTheRequestsOwnTokenAndRunsOnce) {
  Installation inst;
  LayOut(inst);
  ASSERT_TRUE(Has(inst.Post(kNewSheet).out, "TsG.00001"));
  InstallPrintStandIn(inst, "\nSECURITY YES");
  const std::string kolvar = TokenFor(inst, "kolvar", "TEST");
  const std::tuple<std::string, std::map<std::string, std::string>, int> kCases[] = {
      {"CMD=Print&Num=TsG.00001", {{"HTTP_COOKIE", "quorb=" + base::UrlEncode(kolvar, false)}}, 0},
      {"CMD=Print&Num=TsG.00001" + Uid(inst, "kolvar"), {}, 1},
      {"CMD=Print&CMD=Print&CMD=Print&Num=TsG.00001" + Uid(inst, "kolvar"), {}, 1},
  };
  for (const auto& [query, env, printed] : kCases) {
    const std::string out = inst.Get(query, env).out;
    EXPECT_TRUE(Has(out, "A bug")) << query;
    EXPECT_EQ(Count(out, "queued &lt;1&gt;"), printed) << query << out;
  }
}

TEST(Rights, FailedLoginsSlowDown) {
  Installation inst("SECURITY YES\n");
  LayOut(inst);
  const std::map<std::string, std::string> here = {{"REMOTE_ADDR", "10.0.0.5"}};
  const std::map<std::string, std::string> there = {{"REMOTE_ADDR", "10.0.0.6"}};
  auto login = [&](const std::string& who, const std::map<std::string, std::string>& from) {
    return inst.Send("Login=2&User=" + who, from).out;
  };
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(Has(login("kolvar&Passwd=bad", here), "Wrong login"));
  // Five failures refuse the login from that address; twenty, of any logins, the address.
  using Case = std::tuple<std::string, std::map<std::string, std::string>, bool>;
  for (const Case& c :
       {Case{"kolvar&Passwd=secret", here, true}, Case{"tessin&Passwd=pass", here, false},
        Case{"kolvar&Passwd=secret", there, false}}) {
    const std::string out = login(std::get<0>(c), std::get<1>(c));
    EXPECT_EQ(Has(out, "Too many failed logins"), std::get<2>(c)) << std::get<0>(c);
    EXPECT_EQ(Has(out, "ecritCookie(\"quorb\""), !std::get<2>(c)) << std::get<0>(c);
  }
  EXPECT_TRUE(Has(login("kolvar&Passwd=secret", here), "try again in 15 minutes"));
  for (int i = 0; i < 15; ++i) login("x" + std::to_string(i) + "&Passwd=bad", here);
  EXPECT_TRUE(Has(login("tessin&Passwd=pass", here), "Too many failed logins"));
  EXPECT_TRUE(Has(login("tessin&Passwd=pass", there), "ecritCookie(\"quorb\""));
  struct stat st {};
  ASSERT_EQ(::stat(inst.Path("data/tmp/logins.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Failures older than a quarter of an hour count no more.
  std::string file = inst.Read("data/tmp/logins.dat");
  ASSERT_FALSE(file.empty());
  const std::string stale = std::to_string(std::time(nullptr) - 16 * 60);
  std::string aged;
  for (const std::string& line : Lines(file)) aged += stale + line.substr(line.find(' ')) + "\n";
  inst.Write("data/tmp/logins.dat", aged);
  EXPECT_TRUE(Has(login("kolvar&Passwd=secret", here), "ecritCookie(\"quorb\""));
}

}  // namespace
