// End-to-end harness: a fresh installation in a temporary folder, and the built CGI run in
// it as the web server would run it.
//
//   Installation inst;                       // config/quorb.cfg, data folders, temp/
//   auto page = inst.Get("CMD=bogus&a=1");
//   EXPECT_EQ(page.out, "Content-type: text/html; charset=ISO-8859-1\n\n<PRE>...");
//   EXPECT_EQ(inst.Read("data/tmp/quorb.log"), "CMD=bogus&a=1\n");
#pragma once

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/capture.h"

namespace e2e {

struct CgiResult {
  int exit_code = -1;
  std::string out;  // every byte written to standard output
  std::string err;  // standard error (sanitizer reports end up here)
};

// One part of a multipart body.
struct FormPart {
  FormPart(std::string n, std::string v, std::string file = "")
      : name(std::move(n)), value(std::move(v)), filename(std::move(file)) {}
  std::string name;
  std::string value;     // the field's value, or the file's content
  std::string filename;  // set for a file field
};

struct Request {
  std::string method = "GET";
  std::string query;                        // QUERY_STRING
  std::string body;                         // standard input
  std::string content_type;                 // CONTENT_TYPE, for a POST
  std::optional<long long> content_length;  // CONTENT_LENGTH; unset: the body's size
  std::vector<std::string> args;            // command-line arguments
  std::map<std::string, std::string> env;   // extra or replaced variables ("" value: unset)
  std::string program;                      // the executable; empty: the built CGI
};

class Installation {
 public:
  // Lays out root/config, root/data (tmp, Stats, Synchro/in, Synchro/out, Tests) and
  // root/temp, and writes config/quorb.cfg with `extra_config` appended. The file has
  // DEBUG YES, so pages carry the diagnostic comments the tests read; "DEBUG NO" in
  // `extra_config` (the last value wins) gives the page a visitor sees.
  explicit Installation(const std::string& extra_config = "");
  ~Installation();
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  const std::string& root() const { return root_; }
  std::string Path(const std::string& rel) const { return root_ + "/" + rel; }
  std::string ConfigDir() const { return Path("config/"); }
  std::string DataDir() const { return Path("data/"); }

  // The main configuration file's text as the harness writes it, plus `extra`.
  std::string DefaultConfig(const std::string& extra = "") const;
  void WriteConfig(const std::string& text) const;  // replaces config/quorb.cfg

  void Write(const std::string& rel, const std::string& content) const;
  // Replaces the project list (config/project.cfg), one "NAME:CODE:manager:verifier[:partners]"
  // line per project.
  void WriteProjects(const std::string& lines) const { Write("config/project.cfg", lines); }
  std::string Read(const std::string& rel) const;  // "" when missing
  bool Exists(const std::string& rel) const;
  std::vector<std::string> List(const std::string& rel_dir) const;  // sorted names

  // Copies the shipped language files into the configuration folder.
  void InstallLanguageFiles() const;

  CgiResult Run(const Request& request) const;
  // Get and Post follow a redirection (303) as a browser does: the answer is the page it
  // leads to. Run answers as the program did.
  CgiResult Follow(CgiResult result, const std::map<std::string, std::string>& env) const;
  CgiResult Get(const std::string& query, std::map<std::string, std::string> env = {}) const;
  CgiResult Post(const std::string& body,
                 const std::string& content_type = "application/x-www-form-urlencoded",
                 std::map<std::string, std::string> env = {}) const;
  // A form posted, answered as the program did (a redirection is not followed).
  CgiResult Send(const std::string& body, std::map<std::string, std::string> env = {}) const;
  CgiResult PostMultipart(const std::vector<FormPart>& parts,
                          std::map<std::string, std::string> env = {}) const;

  // The base environment every request gets (PWD, TEMP, TZ, the CGI variables).
  std::map<std::string, std::string> BaseEnv() const;

 private:
  std::string root_;
};

// Waits (a minute at most) until no process holds the lock at `lock_path`: after a request,
// until the delivery it started is over.
void WaitForDelivery(const std::string& lock_path);

// A small project for page tests: TEST (code T, manager kolvar, verifier tessin) with the
// phases Analysis:a and Tests:s, impacts Low and High, sub-projects GUI:G and Core:C,
// `programs`, versions 1.0 and 1.1, deadlines 1.0 and 2.0, the members kolvar (password
// secret) and tessin (pass), and the shipped language files. `more_projects` follows TEST
// in project.cfg.
void WriteSampleProject(const Installation& inst, const std::string& more_projects = "",
                        const std::string& programs = "prog1\nprog2\n");

// An installation that holds the sample project from the start.
class SampleInstallation : public Installation {
 public:
  explicit SampleInstallation(const std::string& extra_config = "") : Installation(extra_config) {
    WriteSampleProject(*this);
  }
};

// The identity token of `login` in `project`, made with the installation's own secret as the
// login page makes it (at one time for the whole run, so every call gives the same one, and
// sealed with the member's password as the users file holds it now); the same url-encoded,
// as links carry it.
std::string TokenFor(const Installation& inst, const std::string& login,
                     const std::string& project);
std::string EncodedToken(const Installation& inst, const std::string& login,
                         const std::string& project);

// Runs code of the library inside the test process as if it served a request in `inst`:
// sets PWD, TEMP, TZ and the CGI variables, and starts with fresh request caches.
//   InProcess req(inst);
//   std::string page = CaptureStdout([] { web::ErrorBox(506); });
class InProcess {
 public:
  explicit InProcess(const Installation& inst, std::map<std::string, std::string> env = {});
  ~InProcess();
  InProcess(const InProcess&) = delete;
  InProcess& operator=(const InProcess&) = delete;

 private:
  std::map<std::string, std::string> saved_;
};

using testing_support::CaptureStdout;

// The body a browser sends for `parts`, with the given boundary.
std::string MultipartBody(const std::vector<FormPart>& parts, const std::string& boundary);

// The program the tests start: the one QUORB_CGI names (the sanitizer build's program, which the
// plain build's driver runs too), else this build's own.
const std::string& Cgi();
// Whether that program is a sanitizer build's (QUORB_CGI_SANITIZED=1 says so).
bool CgiSanitized();

// The protective headers every answer ends its header with, and the page header every HTML
// answer starts with.
#define E2E_PROTECTIVE                \
  "X-Content-Type-Options: nosniff\n" \
  "Referrer-Policy: same-origin\n"    \
  "Content-Security-Policy: frame-ancestors 'self'\n"
inline constexpr const char* kHtmlHeader =
    "Content-type: text/html; charset=ISO-8859-1\n" E2E_PROTECTIVE "\n";

// The start of a page of the default colour titled `title`, header included.
std::string PageHead(const std::string& title);

// The error box up to its message.
inline const std::string kErrorBox =
    "<Table WIDTH=400><TR><TD>\n<FONT COLOR=RED><H1>Error</H1></font>\n<P><HR><BR><BR>";

// The test book of the sample project's GUI sub-project in its first phase.
inline constexpr const char* kSampleBook = "data//Tests/TEST/G/a/Book/";

inline bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A page without the hidden fields that change with every showing of a form (the sheet's
// revision, the one-time value), for comparing the rest of the form as it is.
inline std::string WithoutFormGuards(std::string page) {
  for (const char* name : {"Rev", "Once"}) {
    const std::string field = std::string("<INPUT TYPE=\"hidden\" NAME=") + name + " VALUE=\"";
    for (size_t at; (at = page.find(field)) != std::string::npos;)
      page.erase(at, page.find(">\n", at) + 2 - at);
  }
  return page;
}

// The permission bits of a file of `inst`, as 0600.
int Mode(const Installation& inst, const std::string& rel);

// The pieces `text` lacks (Missing) or holds (Found), one a line: "" when there are none.
//   EXPECT_EQ(Missing(page, {"<FORM", "home.gif"}), "") << page;
std::string Missing(const std::string& text, const std::vector<std::string>& pieces);
std::string Found(const std::string& text, const std::vector<std::string>& pieces);

// How many times `piece` occurs in `text`, overlaps included.
int Count(const std::string& text, const std::string& piece);

// The lines of `text`, without their line feeds.
std::vector<std::string> Lines(const std::string& text);

// The blank-separated words of `text`, for long lists of short values.
std::vector<std::string> Words(const std::string& text);

// The fields of a url-encoded form, values already encoded.
using Fields = std::vector<std::pair<std::string, std::string>>;
std::string FormBody(const Fields& fields);
Fields With(Fields fields, const std::string& name, const std::string& value);
// The header change form of sheet `num` of the sample project as tessin posts it, unchanged.
Fields HeaderForm(const std::string& num);

// What python3 prints running `script` on a file of `inst` that holds `input` (sys.argv[1]).
std::string Python(const Installation& inst, const std::string& script, const std::string& input);

// Makes print.sh of `inst` the print command, followed by `setting`: it writes each argument
// on a line of args.txt, copies the last to copy.txt and prints "queued <1>".
void InstallPrintStandIn(const Installation& inst, const std::string& setting = "");

// The creation form of one sheet of the sample project, in its second phase ("TsG.<n>").
inline constexpr const char* kNewSheet =
    "CMD=new&title=A+bug&project=TEST&group=GUI&prog=prog1&sev=2&impact=b&phase=b&version=1.0"
    "&exp=2.0&type=1&submitter=kolvar&test=T1&Load=3&text=Desc";

}  // namespace e2e
