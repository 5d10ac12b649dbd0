// With security on, the server itself knows who asks: sealed tokens, the cookie for reading
// only, rights in the project acted on, no replay from the web, private diagnostic files.
#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "base/encode.h"
#include "base/files.h"
#include "harness.h"

namespace {

using namespace e2e;

const std::string kCreation =
    "CMD=new&title=Crash&project=TEST&group=GUI&prog=prog1&sev=2&impact=a&phase=a"
    "&version=1.0&submitter=kolvar&text=hello";

void LayOutSecured(const Installation& inst) {
  WriteSampleProject(inst, "THIRD:3:zed:zed\n");
  inst.Write("config/THIRD_users.cfg", "zed:zed@example.org:zpw: :YES:YES\n");
}

std::string Cookie(const std::string& token) {
  return "lang=ja; quorb=" + base::UrlEncode(token, false);
}

// The program that faces the web is position-independent: its code lies at another address in
// every process. (The sanitizer build is not, for its start-up time.)
TEST(Security, TheProgramIsPositionIndependent) {
  if (e2e::CgiSanitized()) GTEST_SKIP();
  const std::optional<std::string> program = base::ReadFile(e2e::Cgi());
  ASSERT_TRUE(program && program->size() > sizeof(Elf64_Ehdr));
  Elf64_Ehdr head;
  std::memcpy(&head, program->data(), sizeof head);
  EXPECT_EQ(head.e_type, ET_DYN);
}

TEST(Security, CreationNeedsTheRequestsOwnSealedTokenOfAMemberWithRightTwo) {
  Installation inst("SECURITY YES\n");
  LayOutSecured(inst);
  const std::string kolvar = TokenFor(inst, "kolvar", "TEST");
  // uid: url-encoded, appended as the request's own Uid
  const std::tuple<std::string, std::string, std::map<std::string, std::string>> refused[] = {
      {"no token", "", {}},
      {"not a member", EncodedToken(inst, "zed", "THIRD"), {}},
      {"no right 2", EncodedToken(inst, "tessin", "TEST"), {}},
      {"cookie alone", "", {{"HTTP_COOKIE", Cookie(kolvar)}}},
  };
  for (const auto& [what, uid, env] : refused) {
    auto r = inst.Send(kCreation + (uid.empty() ? "" : "&Uid=" + uid), env);
    EXPECT_TRUE(Has(r.out, "You are not allowed to create fact sheets in this project."))
        << what << "\n"
        << r.out;
    EXPECT_FALSE(inst.Exists("data/TaG.00001")) << what;
    EXPECT_EQ(inst.Read("data/index"), "") << what;
  }

  auto stored = inst.Post(kCreation + "&Uid=" + EncodedToken(inst, "kolvar", "TEST"));
  EXPECT_TRUE(Has(stored.out, "<H1>TaG.00001</H1>")) << stored.out;
  EXPECT_TRUE(inst.Exists("data/TaG.00001"));
}

// A browser that follows a bare link is known by its cookie: the page is the logged-in
// user's, with the token in its links and forms.
TEST(Security, CookieNamesTheReaderOfABareLink) {
  Installation inst("SECURITY YES\n");
  LayOutSecured(inst);
  const std::string kolvar = TokenFor(inst, "kolvar", "TEST");
  const std::string suffix = "&Uid=" + base::UrlEncode(kolvar);
  auto home = inst.Get("", {{"HTTP_COOKIE", Cookie(kolvar)}});
  EXPECT_EQ("", Missing(home.out, {"<A HREF=\"/cgi-bin/quorb.cgi?CMD=create" + suffix + "\">",
                                   "   if (user == \"\") \n", "texte += \"; SameSite=Lax\"; \n"}))
      << home.out;
  auto form = inst.Get("CMD=create", {{"HTTP_COOKIE", Cookie(kolvar)}});
  EXPECT_TRUE(Has(form.out,
                  "<INPUT TYPE=\"hidden\" NAME=CMD VALUE=\"new\">\n"
                  "<INPUT TYPE=\"hidden\" NAME=Uid VALUE=\"" +
                      kolvar + "\">\n"))
      << form.out;
}

// Every change of a sheet, a test book, a campaign or the setup is a member's: refused without
// a token and with the token of a login the project does not list, done with a member's,
// whose form carries the token on. Each change is the ground of the next.
TEST(Security, OnlyMembersChange) {
  Installation inst("SECURITY YES\n");
  LayOutSecured(inst);
  const std::string token = TokenFor(inst, "kolvar", "TEST");
  const std::string member = "&Uid=" + base::UrlEncode(token);
  const std::string stranger = "&Uid=" + EncodedToken(inst, "nobody", "TEST");
  ASSERT_TRUE(Has(inst.Post(kCreation + member).out, "<H1>TaG.00001</H1>"));
  const std::string book = "project=TEST&group=GUI&phase=0&mod=M1";
  const std::string kBook = kSampleBook;
  // change: posted
  // file, holds: what the change leaves
  // form: a form of the same page
  const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
      {"CMD=book&" + book + "&book=4&title=T", kBook + "mod.M1", "T\n",
       "CMD=book&" + book + "&book=3"},
      {"CMD=book&" + book + "&book=6&step=S1&title=S", kBook + "step.M1.S1", "S\n",
       "CMD=book&" + book + "&book=5"},
      {"CMD=book&" + book + "&book=8&step=S1&title=X&submitter=tessin", kBook + "test.M1.S1.000",
       "X\n", "CMD=book&" + book + "&step=S1&book=7"},
      {"CMD=tests&" + book + "&book=27&camp=run", kBook + "test/C.run", "",
       "CMD=tests&" + book + "&book=26"},
      {"CMD=tests&" + book + "&camp=run&book=30&step=S1&test=000&submitter=tessin&res=2",
       kBook + "test/C.run/M1.S1.000", "kolvar",
       "CMD=tests&" + book + "&camp=run&step=S1&test=000&book=29"},
      {"CMD=Rejected&Num=TaG.00001&User=kolvar&text=No", "data/TaG.00001", " Rejected by kolvar\n",
       "CMD=Rejected&Num=TaG.00001"},
      {"CMD=Edit&Num=TaG.00001&Edit=0&User=kolvar&title=Mine", "data/TaG.00001", "\nMine|",
       "CMD=Edit&Num=TaG.00001&Edit=0"},
      {"CMD=setup&Edit=8&text=Changed%0A", "config/impacts.cfg", "Changed\n", "CMD=setup&Edit=8"},
  };
  for (const auto& [change, file, holds, form] : cases) {
    for (const std::string& who : {std::string(), stranger}) {
      EXPECT_TRUE(Has(inst.Post(change + who).out, "You are not allowed")) << change << who;
      EXPECT_FALSE(Has(inst.Read(file), holds) && inst.Exists(file)) << change << who;
    }
    inst.Post(change + member);
    EXPECT_TRUE(inst.Exists(file) && Has(inst.Read(file), holds)) << change;
    // NAME=Uid, or NAME="Uid" in the test book's pages.
    const std::string page = inst.Get(form + member).out, value = " VALUE=\"" + token + "\">";
    EXPECT_TRUE(Has(page, "NAME=Uid" + value) || Has(page, "NAME=\"Uid\"" + value)) << form << page;
  }
}

// The body copy, the trace and the log: mode 0600, no password, and a link planted at
// their names is replaced, not followed.
TEST(Security, DiagnosticFilesHoldNoPassword) {
  Installation inst("SECURITY YES\nDEBUG YES\n");
  LayOutSecured(inst);
  inst.Write("outside", "untouched");
  ASSERT_EQ(symlink(inst.Path("outside").c_str(), inst.Path("temp/quorb.tra").c_str()), 0);
  const char* kFiles[] = {"temp/quorb.in", "temp/quorb.tra", "data/tmp/quorb.log"};
  auto check = [&](const std::string& what) {
    for (const char* file : kFiles) {
      EXPECT_EQ("", Found(inst.Read(file), {"s3cr%3Bt", "s3cr;t", "pop3pw", "mqnxct"}))
          << what << " " << file;
      struct stat st;
      ASSERT_EQ(lstat(inst.Path(file).c_str(), &st), 0) << file;
      EXPECT_TRUE(S_ISREG(st.st_mode)) << file;
      EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
    }
  };
  auto r = inst.Post("Login=2&User=kolvar&Passwd=s3cr%3Bt&POP3PASS=pop3pw&CMD=help");
  check("url-encoded");
  EXPECT_TRUE(Has(inst.Read("temp/quorb.in"), "Passwd=*****&POP3PASS=*****&CMD=help"));
  // The token is a login for as long as it lasts.
  inst.Post("CMD=help&Uid=" + EncodedToken(inst, "kolvar", "TEST"));
  check("token");
  EXPECT_TRUE(Has(inst.Read("temp/quorb.in"), "CMD=help&Uid=*****"));
  // The setup forms' mailbox password and members' password column.
  inst.Post("CMD=help&popP=pop3pw&V2_0=s3cr%3Bt&V1_0=kept");
  check("setup fields");
  EXPECT_TRUE(Has(inst.Read("temp/quorb.in"), "popP=*****&V2_0=*****&V1_0=kept"));
  EXPECT_EQ(inst.Read("outside"), "untouched");
  inst.PostMultipart({{"Login", "2"}, {"Passwd", "s3cr;t\r\nmore"}, {"POP3PASS", "pop3pw"}});
  check("multipart");
  EXPECT_TRUE(Has(inst.Read("temp/quorb.tra"), "nom->Passwd\n-\r-\n-->*****\n-->len: 5 \n"))
      << inst.Read("temp/quorb.tra");
  EXPECT_TRUE(Has(inst.Read("data/tmp/quorb.log"), "Passwd=*****"));
  inst.Get("Login=2&User=kolvar&Passwd=s3cr%3Bt");
  check("query string");
}

// Without DEBUG the pages anyone may open name no folder of the server; with it, the
// administrator sees them.
TEST(Security, PagesShowNoServerPathWithoutDebug) {
  Installation inst;
  InstallPrintStandIn(inst);
  inst.WriteConfig(inst.DefaultConfig("PRINT " + inst.Path("print.sh") + "\nDEBUG NO\n"));
  WriteSampleProject(inst);
  inst.Post(kNewSheet);
  // The home page and its synchronisation pass, and the others.
  for (const std::string& query :
       Words(". Num=TsG.00001 CMD=Print&Num=TsG.00001 CMD=setup&Edit=2 "
             "CMD=create&project=TEST CMD=setup&Edit=4&project=NOPE&text=a "
             "CMD=book&project=TEST&group=GUI&phase=0")) {
    std::string page = inst.Get(query == "." ? "" : query).out;
    EXPECT_FALSE(Has(page, inst.root())) << query << "\n" << page;
  }
  inst.WriteConfig(inst.DefaultConfig("PRINT " + inst.Path("print.sh") + "\nDEBUG YES\n"));
  EXPECT_TRUE(Has(inst.Get("CMD=setup&Edit=2").out, inst.root()));
}

}  // namespace
