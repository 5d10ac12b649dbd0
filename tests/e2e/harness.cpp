#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "base/encode.h"
#include "base/request_state.h"
#include "common/capture.h"
#include "users/uid.h"
#include "web/page.h"

namespace e2e {
namespace fs = std::filesystem;

constexpr const char* kTimeZone = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr int kTimeoutSeconds = 60;

Installation::Installation(const std::string& extra_config) {
  std::string pattern = (fs::temp_directory_path() / "quorb-e2e-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  for (const char* dir : {"config", "data", "data/tmp", "data/Stats", "data/Synchro",
                          "data/Synchro/in", "data/Synchro/out", "data/Tests", "temp"})
    fs::create_directories(Path(dir));
  WriteConfig(DefaultConfig(extra_config));
}

Installation::~Installation() {
  if (!std::getenv("QUORB_KEEP_TEST_DIRS")) {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
}

std::string Installation::DefaultConfig(const std::string& extra) const {
  return "DATADIR " + DataDir() + "\nCONFIGDIR " + ConfigDir() +
         "\nIMGDIR /quorb/images/\nPRINT cat\nMAILSERV 127.0.0.1:1\nHOSTNAME localhost\n"
         "DOMAIN example.org\nLANGUAGE EN\nWWW www\nDEBUG YES\n" +
         extra;
}

void Installation::WriteConfig(const std::string& text) const {
  Write("config/quorb.cfg", text);
}

void Installation::Write(const std::string& rel, const std::string& content) const {
  fs::create_directories(fs::path(Path(rel)).parent_path());
  std::ofstream f(Path(rel), std::ios::binary | std::ios::trunc);
  f << content;
}

std::string Installation::Read(const std::string& rel) const {
  std::ifstream f(Path(rel), std::ios::binary);
  if (!f) return "";
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool Installation::Exists(const std::string& rel) const {
  return fs::exists(Path(rel));
}

std::vector<std::string> Installation::List(const std::string& rel_dir) const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(Path(rel_dir), ec))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void Installation::InstallLanguageFiles() const {
  for (const char* code : {"EN", "FR"}) {
    std::string name = std::string("langue.") + code;
    fs::copy_file(std::string(QUORB_SOURCE_DIR) + "/share/config/" + name, Path("config/" + name),
                  fs::copy_options::overwrite_existing);
  }
}

// A sanitizer build's program checks every access; its leak check at exit, which costs as much
// as the rest of a page, runs where QUORB_CGI_LEAKS asks for it (the slow walks in CI).
namespace {
std::string CgiSanitizerOptions() {
  const char* leaks = std::getenv("QUORB_CGI_LEAKS");
  return std::string("abort_on_error=0:detect_leaks=") + (leaks && *leaks == '1' ? "1" : "0");
}
}  // namespace

const std::string& Cgi() {
  static const std::string path = [] {
    const char* named = std::getenv("QUORB_CGI");
    return std::string(named && *named ? named : QUORB_CGI);
  }();
  return path;
}

bool CgiSanitized() {
  const char* flag = std::getenv("QUORB_CGI_SANITIZED");
  return flag && *flag == '1';
}

std::map<std::string, std::string> Installation::BaseEnv() const {
  return {
      {"PATH", "/usr/bin:/bin"},
      {"PWD", root_},
      {"TEMP", Path("temp")},
      {"TZ", kTimeZone},
      {"GATEWAY_INTERFACE", "CGI/1.1"},
      {"SCRIPT_NAME", "/cgi-bin/quorb.cgi"},
      {"SCRIPT_FILENAME", Path("quorb.cgi")},
      {"SERVER_NAME", "localhost"},
      {"SERVER_PORT", "80"},
      {"HTTP_HOST", "localhost"},
      {"REMOTE_ADDR", "192.0.2.10"},
      {"ASAN_OPTIONS", CgiSanitizerOptions()},
  };
}

CgiResult Installation::Run(const Request& request) const {
  std::map<std::string, std::string> env = BaseEnv();
  env["REQUEST_METHOD"] = request.method;
  env["QUERY_STRING"] = request.query;
  if (request.method == "POST") {
    env["CONTENT_LENGTH"] = std::to_string(
        request.content_length.value_or(static_cast<long long>(request.body.size())));
    if (!request.content_type.empty()) env["CONTENT_TYPE"] = request.content_type;
  }
  for (const auto& [k, v] : request.env) {
    if (v.empty())
      env.erase(k);  // "" in request.env: the variable is unset
    else
      env[k] = v;
  }
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  std::vector<std::string> arg_strings = {request.program.empty() ? Cgi() : request.program};
  arg_strings.insert(arg_strings.end(), request.args.begin(), request.args.end());
  std::vector<char*> envp, argv;
  for (auto& s : env_strings) envp.push_back(s.data());
  for (auto& s : arg_strings) argv.push_back(s.data());
  envp.push_back(nullptr);
  argv.push_back(nullptr);

  // Standard input is a pipe, as a web server gives it, fed while the program runs; output
  // and error are unnamed files. A program still running after the timeout is ended by its
  // alarm.
  signal(SIGPIPE, SIG_IGN);  // a program may leave its input unread
  int feed[2];
  if (pipe2(feed, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(feed[0], 0);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    alarm(kTimeoutSeconds);
    if (chdir(root_.c_str()) != 0) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(feed[0]);
  std::thread writer;  // a request without a body (most of them) needs none
  if (request.body.empty()) close(feed[1]);
  if (!request.body.empty())
    writer = std::thread([&] {
      for (size_t at = 0; at < request.body.size();) {
        ssize_t n = write(feed[1], request.body.data() + at, request.body.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        at += static_cast<size_t>(n);
      }
      close(feed[1]);
    });
  int status = 0;
  waitpid(pid, &status, 0);
  if (writer.joinable()) writer.join();
  WaitForDelivery(Path("data/Mail/lock"));
  CgiResult result{0, testing_support::ReadAll(out), testing_support::ReadAll(err)};
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
    result.err += "\n[harness: killed after timeout]\n";
  std::fclose(out);
  std::fclose(err);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

// The mail a request hands to its delivery process has left (or waits in the spool) once that
// process lets go of the spool's lock, which it holds from before the request ends.
void WaitForDelivery(const std::string& lock_path) {
  int fd = open(lock_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  for (int i = 0; i < kTimeoutSeconds * 100 && flock(fd, LOCK_EX | LOCK_NB) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  close(fd);
}

CgiResult Installation::Follow(CgiResult result,
                               const std::map<std::string, std::string>& env) const {
  const std::string redirect = "Status: 303 See Other\nLocation: ";
  if (!result.out.starts_with(redirect)) return result;
  const size_t end = result.out.find('\n', redirect.size());
  const std::string location = result.out.substr(redirect.size(), end - redirect.size());
  const size_t query = location.find('?');
  Request r;
  r.query = query == std::string::npos ? "" : location.substr(query + 1);
  r.env = env;
  // The page it leads to is a request of its own: an injected fault was the first one's.
  r.env.erase("QUORB_FAULT");
  CgiResult page = Run(r);
  page.err = result.err + page.err;
  return page;
}

CgiResult Installation::Get(const std::string& query,
                            std::map<std::string, std::string> env) const {
  Request r;
  r.query = query;
  r.env = std::move(env);
  return Follow(Run(r), r.env);
}

CgiResult Installation::Post(const std::string& body, const std::string& content_type,
                             std::map<std::string, std::string> env) const {
  Request r;
  r.method = "POST";
  r.body = body;
  r.content_type = content_type;
  r.env = std::move(env);
  return Follow(Run(r), r.env);
}

CgiResult Installation::Send(const std::string& body,
                             std::map<std::string, std::string> env) const {
  Request r;
  r.method = "POST";
  r.body = body;
  r.content_type = "application/x-www-form-urlencoded";
  r.env = std::move(env);
  return Run(r);
}

std::string MultipartBody(const std::vector<FormPart>& parts, const std::string& boundary) {
  std::string body;
  for (const FormPart& p : parts) {
    body += "--" + boundary + "\r\n";
    if (p.filename.empty()) {
      body += "Content-Disposition: form-data; name=\"" + p.name + "\"\r\n\r\n";
    } else {
      body += "Content-Disposition: form-data; name=\"" + p.name + "\"; filename=\"" + p.filename +
              "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
    }
    body += p.value + "\r\n";
  }
  body += "--" + boundary + "--\r\n";
  return body;
}

CgiResult Installation::PostMultipart(const std::vector<FormPart>& parts,
                                      std::map<std::string, std::string> env) const {
  const std::string boundary = "---------------------------7d0a1b2c3d4e5f";
  return Post(MultipartBody(parts, boundary), "multipart/form-data; boundary=" + boundary,
              std::move(env));
}

void WriteSampleProject(const Installation& inst, const std::string& more_projects,
                        const std::string& programs) {
  inst.InstallLanguageFiles();
  inst.WriteProjects("TEST:T:kolvar:tessin\n" + more_projects);
  inst.Write("config/phase.cfg", "Analysis:a\nTests:s\n");
  inst.Write("config/impacts.cfg", "Low\nHigh\n");
  inst.Write("config/TEST_subproject.cfg", "GUI:G\nCore:C\n");
  inst.Write("config/TEST_program.cfg", programs);
  inst.Write("config/TEST_version.cfg", "1.0\n1.1\n");
  inst.Write("config/TEST_deadline.cfg", "1.0 2.0\n");
  inst.Write("config/TEST_users.cfg",
             "kolvar:kolvar@example.org:secret: :YES:YES:YES:YES:YES:YES\n"
             "tessin:tessin@example.org:pass: :YES: :YES:YES:YES:YES\n");
}

std::string PageHead(const std::string& title) {
  return std::string(kHtmlHeader) + "<HTML LANG=\"en\">\n<HEAD>\n" +
         std::string(web::kEveryReaderHead) + "<TITLE>" + title +
         "</TITLE>\n</HEAD>\n<BODY BACKGROUND=/quorb/images//fond.gif BGCOLOR=\"#FFFFFF\" "
         "TEXT=\"#000000\" >\n";
}

int Count(const std::string& text, const std::string& piece) {
  int n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::string FormBody(const Fields& fields) {
  std::string body;
  for (const auto& [n, v] : fields) body += (body.empty() ? "" : "&") + n + "=" + v;
  return body;
}

Fields With(Fields fields, const std::string& name, const std::string& value) {
  for (auto& [n, v] : fields)
    if (n == name) v = value;
  return fields;
}

Fields HeaderForm(const std::string& num) {
  std::istringstream in("CMD=Change_Header&Num=" + num +
                        "&QS=find%3D1&User=tessin&title=Crash&project=TEST&group=GUI&prog=prog1"
                        "&sev=2&impact=b&phase=b&version=1.0&exp=2.0&type=1&submitter=kolvar&test="
                        "&mdapda=&Load=3");
  Fields fields;
  for (std::string f; std::getline(in, f, '&');)
    fields.emplace_back(f.substr(0, f.find('=')), f.substr(f.find('=') + 1));
  return fields;
}

int Mode(const Installation& inst, const std::string& rel) {
  return static_cast<int>(fs::status(inst.Path(rel)).permissions() & fs::perms::all);
}

std::string Missing(const std::string& text, const std::vector<std::string>& pieces) {
  std::string missing;
  for (const std::string& piece : pieces)
    if (!Has(text, piece)) missing += piece + "\n";
  return missing;
}

std::string Found(const std::string& text, const std::vector<std::string>& pieces) {
  std::string found;
  for (const std::string& piece : pieces)
    if (Has(text, piece)) found += piece + "\n";
  return found;
}

std::string Python(const Installation& inst, const std::string& script, const std::string& input) {
  inst.Write("python.in", input);
  Request r;
  r.program = "/usr/bin/python3";
  r.args = {"-c", script, inst.Path("python.in")};
  return inst.Run(r).out;
}

void InstallPrintStandIn(const Installation& inst, const std::string& setting) {
  inst.Write("print.sh",
             "#!/bin/sh\ndir=$(dirname \"$0\")\n: > \"$dir/args.txt\"\n"
             "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$dir/args.txt\"; last=$a; done\n"
             "cp \"$last\" \"$dir/copy.txt\"\necho 'queued <1>'\n");
  fs::permissions(inst.Path("print.sh"), fs::perms::owner_all);
  inst.WriteConfig(inst.DefaultConfig("PRINT " + inst.Path("print.sh") + setting + "\n"));
}

// Sets the variables ("" unsets one), and starts with fresh request caches.
static void SetEnvironment(const std::map<std::string, std::string>& vars) {
  for (const auto& [k, v] : vars) v.empty() ? unsetenv(k.c_str()) : setenv(k.c_str(), v.c_str(), 1);
  tzset();
  base::ResetRequestState();
}

InProcess::InProcess(const Installation& inst, std::map<std::string, std::string> env) {
  std::map<std::string, std::string> all = inst.BaseEnv();
  for (const auto& [k, v] : env) all[k] = v;
  for (const auto& [k, v] : all) {
    const char* old = std::getenv(k.c_str());
    saved_[k] = old ? old : "";
  }
  SetEnvironment(all);
}

InProcess::~InProcess() {
  SetEnvironment(saved_);
}

std::string TokenFor(const Installation& inst, const std::string& login,
                     const std::string& project) {
  // One time for the whole test run, so that every call gives the same token.
  static const long made = static_cast<long>(std::time(nullptr));
  InProcess request(inst);
  return users::MakeUidAt(login, project, made);
}

std::string EncodedToken(const Installation& inst, const std::string& login,
                         const std::string& project) {
  return base::UrlEncode(TokenFor(inst, login, project));
}

}  // namespace e2e
