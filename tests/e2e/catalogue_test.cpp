// Catalogues of hostile values sent through every field of creation and the other built
// pages: none becomes markup in a page or a mail, none becomes a path outside the
// installation (every file the CGI touches is watched with strace).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>

#include "../unit/smtp_peer.h"
#include "base/encode.h"
#include "harness.h"

namespace {

using namespace e2e;
namespace fs = std::filesystem;

// Each payload, and the fragment of it that must never reach a page or a mail unescaped
// (short, so that a value cut at a field's limit is caught too).
struct Markup {
  std::string payload;
  std::string fragment;
};
const Markup kMarkup[] = {
    {"<script>alert(1)</script>", "<script>"},
    {"\"><script>alert(2)</script>", "\"><script"},
    {"<img src=x onerror=alert(3)>", "<img src=x"},
    {"<svg onload=alert(4)>", "<svg"},
    {"\" onmouseover=\"alert(5)", "\" onmouseover"},
    {"'><iframe src=javascript:alert(6)>", "<iframe"},
    {"</textarea><script>alert(7)</script>", "</textarea><"},
    {"</title><script>alert(8)</script>", "</title><"},
    {"--><script>alert(9)</script>", "--><"},
    {"><b>bold10</b>", "><b>"},
    {"<a href=\"javascript:alert(11)\">x</a>", "<a href=\""},
    {"<body onload=alert(12)>", "<body onload"},
    // A quote is harmless in text; in the cookie check's script string it must not end it.
    {"\");alert(13);//", "user != \"\");alert"},
    {"<ScRiPt>alert(14)</sCrIpT>", "<ScRiPt>"},
    {"<<script>alert(15)//<</script>", "<<script"},
    {"<div style=\"x:expression(alert(16))\">", "<div style"},
    {"<input autofocus onfocus=alert(17)>", "<input autofocus"},
    {"<meta http-equiv=refresh content=0>", "<meta"},
    {"<object data=x.swf>19", "<object"},
    {"<details open ontoggle=alert(20)>", "<details"},
    {"<math><mtext><table><mglyph>21", "<math>"},
    {"\"><!--22", "\"><!--"},
};

// Every field of the creation form, the place being a real one so the sheet is stored.
std::string CreationWithEverywhere(const std::string& value) {
  const std::string v = base::UrlEncode(value);
  std::string body = "CMD=new&project=TEST&group=GUI&prog=prog1&phase=b&version=1.0";
  for (const char* field : {"title", "sev", "impact", "exp", "type", "submitter", "test", "mdapda",
                            "Load", "text", "QS"})
    body += std::string("&") + field + "=" + v;
  return body;
}

void ExpectNoMarkup(const std::string& text, const Markup& m, const std::string& where) {
  EXPECT_FALSE(Has(text, m.fragment)) << where << ": " << m.payload << "\n" << text;
}

TEST(Catalogue, MarkupFromRequestsNeverRendered) {
  SampleInstallation inst;
  inst.Write("config/sendmail.cfg", "new M s\n");
  for (const Markup& m : kMarkup) {
    const std::string v = base::UrlEncode(m.payload);
    mail_test::ScriptedPeer relay(mail_test::ScriptedPeer::Mode::kAnswer);
    inst.WriteConfig(inst.DefaultConfig("MAILSERV " + relay.server() + "\n"));
    auto stored = inst.Post(CreationWithEverywhere(m.payload));
    const std::string mail = relay.Received();
    EXPECT_TRUE(Has(mail, "DATA\r\n")) << m.payload;
    ExpectNoMarkup(stored.out, m, "stored sheet");
    // The body, that is; the subject is text.
    ExpectNoMarkup(mail.substr(std::min(mail.find("<HTML>"), mail.size())), m, "mail");
    ExpectNoMarkup(inst.Post("CMD=new&title=" + v + "&project=" + v).out, m, "refused project");
    ExpectNoMarkup(inst.Post(CreationWithEverywhere(m.payload) + "&group=" + v).out, m,
                   "refused sub-project");
    ExpectNoMarkup(inst.Get("CMD=create&project=" + v + "&QS=" + v).out, m, "form");
    ExpectNoMarkup(inst.Get("CMD=" + v + "&" + v + "=" + v).out, m, "dump");
    ExpectNoMarkup(inst.Get("Login=1&" + v + "=" + v).out, m, "login form");
    inst.WriteConfig(inst.DefaultConfig("SECURITY YES\n"));
    ExpectNoMarkup(inst.Get("CMD=help&Uid=" + v, {{"HTTP_COOKIE", "quorb=" + v}}).out, m, "help");
  }
  // The sheets hold the values as typed; the history lists every one of them.
  const std::string index = inst.Read("data/index");
  EXPECT_EQ(std::count(index.begin(), index.end(), '\n'), static_cast<long>(std::size(kMarkup)));
  const std::string history = inst.Get("CMD=history").out;
  for (const Markup& m : kMarkup) ExpectNoMarkup(history, m, "history");
}

// Runs the CGI under strace and returns every path a file call named, made absolute.
std::vector<std::string> TouchedPaths(const Installation& inst, Request req) {
  const std::string trace = inst.Path("strace.out");
  // -y: a descriptor argument comes with its path, so that a name opened relative to a
  // directory is seen whole.
  req.program = "/usr/bin/strace";
  req.args = {"-f", "-y", "-qq", "-s", "4096", "-e", "trace=%file", "-o", trace, e2e::Cgi()};
  // The leak checker of a sanitizer build cannot run under a tracer.
  req.env["ASAN_OPTIONS"] = "detect_leaks=0";
  EXPECT_EQ(inst.Run(req).exit_code, 0) << req.query << req.body;

  std::vector<std::string> paths;
  std::ifstream in(trace);
  std::string line;
  std::getline(in, line);  // the CGI's own execve
  // The quoted arguments of a call.
  static const std::regex quoted("\"((?:[^\"\\\\]|\\\\.)*)\"");
  // The directory a call's first path is relative to: "openat(3</dir>, " or "AT_FDCWD</dir>",
  // after the process number.
  static const std::regex directory("^(?:[0-9]+ +)?[a-z0-9_]+\\((?:AT_FDCWD|[0-9]+)<([^>]*)>, \"");
  while (std::getline(in, line)) {
    std::smatch dir;
    const fs::path base =
        std::regex_search(line, dir, directory) ? fs::path(dir[1].str()) : fs::path(inst.root());
    for (std::sregex_iterator it(line.begin(), line.end(), quoted), end; it != end; ++it) {
      std::string path = (*it)[1];
      if (path.empty()) continue;
      fs::path p = path.front() == '/' ? fs::path(path) : base / path;
      paths.push_back(p.lexically_normal().string());
    }
  }
  fs::remove(trace);
  return paths;
}

bool Allowed(const Installation& inst, const std::string& path) {
  // The folders themselves too: a file is replaced under its folder's lock, and the folder
  // synced after.
  for (const char* dir : {"config", "data", "temp"})
    if (path == inst.Path(dir) || path.starts_with(inst.Path(dir) + "/")) return true;
  if (path == inst.root() || path == inst.root() + "/") return true;
  // What a sanitizer build's runtime reads of its own process (the plain build still sees every
  // such read as a fault).
  if (e2e::CgiSanitized() && (path == e2e::Cgi() || path.starts_with("/proc/self/"))) return true;
  // The loader, the libraries, the time zone data, and a new file's own descriptor when it
  // gets its name.
  for (const char* system : {"/etc/ld.so.", "/lib/", "/lib64/", "/usr/lib/", "/etc/localtime",
                             "/usr/share/zoneinfo/", "/dev/urandom", "/dev/null", "/proc/self/fd/"})
    if (path.starts_with(system)) return true;
  return false;
}

TEST(Catalogue, NoPathOutsideTheInstallation) {
  SampleInstallation inst;
  inst.Write("outside/canary_users.cfg", "kolvar:k:p: :YES:YES\n");
  inst.Write("outside/canary", "canary");
  const std::vector<std::string> kPaths = Words(
      "../../../../etc/passwd ..%2F..%2F..%2Fetc%2Fpasswd /etc/passwd ....//....//etc/passwd "
      "..\\..\\..\\etc\\passwd %2e%2e/%2e%2e/outside/canary ../outside/canary ../../outside/canary "
      "../../../outside/canary .. . / //etc//passwd ../outside/canary\x01 ~/.ssh/id_rsa "
      "TEST/../../outside/canary TEST/../.. file:///etc/passwd ..;/outside/canary "
      "..%c0%af..%c0%afoutside %252e%252e%252f ../data/../outside/canary ./../outside/canary "
      "..././..././outside TsG.00001/../../outside/canary index/../../outside /proc/self/environ "
      "../../outside/canary. T/../../outside ../config/../outside/canary");
  auto check = [&](const Request& req, const std::string& what) {
    for (const std::string& path : TouchedPaths(inst, req))
      EXPECT_TRUE(Allowed(inst, path)) << what << " touched " << path;
  };
  for (const std::string& raw : kPaths) {
    const std::string v = base::UrlEncode(raw);
    Request pages;  // several pages in one request: the dispatcher runs each CMD
    pages.query = "CMD=Print&CMD=history&CMD=create&Num=" + v + "&project=" + v + "&text=" + v +
                  "&QS=" + v + "&find=" + v + "&Numero=" + v;
    check(pages, raw + " (pages)");
    Request store;
    store.method = "POST";
    store.body = "CMD=new&title=" + v + "&project=" + v + "&group=" + v + "&prog=" + v +
                 "&sev=1&impact=" + v + "&phase=" + v + "&version=" + v + "&submitter=" + v;
    check(store, raw + " (unlisted project)");
    store.body = CreationWithEverywhere(raw);
    check(store, raw + " (stored)");
    Request login;
    login.query = "Login=2&User=" + v + "&Passwd=" + v;
    check(login, raw + " (login)");
    // A sealed token whose project is the path, in the request and in the cookie.
    Request token;
    token.query = "CMD=create&Uid=" + EncodedToken(inst, "kolvar", raw);
    token.env = {{"HTTP_COOKIE", "quorb=" + EncodedToken(inst, "kolvar", raw)}};
    inst.WriteConfig(inst.DefaultConfig("SECURITY YES\n"));
    check(token, raw + " (token)");
    token.query = "";
    check(token, raw + " (home with cookie)");
    inst.WriteConfig(inst.DefaultConfig());
  }
  EXPECT_EQ(inst.List("outside"), (std::vector<std::string>{"canary", "canary_users.cfg"}));
}

}  // namespace
