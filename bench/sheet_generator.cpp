#include "sheet_generator.h"

#include <random>
#include <string_view>
#include <vector>

#include "base/files.h"
#include "base/out.h"
#include "store/sheet.h"

namespace bench {
namespace {

constexpr std::string_view kWords[] = {
    "crash",  "window", "save",    "print", "menu",   "dialog", "label",  "timeout",
    "server", "report", "export",  "field", "value",  "button", "list",   "sort",
    "date",   "wrong",  "missing", "slow",  "memory", "file",   "login",  "page",
    "error",  "after",  "when",    "the",   "on",     "with",   "update", "index"};

struct Project {
  std::string name, code;
  std::vector<std::string> groups, codes;
};

class Random {
 public:
  explicit Random(unsigned seed) : engine_(seed) {}
  int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(engine_); }
  std::string Words(int low, int high) {
    std::string text;
    int n = Between(low, high);
    for (int i = 0; i < n; ++i) {
      if (i) text += ' ';
      text += kWords[Between(0, std::size(kWords) - 1)];
    }
    return text;
  }
  std::string Login() { return base::Sprintf("user%02d", Between(1, 40)); }
  std::string Version() {
    return base::Sprintf("%d.%d.%d", Between(1, 5), Between(0, 9), Between(0, 20));
  }
  // A body of a few lines, each ended by a line feed.
  std::string Body(int low_lines, int high_lines) {
    std::string text;
    int n = Between(low_lines, high_lines);
    for (int i = 0; i < n; ++i) text += Words(4, 14) + "\n";
    return text;
  }

 private:
  std::mt19937 engine_;
};

}  // namespace

GeneratedSet GenerateSheets(const std::string& root, int count, unsigned seed) {
  GeneratedSet set{root, root + "/data/", ""};
  base::MakeDirectory(root);
  base::MakeDirectory(root + "/config");
  base::MakeDirectory(set.data_dir);
  base::WriteFileAtomic(
      root + "/config/quorb.cfg",
      base::Sprintf("DATADIR %s\nCONFIGDIR %s/config/\nLANGUAGE EN\n", set.data_dir, root));
  base::WriteFileAtomic(root + "/config/phase.cfg", "Study:S\nIntegration:I\nTest:T\nField:F\n");

  std::vector<Project> projects;
  std::string project_cfg;
  for (int p = 0; p < 6; ++p) {
    Project project{base::Sprintf("Project%d", p), base::Sprintf("P%d", p), {}, {}};
    std::string groups;
    for (int g = 0; g < 4; ++g) {
      project.groups.push_back(base::Sprintf("Module%d", g));
      project.codes.push_back(base::Sprintf("M%d", g));
      groups += base::Sprintf("Module%d:M%d\n", g, g);
    }
    base::WriteFileAtomic(base::Sprintf("%s/config/%s_subproject.cfg", root, project.name), groups);
    project_cfg += base::Sprintf("%s:%s:manager:verifier:\n", project.name, project.code);
    projects.push_back(std::move(project));
  }
  base::WriteFileAtomic(root + "/config/project.cfg", project_cfg);
  constexpr std::string_view kPhaseLetters = "SITF";

  Random rnd(seed);
  std::vector<int> next_number(projects.size() * 4 * kPhaseLetters.size(), 1);
  base::File index = base::OpenFile(set.data_dir + "index", "wb");
  for (int i = 0; i < count; ++i) {
    int p = rnd.Between(0, projects.size() - 1);
    int g = rnd.Between(0, 3);
    int phase = rnd.Between(0, kPhaseLetters.size() - 1);
    const Project& project = projects[p];
    store::FactSheet s;
    s.subCode = project.codes[g];
    s.number = next_number[(p * 4 + g) * kPhaseLetters.size() + phase]++;
    s.created = 946681200 + i * 600;
    s.submitter = rnd.Login();
    s.sev = rnd.Between(1, 4);
    s.project = project.name;
    s.group = project.groups[g];
    s.phase = phase;
    s.prog = base::Sprintf("prog_%s", rnd.Words(1, 1));
    s.version = rnd.Version();
    s.title = rnd.Words(4, 16);
    s.exp = rnd.Version();
    s.status = rnd.Between(0, store::kStatusCount - 1);
    s.resp = rnd.Login();
    if (s.status >= store::kCorrected) {
      s.corrDate = s.created + 86400 * rnd.Between(1, 30);
      s.corrVers = rnd.Version();
      s.corrLoad = rnd.Between(1, 10);
    }
    if (rnd.Between(0, 2) == 0)
      s.test = base::Sprintf("TB-%d.%d", rnd.Between(1, 99), rnd.Between(1, 999));
    if (rnd.Between(0, 3) == 0) s.mdapda = base::Sprintf("CR-%05d", rnd.Between(1, 99999));
    s.type = rnd.Between(1, 2);
    s.impact = rnd.Between(0, 4);
    s.Load = rnd.Between(1, 20);
    store::AddEntry(s, "Description", s.submitter, s.created, rnd.Body(2, 10));
    int entries = rnd.Between(0, 3);
    for (int e = 0; e < entries; ++e) {
      store::AddEntry(s, rnd.Words(2, 6), rnd.Login(), s.created + 3600 * (e + 1), rnd.Body(1, 8));
    }
    int log_lines = rnd.Between(2, 6);
    for (int l = 0; l < log_lines; ++l) {
      s.log += store::FormatDate(s.created + 3600 * l) + " " + rnd.Words(2, 5) + " " + rnd.Login() +
               "\n";
    }
    std::string name =
        base::Sprintf("%s%c%s.%05d", project.code, kPhaseLetters[phase], s.subCode, s.number);
    std::string text = store::FormatSheet(s);
    base::File f = base::OpenFile(set.data_dir + name, "wb");
    if (f) std::fwrite(text.data(), 1, text.size(), f.get());
    std::string line = store::FormatHeader(s);
    if (index) std::fwrite(line.data(), 1, line.size(), index.get());
    if (i == count / 2) set.some_name = name;
  }
  return set;
}

}  // namespace bench
