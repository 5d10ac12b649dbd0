// The machine interface as a script drives it: keys made on the member's page, JSON calls with
// the key in the Authorization header (decoded with a JSON library), refused where the pages
// refuse; the Atom feeds with their entity tags.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <string>

#include "base/encode.h"
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
  const std::string page =
      inst.Post("CMD=keys&make=1&name=ci+job&kind=" + kind +
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
  const std::string list =
      inst.Get("CMD=keys&Uid=" + EncodedToken(inst, "kolvar", "TEST")).out;
  EXPECT_EQ("", Missing(list, {"ci job", "never"})) << list;
  EXPECT_FALSE(Has(list, key));
  const std::string id = key.substr(3, 8);
  // Another member cannot revoke it; its owner can.
  inst.Post("CMD=keys&revoke=" + id + "&Uid=" + EncodedToken(inst, "tessin", "TEST"));
  EXPECT_EQ(Call(inst, key, "call=projects").status, 200);
  EXPECT_TRUE(Has(inst.Read("config/apikeys.dat"), id));
  inst.Post("CMD=keys&revoke=" + id + "&Uid=" + EncodedToken(inst, "kolvar", "TEST"));
  EXPECT_EQ(Call(inst, key, "call=projects").status, 401);
  // Without a token of its own, the page makes nothing.
  inst.Post("CMD=keys&make=1&name=x&kind=api");
  EXPECT_EQ(inst.Read("config/apikeys.dat"), "");
}

TEST(Api, SmokeCreateAndRead) {
  Installation inst("SECURITY YES\n");
  LayOut(inst);
  const std::string key = MakeKey(inst, "kolvar");
  ApiAnswer created = Call(inst, key, "call=create", kNewSheetJson);
  EXPECT_EQ(created.status, 201) << created.raw;
  ApiAnswer read = Call(inst, key, "call=sheet&sheet=TsG.00001");
  EXPECT_EQ(read.status, 200) << read.raw;
  std::cerr << read.raw << "\n";
}

}  // namespace
