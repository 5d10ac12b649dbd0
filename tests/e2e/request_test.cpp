#include "web/request.h"

#include <gtest/gtest.h>

#include <functional>

#include "harness.h"

namespace {

using namespace e2e;

// The unknown command answers with the decoded list, which makes the decoder visible.
std::string Dump(const std::string& params) {
  return std::string(kHtmlHeader) + "<PRE>" + params;
}

// The list is in reverse order and the last occurrence of a name wins; values are decoded and
// escaped, names are not decoded; two unknown commands make one dump; commands are case
// sensitive; a request that no handler answers gets the dump too. The query string wins over a
// posted body; a body is read as far as it goes and the length says; a browser's boundary with
// few dashes is known by the content type; an upload cut short keeps its fields.
TEST(RequestDecoding, UnknownCommandDumpsTheDecodedList) {
  Installation inst;
  const std::string webkit = "----WebKitFormBoundaryAbC123", x = "---------------------------x";
  std::string cut = MultipartBody({{"CMD", "zz"}, {"f", "abc-----", "a.bin"}}, x);
  cut.resize(cut.size() - 10);
  const std::string multipart = "multipart/form-data; boundary=";
  const struct {
    std::string query, body, type;
    std::optional<long long> length;
    std::string dump;
  } cases[] = {
      {"CMD=zip&Num=3&CMD=zap", "", "", {}, "CMD : 'zap'\nNum : '3'\nCMD : 'zip'\n"},
      {"t=a+b%2Bc&a%20b=1&CMD=zz", "", "", {}, "CMD : 'zz'\na%20b : '1'\nt : 'a b+c'\n"},
      {"CMD=%3Cscript%3E&v=%22x%22", "", "", {}, "v : '&quot;x&quot;'\nCMD : '&lt;script&gt;'\n"},
      {"CMD=verified", "", "", {}, "CMD : 'verified'\n"},  // only "Verified" is an action
      {"Uid=abc&x=1", "", "", {}, "x : '1'\nUid : 'abc'\n"},
      {"CMD=q", "CMD=body", "", {}, "CMD : 'q'\n"},
      {"", "CMD=zz&a=1", "", 1'000'000, "a : '1'\nCMD : 'zz'\n"},
      {"", "CMD=zz&a=1", "", 6, "CMD : 'zz'\n"},
      {"",
       MultipartBody({{"CMD", "zz"}, {"v", "1"}}, webkit),
       multipart + webkit,
       {},
       "v : '1'\nCMD : 'zz'\n"},
      {"", cut, multipart + x, {}, "f : 'a.bin'\nCMD : 'zz'\n"},
  };
  for (const auto& c : cases) {
    Request request;
    request.method = c.body.empty() ? "GET" : "POST";
    request.query = c.query;
    request.body = c.body;
    request.content_type = c.type;
    request.content_length = c.length;
    auto r = inst.Run(request);
    EXPECT_EQ(r.exit_code, 0) << c.query << c.body;
    EXPECT_EQ(r.out, Dump(c.dump)) << c.query << c.body;
  }
  // The incomplete upload is not kept.
  for (const auto& f : inst.List("data/tmp")) EXPECT_NE(f.rfind("data", 0), 0u) << f;
  // A negative length reads no body: the home page.
  Request negative;
  negative.method = "POST";
  negative.body = "CMD=zz";
  negative.content_length = -5;
  EXPECT_TRUE(Has(inst.Run(negative).out, "<TITLE>QUORB</TITLE>"));
}

// The trace of a GET, of one without a query, which takes the home road, and of a POST, whose
// body is copied too; only with DEBUG YES, as every click would pay for them.
TEST(RequestDecoding, TraceAndLog) {
  Installation quiet("DEBUG NO\n");
  quiet.Get("CMD=zz&a=%C3");
  quiet.Post("CMD=zz&a=1");
  EXPECT_EQ(quiet.List("temp"), std::vector<std::string>{});
  EXPECT_EQ(quiet.List("data/tmp"), std::vector<std::string>{});

  Installation inst("DEBUG YES\n");
  inst.Get("CMD=zz&a=%C3");
  EXPECT_EQ(inst.Read("temp/quorb.tra"), "#qs\"CMD=zz&a=%C3\"\n#*qs:<67>\n#\nCMD=zz&a=%C3\n");
  EXPECT_EQ(inst.Read("data/tmp/quorb.log"), "CMD=zz&a=%C3\n");
  EXPECT_EQ(inst.Get("").exit_code, 0);
  EXPECT_EQ(inst.Read("temp/quorb.tra"),
            "#qs\"\"\n#*qs:<0>\n#METHOD >>GET\n#post: 0\n#qs=\"\";\n#\n\n");
  EXPECT_EQ(inst.Post("CMD=zz&text=line1%0D%0Aline2").out,
            Dump("text : 'line1\r\nline2'\nCMD : 'zz'\n"));
  EXPECT_EQ(inst.Read("temp/quorb.tra"),
            "#qs\"\"\n#*qs:<0>\n#METHOD >>POST\n#post: 1\n#qs=\"CMD=zz&text=line1%0D%0Aline2\";\n"
            "#\nCMD=zz&text=line1%0D%0Aline2\n");
  EXPECT_EQ(inst.Read("temp/quorb.in"), "CMD=zz&text=line1%0D%0Aline2");
}

// From a command line (no GATEWAY_INTERFACE) the argument TEST replays the last trace; under a
// web server it replays nothing and the home page answers.
TEST(RequestDecoding, ReplayModeReusesTheLastTrace) {
  Installation inst("DEBUG YES\n");
  Request req;
  req.query = "CMD=zz";
  req.args = {"TEST"};
  req.env = {{"GATEWAY_INTERFACE", ""}};               // a command line, not a web server
  EXPECT_EQ(inst.Run(req).out, Dump("CMD : 'zz'\n"));  // no trace yet: a normal request
  req.args = {"OTHER"};
  EXPECT_EQ(inst.Run(req).out, Dump("CMD : 'zz'\n"));  // no replay asked for
  inst.Get("CMD=first&x=1");
  req.query = "";
  req.args = {"TEST"};
  auto r = inst.Run(req);
  // The replayed line keeps its line end, so the last value ends with it.
  EXPECT_EQ(r.out, Dump("x : '1\n'\nCMD : 'first'\n"));
  EXPECT_EQ(inst.Read("temp/quorb.tra"),
            "#qs\"CMD=first&x=1\n\"\n#*qs:<67>\n#arg:<TEST>\n#\nCMD=first&x=1\n\n");
  req.env = {};
  const std::string web = inst.Run(req).out;
  EXPECT_FALSE(Has(web, "first")) << web;
  EXPECT_TRUE(Has(web, "<TITLE>QUORB</TITLE>"));
}

TEST(Multipart, FieldsThenAFileThatMustBeLastAndLongValuesCut) {
  Installation inst("DEBUG YES\n");
  std::string content = "line one\r\nbinary \x01\x02 ---------------------------7d0a1b2c3d4 part\n";
  auto r = inst.PostMultipart({{"CMD", "zz"},
                               {"Num", "TS10.00042"},
                               {"QS", "first line\r\nsecond line"},
                               {"file", content, "C:\\docs\\report.txt"},
                               {"after", "never"}});
  EXPECT_EQ(
      r.out,
      Dump("file : 'C:\\docs\\report.txt'\nQS : 'first line'\nNum : 'TS10.00042'\nCMD : 'zz'\n"));
  EXPECT_EQ(inst.Read("data/tmp/quorb.log"),
            "file=C:\\docs\\report.txt&QS=first line&Num=TS10.00042&CMD=zz\n");
  EXPECT_EQ(Missing(inst.Read("temp/quorb.tra"),
                    {"\ndelimiter:>-----------------------------7d0a1b2c3d4e5f<\n", "nom->Num\n",
                     "-->len: 10 \n"}),
            "");
  // No handler took the upload: it is gone with the request.
  EXPECT_EQ(inst.List("data/tmp"), (std::vector<std::string>{"quorb.log"}));
  // Long values and the rebuilt query are cut.
  const std::string big(5000, 'v');
  EXPECT_EQ(inst.PostMultipart({{"CMD", "zz"}, {"big", big}}).out,
            Dump("big : '" + std::string(998, 'v') + "'\nCMD : 'zz'\n"));
  EXPECT_EQ(inst.Read("data/tmp/quorb.log"), "big=" + std::string(995, 'v') + "\n");
}

TEST(RequestDecoding, HostileInputsEndCleanly) {
  Installation inst("DEBUG YES\n");
  inst.InstallLanguageFiles();
  std::string binary;
  for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
  EXPECT_EQ(inst.Post(binary).exit_code, 0);
  // A body that announces itself as multipart and is nothing of the kind.
  std::string garbage = "-----------------------------x\r\n\"\";\"" + binary + "\"\"\r\n;";
  auto g = inst.Post(garbage, "multipart/form-data; boundary=---------------------------x");
  EXPECT_EQ(g.exit_code, 0) << g.err;
  // One that holds no parameter at all: the home page answers.
  EXPECT_TRUE(inst.Post("garbage\r\n--x\r\n", "multipart/form-data; boundary=x")
                  .out.starts_with(PageHead("QUORB")));
  for (const char* query : {"=&&=", "%", "Uid"}) {
    auto q = inst.Get(query);
    EXPECT_EQ(q.exit_code, 0) << query << q.err;
    EXPECT_EQ(q.err, "") << query;
  }
  // Nothing is written outside the data tmp folder and the trace folder.
  EXPECT_EQ(inst.List("data"), (std::vector<std::string>{"Stats", "Synchro", "Tests", "tmp"}));
  EXPECT_EQ(inst.List("temp"), (std::vector<std::string>{"quorb.in", "quorb.tra"}));
}

// Requests over a limit of quorb.cfg are answered 413 before their body is read; nothing is
// decoded, dispatched or stored. Limits come from quorb.cfg, with defaults.
TEST(RequestLimits, OversizedRequestsAnswer413AndStoreNothing) {
  Installation inst("MAXPARAMS 50\nMAXPARTS 5\n");
  std::string many_params;
  for (int i = 0; i < 51; ++i) many_params += "a=&";
  std::vector<FormPart> many_parts;
  for (int i = 0; i < 6; ++i) many_parts.push_back({"p" + std::to_string(i), "v"});
  many_parts.push_back({"file", "content", "f.txt"});
  Request huge_upload;
  huge_upload.method = "POST";
  huge_upload.content_type = "multipart/form-data; boundary=-----------------------------x";
  huge_upload.content_length = (64LL << 20) + 1;  // announced only: it must not be read
  Request huge_form = huge_upload;
  huge_form.content_type = "application/x-www-form-urlencoded";
  huge_form.content_length = (1LL << 20) + 1;
  const std::tuple<std::string, std::function<CgiResult()>, std::string> cases[] = {
      {"url-encoded body over 1 MB", [&] { return inst.Run(huge_form); }, "larger than 1048576"},
      {"upload over 64 MB", [&] { return inst.Run(huge_upload); }, "larger than 67108864"},
      {"too many parameters in a body", [&] { return inst.Post("CMD=new&" + many_params); },
       "more than 50 parameters"},
      {"too many parameters in a query", [&] { return inst.Get("CMD=new&" + many_params); },
       "more than 50 parameters"},
      {"too many parts", [&] { return inst.PostMultipart(many_parts); }, "more than 5 parts"},
  };
  for (const auto& [what, run, says] : cases) {
    CgiResult r = run();
    EXPECT_TRUE(r.out.starts_with("Status: 413 Payload Too Large\n")) << what << r.out;
    EXPECT_TRUE(Has(r.out, says)) << what << r.out;
    EXPECT_TRUE(Has(r.out, "Nothing was stored.")) << what;
    EXPECT_LT(r.out.size(), 2000u) << what;
    EXPECT_EQ(inst.List("data/tmp"), std::vector<std::string>{}) << what;
    EXPECT_EQ(inst.List("temp"), std::vector<std::string>{}) << what;
  }
  // At the limit the request is served; the dump and the diagnostic files keep a few
  // kilobytes of a long value.
  std::string at_limit;
  for (int i = 0; i < 48; ++i) at_limit += "a=&";
  const std::string long_value(100000, 'v');
  CgiResult r = inst.Post(at_limit + "CMD=zz&long=" + long_value);
  EXPECT_TRUE(r.out.starts_with(kHtmlHeader)) << r.out.substr(0, 200);
  EXPECT_TRUE(Has(r.out, "long : '" + std::string(4096, 'v') + "'\n"));
  EXPECT_LT(r.out.size(), 6000u);
  for (const char* file : {"temp/quorb.in", "temp/quorb.tra", "data/tmp/quorb.log"})
    EXPECT_LT(inst.Read(file).size(), 10000u) << file;
}

}  // namespace
