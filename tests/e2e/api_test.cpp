// The machine interface as a script drives it: keys made on the member's page, JSON calls with
// the key in the Authorization header (decoded with a JSON library), refused where the pages
// refuse; the Atom feeds with their entity tags.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <string>

#include "base/encode.h"
#include "base/out.h"
#include "harness.h"

namespace {

using namespace e2e;
using Json = nlohmann::json;

struct ApiAnswer {
  int status = 200;
  Json body;
  std::string raw;
};

// The key a member makes on their page (shown once there).
std::string MakeKey(const Installation& inst, const std::string& login,
                    const std::string& kind = "api", const std::string& project = "TEST") {
  const std::string page = inst.Post("CMD=keys&make=1&name=ci+job&kind=" + kind +
                                     "&Uid=" + EncodedToken(inst, login, project))
                               .out;
  const size_t at = page.find("<CODE ID=newkey>");
  if (at == std::string::npos) return "";
  const size_t start = at + 16;
  return page.substr(start, page.find("</CODE>", start) - start);
}

int StatusOf(const std::string& out) {
  return out.starts_with("Status: ") ? std::stoi(out.substr(8, 3)) : 200;
}

std::string BodyOf(const std::string& out) {
  const size_t end = out.find("\n\n");
  return end == std::string::npos ? "" : out.substr(end + 2);
}

ApiAnswer Call(const Installation& inst, const std::string& key, const std::string& query,
               const std::string& body = "", std::map<std::string, std::string> env = {}) {
  Request request;
  request.query = "CMD=api&v=1&" + query;
  if (!key.empty()) env["HTTP_AUTHORIZATION"] = "Bearer " + key;
  request.env = env;
  if (!body.empty()) {
    request.method = "POST";
    request.body = body;
    request.content_type = "application/json";
  }
  CgiResult result = inst.Run(request);
  ApiAnswer answer;
  answer.raw = result.out;
  answer.status = StatusOf(result.out);
  answer.body = Json::parse(BodyOf(result.out), nullptr, false);
  EXPECT_FALSE(answer.body.is_discarded()) << result.out;
  // The header comes first: no comment of a page's code before it, even with DEBUG YES.
  EXPECT_TRUE(result.out.starts_with("Status: ") ||
              result.out.starts_with("Content-type: application/json; charset=utf-8\n"))
      << result.out;
  EXPECT_TRUE(Has(result.out, "Content-type: application/json; charset=utf-8\n")) << result.out;
  return answer;
}

// TEST as the sample lays it out, tessin without the creation right; DEMO, of kolvar only.
void LayOut(const Installation& inst) {
  WriteSampleProject(inst, "DEMO:D:kolvar:kolvar\n");
  inst.Write("config/DEMO_users.cfg", "kolvar:kolvar@example.org:secret: :YES:YES:YES:YES\n");
  inst.Write("config/DEMO_subproject.cfg", "GUI:G\n");
  inst.Write("config/DEMO_program.cfg", "prog1\n");
  inst.Write("config/DEMO_version.cfg", "1.0\n");
}

constexpr const char* kNewSheetJson =
    R"({"title":"A bug","project":"TEST","group":"GUI","prog":"prog1","sev":2,"impact":"b",)"
    R"("phase":"b","version":"1.0","exp":"2.0","type":1,"test":"T1","Load":3,"text":"Desc"})";

// The keys page: a key is shown once, kept only as its hash in a file of mode 0600, listed
// with its name, and revoked by its owner alone.
TEST(Api, KeysAreShownOnceKeptHashedAndRevoked) {
  Installation inst("SECURITY YES\n");
  LayOut(inst);
  const std::string key = MakeKey(inst, "kolvar");
  ASSERT_EQ(key.size(), 44u) << key;
  const std::string file = inst.Read("config/apikeys.dat");
  EXPECT_FALSE(Has(file, key.substr(12)));
  EXPECT_EQ(Mode(inst, "config/apikeys.dat"), 0600);
  const std::string list = inst.Get("CMD=keys&Uid=" + EncodedToken(inst, "kolvar", "TEST")).out;
  EXPECT_EQ("", Missing(list, {"ci job", "never"})) << list;
  EXPECT_TRUE(Has(inst.Get("Uid=" + EncodedToken(inst, "kolvar", "TEST")).out,
                  "/cgi-bin/quorb.cgi?CMD=keys&Uid="));
  EXPECT_FALSE(Has(list, key));
  EXPECT_TRUE(Has(
      inst.Post("CMD=keys&make=1&name=reader&kind=feed&Uid=" + EncodedToken(inst, "kolvar", "TEST"))
          .out,
      "http://localhost/cgi-bin/quorb.cgi?CMD=feed&project=TEST&key=qkf"));
  const std::string id = key.substr(3, 8);
  // Another member cannot revoke it; its owner can.
  inst.Post("CMD=keys&revoke=" + id + "&Uid=" + EncodedToken(inst, "tessin", "TEST"));
  EXPECT_EQ(Call(inst, key, "call=projects").status, 200);
  EXPECT_TRUE(Has(inst.Read("config/apikeys.dat"), id));
  inst.Post("CMD=keys&revoke=" + id + "&Uid=" + EncodedToken(inst, "kolvar", "TEST"));
  EXPECT_EQ(Call(inst, key, "call=projects").status, 401);
  // Without a token of its own, the page makes nothing.
  inst.Post("CMD=keys&make=1&name=x&kind=api");
  EXPECT_EQ(Lines(inst.Read("config/apikeys.dat")).size(), 1u);  // the feed key alone
}

// The book of the sample's GUI sub-project in its first phase: module M1, step S1, tests 000
// to 002, made through the book pages by kolvar.
void WriteBook(const Installation& inst) {
  const std::string at =
      "CMD=book&project=TEST&group=GUI&phase=0&Uid=" + EncodedToken(inst, "kolvar", "TEST");
  inst.Post(at + "&book=4&mod=M1&title=First+module");
  inst.Post(at + "&book=6&mod=M1&step=S1&title=Step");
  for (int t = 0; t < 3; ++t)
    inst.Post(at + "&book=8&mod=M1&step=S1&title=Check+it&submitter=kolvar");
}

std::string SheetFiles(const Installation& inst) {
  std::string names;
  for (const std::string& name : inst.List("data"))
    if (name.find(".000") != std::string::npos) names += name + " ";
  return names;
}

// Every call once as it succeeds, then as each kind of caller the pages refuse is refused:
// nobody, a wrong, a malformed or a revoked key, a feed key writing, a member lacking the
// right, a member of another project, a stale revision, a body over the limit, text Latin-1
// cannot hold. A refused write stores nothing; a retried one (same Idempotency-Key) stores
// nothing twice.
TEST(Api, EveryCallSucceedsAndIsRefusedWhereThePagesRefuse) {
  Installation inst("SECURITY YES\nMAXFORM 4K\nMAXUPLOAD 8K\n");
  LayOut(inst);
  WriteBook(inst);
  const std::string kolvar = MakeKey(inst, "kolvar");
  const std::string tessin = MakeKey(inst, "tessin");
  const std::string feed = MakeKey(inst, "kolvar", "feed");
  const std::string revoked = MakeKey(inst, "kolvar");
  inst.Post("CMD=keys&revoke=" + revoked.substr(3, 8) +
            "&Uid=" + EncodedToken(inst, "kolvar", "TEST"));
  ASSERT_FALSE(kolvar.empty());
  ASSERT_EQ(Call(inst, kolvar, "call=create", kNewSheetJson).status, 201);
  std::string demo = kNewSheetJson;
  demo.replace(demo.find("TEST"), 4, "DEMO");
  demo.replace(demo.find("\"phase\":\"b\""), 11, "\"phase\":\"a\"");
  ASSERT_EQ(Call(inst, kolvar, "call=create", demo).status, 201) << SheetFiles(inst);
  const std::string revision = Call(inst, kolvar, "call=sheet&sheet=TsG.00001").body["revision"];
  inst.Write("data/forward/TsG.00077", "TsG.00001\n");  // a name the sheet had before a move

  struct Case {
    std::string what;
    std::string key;
    std::string query;
    std::string body;
    int status;
    std::string holds;  // a piece of the answer's text
  };
  const std::string assign =
      R"({"sheet":"TsG.00001","action":"Assign","submitter":"tessin","text":"Yours","revision":")" +
      revision + R"("})";
  const Case kCases[] = {
      // What succeeds.
      {"read a sheet", kolvar, "call=sheet&sheet=TsG.00001", "", 200, "\"entries\":[{"},
      {"read a sheet by a former name", kolvar, "call=sheet&sheet=TsG.00077", "", 200,
       "\"sheet\":\"TsG.00001\""},
      {"search", kolvar, "call=search&project=TEST&per=1", "", 200, "\"total\":1"},
      {"journal", kolvar, "call=journal&since=2000/01/01", "", 200, "Submitted by kolvar"},
      {"projects", tessin, "call=projects", "", 200, "\"versions\":[\"1.0\",\"1.1\"]"},
      {"book", kolvar, "call=book&project=TEST&group=GUI&phase=a", "", 200,
       "\"test\":\"M1.S1.002\""},
      {"action", kolvar, "call=action", assign, 200, "\"status\":\"A\""},
      {"entry", tessin, "call=entry", R"({"sheet":"TsG.00001","title":"Why","text":"Ça"})", 200,
       "\"text\":\"Ça\\n\""},
      {"an entry edited", kolvar, "call=action",
       R"({"sheet":"TsG.00001","action":"Edit","Edit":0,"title":"Desc","text":"Edited"})", 200,
       "\"text\":\"Edited\\n\""},
      {"a copy", kolvar, "call=action",
       R"({"sheet":"DaG.00001","action":"Copy","project":"DEMO","group":"GUI","prog":"prog1",)"
       R"("sev":2,"phase":"a"})",
       201, "\"sheet\":\"DaG.00002\""},
      {"search in UTF-8", kolvar, "call=search&intext=%C3%87a", "", 200, "\"total\":1"},
      {"verdicts", kolvar, "call=verdicts",
       R"({"project":"TEST","group":"GUI","phase":"a","campaign":"ci-1","version":"1.0",)"
       R"("verdicts":[{"test":"M1.S1.000","verdict":"OK"},{"test":"M1.S1.001","verdict":"NOK"}]})",
       201, "\"passed\":1"},
      {"campaign", tessin, "call=campaign&project=TEST&group=GUI&phase=a&campaign=ci-1", "", 200,
       "\"executed\":2"},
      // Who is refused.
      {"nobody", "", "call=sheet&sheet=TsG.00001", "", 401, "no_key"},
      {"a wrong key", "qka00000000_00000000000000000000000000000000", "call=projects", "", 401,
       "bad_key"},
      {"a revoked key", revoked, "call=sheet&sheet=TsG.00001", "", 401, "bad_key"},
      {"a feed key writing", feed, "call=create", kNewSheetJson, 403, "read_only_key"},
      {"lacking the creation right", tessin, "call=create", kNewSheetJson, 403, "forbidden"},
      {"another project", tessin, "call=action",
       R"({"sheet":"DaG.00001","action":"Observed","text":"x"})", 403, "forbidden"},
      {"a stale revision", kolvar, "call=action",
       R"({"sheet":"TsG.00001","action":"Open","revision":"1-2000/01/01:00.00.00"})", 409,
       "stale_revision"},
      {"a body over MAXFORM", kolvar, "call=entry",
       R"({"sheet":"TsG.00001","title":"Long","text":")" + std::string(5000, 'x') + "\"}", 413,
       "too_large"},
      {"text Latin-1 cannot hold", kolvar, "call=entry",
       R"({"sheet":"TsG.00001","title":"Price","text":"10 €"})", 422, "U+20AC"},
      {"a search for text Latin-1 cannot hold", kolvar, "call=search&intitle=%E2%82%AC", "", 422,
       "U+20AC"},
      {"a sheet that is not there", kolvar, "call=sheet&sheet=TsG.00099", "", 404, "no_such_sheet"},
      {"no JSON", kolvar, "call=create", "title=x", 400, "bad_json"},
      {"a missing field", kolvar, "call=create", R"({"project":"TEST"})", 422, "refused"},
      {"an unknown call", kolvar, "call=drop", "", 404, "no_such_call"},
      {"another version", kolvar, "call=projects&v=2", "", 400, "bad_version"},
  };
  for (const Case& c : kCases) {
    const std::string journal = inst.Read("data/history.dat");
    const std::string sheets = SheetFiles(inst);
    ApiAnswer answer = Call(inst, c.key, c.query, c.body);
    EXPECT_EQ(answer.status, c.status) << c.what << "\n" << answer.raw;
    EXPECT_TRUE(Has(answer.body.dump(), c.holds)) << c.what << "\n" << answer.body.dump();
    if (c.status >= 400) {
      EXPECT_EQ(inst.Read("data/history.dat"), journal) << c.what;
      EXPECT_EQ(SheetFiles(inst), sheets) << c.what;
    }
  }

  // A retried creation: the same Idempotency-Key stores one sheet, and answers with it.
  const std::map<std::string, std::string> once = {{"HTTP_IDEMPOTENCY_KEY", "job-42"}};
  ApiAnswer first = Call(inst, kolvar, "call=create", kNewSheetJson, once);
  ApiAnswer again = Call(inst, kolvar, "call=create", kNewSheetJson, once);
  EXPECT_EQ(first.status, 201) << first.raw;
  EXPECT_EQ(again.status, 200) << again.raw;
  EXPECT_EQ(again.body["sheet"], first.body["sheet"]);
  EXPECT_EQ(again.body["repeated"], true);
  EXPECT_EQ(SheetFiles(inst), "DaG.00001 DaG.00002 TsG.00001 TsG.00002 ");

  // A file attached by a multipart post, listed with its download link, which downloads it.
  CgiResult attached = inst.PostMultipart({{"CMD", "api"},
                                           {"v", "1"},
                                           {"call", "attach"},
                                           {"sheet", "TsG.00002"},
                                           {"title", "Log"},
                                           {"file", "line 1\n", "run.log"}},
                                          {{"HTTP_AUTHORIZATION", "Bearer " + kolvar}});
  EXPECT_EQ(StatusOf(attached.out), 201) << attached.out;
  Json sheet = Json::parse(BodyOf(attached.out), nullptr, false);
  ASSERT_TRUE(sheet.contains("attachments")) << attached.out;
  ASSERT_EQ(sheet["attachments"].size(), 1u) << attached.out;
  const std::string link = sheet["attachments"][0]["download"];
  EXPECT_EQ(sheet["attachments"][0]["file"], "Log_run.log");
  const std::string query = link.substr(link.find('?') + 1);
  EXPECT_EQ(BodyOf(inst.Get(query + "&Uid=" + EncodedToken(inst, "kolvar", "TEST")).out),
            "line 1\n");

  // A file over MAXUPLOAD: refused before it is read, in JSON.
  CgiResult large = inst.PostMultipart({{"CMD", "api"},
                                        {"v", "1"},
                                        {"call", "attach"},
                                        {"sheet", "TsG.00002"},
                                        {"title", "Big"},
                                        {"file", std::string(9000, 'x'), "big.log"}},
                                       {{"HTTP_AUTHORIZATION", "Bearer " + kolvar}});
  EXPECT_EQ(StatusOf(large.out), 413) << large.out;
  EXPECT_TRUE(Has(BodyOf(large.out), "\"code\":\"too_large\"")) << large.out;

  // The verdicts posted again record nothing new.
  const std::string history = inst.Read("data/history.dat");
  ApiAnswer repeat = Call(inst, kolvar, "call=verdicts",
                          R"({"project":"TEST","group":"GUI","phase":"a","campaign":"ci-1",)"
                          R"("version":"1.0","verdicts":[{"test":"M1.S1.000","verdict":"OK"}]})");
  EXPECT_EQ(repeat.status, 200) << repeat.raw;
  EXPECT_EQ(repeat.body["recorded"], 0);
  EXPECT_EQ(inst.Read("data/history.dat"), history);
}

// With security off the interface answers only when the administrator turned it on.
TEST(Api, IsOffWithoutSecurityUnlessTurnedOn) {
  Installation off;
  WriteSampleProject(off);
  EXPECT_EQ(Call(off, "", "call=projects").status, 403);
  Installation on("API YES\n");
  WriteSampleProject(on);
  ApiAnswer projects = Call(on, "", "call=projects");
  EXPECT_EQ(projects.status, 200) << projects.raw;
  EXPECT_EQ(projects.body["projects"][0]["name"], "TEST");
}

// The feeds: a feed key in the URL reads them, an API key there does not (a URL is logged);
// the entity tag follows the journal, and a poll that brings it back gets 304 alone.
TEST(Api, FeedsFollowTheJournalAndAnswerAPollWithTheirTag) {
  Installation inst("SECURITY YES\nBASEURL https://bugs.example.org/tools\n");
  LayOut(inst);
  const std::string kolvar = MakeKey(inst, "kolvar");
  const std::string feed = MakeKey(inst, "kolvar", "feed");
  ASSERT_EQ(Call(inst, kolvar, "call=create", kNewSheetJson).status, 201);
  auto get = [&](const std::string& query, const std::string& tag = "") {
    Request request;
    request.query = query;
    if (!tag.empty()) request.env["HTTP_IF_NONE_MATCH"] = tag;
    return inst.Run(request).out;
  };
  const std::string project = get("CMD=feed&project=TEST&key=" + feed);
  EXPECT_TRUE(project.starts_with("Content-type: application/atom+xml; charset=utf-8\n"));
  EXPECT_EQ("", Missing(project, {"Content-type: application/atom+xml; charset=utf-8\n",
                                  "<feed xmlns=\"http://www.w3.org/2005/Atom\">",
                                  "<link rel=\"alternate\" type=\"text/html\" href=\"https://"
                                  "bugs.example.org/tools/cgi-bin/quorb.cgi?Num=TsG.00001\"/>",
                                  "<title>TsG.00001: Submitted by kolvar</title>"}))
      << project;
  const size_t at = project.find("ETag: ") + 6;
  const std::string tag = project.substr(at, project.find('\n', at) - at);
  EXPECT_EQ(get("CMD=feed&project=TEST&key=" + feed, tag).substr(0, 24),
            "Status: 304 Not Modified");
  EXPECT_EQ(StatusOf(get("CMD=feed&project=TEST&key=" + kolvar)), 401);
  EXPECT_EQ(StatusOf(get("CMD=feed&project=TEST")), 401);
  EXPECT_EQ(StatusOf(get("CMD=feed&project=NONE&key=" + feed)), 404);
  // A change: a new tag, the new entry first; the sheet's own feed has it too.
  ASSERT_EQ(
      Call(inst, kolvar, "call=entry", R"({"sheet":"TsG.00001","title":"T","text":"x"})").status,
      200);
  const std::string changed = get("CMD=feed&project=TEST&key=" + feed, tag);
  EXPECT_EQ(StatusOf(changed), 200);
  EXPECT_LT(changed.find("Analysis"), changed.find("Submitted by")) << changed;
  const std::string sheet = get("CMD=feed&Num=TsG.00001&key=" + feed);
  EXPECT_EQ(Count(sheet, "<entry>"), 2) << sheet;
  // A long journal is read from its end, in blocks: lines across their borders whole, the
  // project's latest 50 in order, others' left out.
  std::string journal, expected;
  std::vector<std::string> mine;
  for (int n = 0; n < 6000; ++n) {
    const bool ours = n % 61 == 0;
    const std::string line = base::Sprintf("2026/01/01:00.00.00 %s.%05d change %d %s\n",
                                           ours ? "TsG" : "XsG", n, n, std::string(n % 97, 'x'));
    journal += line;
    if (ours) mine.push_back(line.substr(20, line.size() - 21).insert(9, ":"));
  }
  inst.Write("data/history.dat", journal);
  const std::string long_feed = get("CMD=feed&project=TEST&key=" + feed);
  std::vector<std::string> titles;
  for (size_t at = 0; (at = long_feed.find("<entry>\n<id>", at)) != std::string::npos; ++at) {
    const size_t title = long_feed.find("<title>", at) + 7;
    titles.push_back(long_feed.substr(title, long_feed.find("</title>", title) - title));
  }
  ASSERT_EQ(titles.size(), 50u) << long_feed.substr(0, 2000);
  for (size_t i = 0; i < 50; ++i) EXPECT_EQ(titles[i], mine[mine.size() - 1 - i]) << i;

  // Without security every project reads anonymously.
  Installation open;
  WriteSampleProject(open);
  EXPECT_EQ(StatusOf(open.Get("CMD=feed&project=TEST").out), 200);
}

}  // namespace
