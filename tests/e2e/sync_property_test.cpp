// Three sites share project TEST. They start from a store of an older version: sheets
// without origins, one shared by all, two of one second on one site only. A seeded random
// mix of creations, status actions, analyses (the same heading by the same login on two
// sites at once among them), entry edits, header changes (renames among them), copies and
// attachments runs on random sites through the built CGI, interleaved with synchronisation
// passes; the mail between them is delayed, reordered and duplicated (but signed, and
// checked on arrival as the POP3 collection checks it), and some of it is tampered with on
// the way (lines put before, inside or after its signed part, a second block appended).
// Once everything is delivered, every site holds the same sheets, index lines and
// attachments, byte for byte, every analysis made is there, and no tampered mail changed
// anything.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/out.h"
#include "harness.h"
#include "mail/pop3.h"
#include "store/store.h"
#include "sync/encoding.h"
#include "sync/sync.h"

namespace {

namespace fs = std::filesystem;
using e2e::Installation;

constexpr int kSites = 3;
const char* const kNames[kSites] = {"sitea", "siteb", "sitec"};

struct Mail {
  int to;
  std::string name;  // "s%05d"
  std::string text;  // as the POP3 collection hands it over
};

class Network {
 public:
  explicit Network(unsigned seed) : random_(seed) {
    for (int i = 0; i < kSites; ++i) {
      sites_.push_back(std::make_unique<Installation>());
      Installation& s = *sites_.back();
      std::string config = s.DefaultConfig("SYNCDELAY 0\n");
      config.replace(config.find("HOSTNAME localhost"), 18, std::string("HOSTNAME ") + kNames[i]);
      s.WriteConfig(config);
      e2e::WriteSampleProject(s);
      std::string partners;
      for (int j = 0; j < kSites; ++j)
        if (j != i) partners += std::string(partners.empty() ? "" : ",") + kNames[j] + "@x";
      s.Write("config/project.cfg", "TEST:T:kolvar:tessin:" + partners + "\n");
      s.Write("config/TEST_sync.key", "a-shared-secret-of-the-three\n");
      fs::create_directories(s.Path("data/Synchro/in/TEST"));
      fs::create_directories(s.Path("data/Synchro/out/TEST"));
    }
    harvested_.assign(kSites, 0);
  }

  Installation& site(int i) { return *sites_[static_cast<size_t>(i)]; }

  // The sheet names of a site.
  std::vector<std::string> Sheets(int i) {
    std::vector<std::string> names;
    for (const std::string& f : site(i).List("data"))
      if (f.size() == 9 && f[0] == 'T' && f[3] == '.') names.push_back(f);
    return names;
  }

  // Takes the messages a site numbered since the last look and puts them on the wire, to
  // every other site, some twice.
  void Harvest(int i) {
    Installation& s = site(i);
    int sent = std::atoi(s.Read("data/Synchro/out/TEST/sent.txt").c_str());
    for (int n = harvested_[static_cast<size_t>(i)] + 1; n <= sent; ++n) {
      std::string name = base::Sprintf("s%05d", n);
      std::string body = s.Read("data/Synchro/out/TEST/" + name + ".txt");
      if (body.empty()) continue;  // acknowledged already, or never written
      std::string head;
      {
        e2e::InProcess req(s);
        head = synch::SynchMailHead(body, "TEST", n);
      }
      for (int j = 0; j < kSites; ++j) {
        if (j == i) continue;
        wire_.push_back({j, name, "+OK\r\n" + head + body});
        if (random_() % 5 == 0) wire_.push_back({j, name, "+OK\r\n" + head + body});
        if (random_() % 4 == 0) wire_.push_back({j, name, Tampered("+OK\r\n" + head + body)});
      }
    }
    harvested_[static_cast<size_t>(i)] = sent;
  }

  // Delivers a random part of the wire, in random order.
  void Deliver(bool all) {
    std::shuffle(wire_.begin(), wire_.end(), random_);
    std::vector<Mail> later;
    for (Mail& m : wire_) {
      if (!all && random_() % 3 == 0) {
        later.push_back(std::move(m));
        continue;
      }
      e2e::InProcess req(site(m.to));
      mail::SynchMailEntry entry{1, "TEST", m.name, static_cast<int>(m.text.size())};
      e2e::CaptureStdout([&] { synch::ReceiveMail(entry, m.text); });
    }
    wire_ = std::move(later);
  }

  void Pass(int i) {
    e2e::CaptureStdout([&] {
      e2e::InProcess req(site(i));
      synch::SynchPass();
    });
    Harvest(i);
  }

  // A signed mail changed on the way: a members file slipped in before its description,
  // a line put inside or after its signed part, or a second block appended.
  std::string Tampered(std::string mail) {
    const std::string block = "begin 0666 TEST_users.cfg\r\n" +
                              synch::EncodeLine("evil:e@x:pw:Y:Y:Y:Y:Y:Y:Y\n") + "\r\n`\r\nend\r\n";
    const size_t description = mail.find("\r\nfiletype:");
    switch (random_() % 4) {
      case 0:
        return mail.insert(description, "\r\nfiletype c 1 evil \r\n" + block);
      case 1:
        return mail.insert(mail.find("\r\n", description + 2), "\r\nevil");
      case 2:
        return mail + "evil\r\n";
      default:
        return mail + block;
    }
  }

  bool Quiet() const { return wire_.empty(); }
  std::mt19937& random() { return random_; }

 private:
  std::vector<std::unique_ptr<Installation>> sites_;
  std::vector<int> harvested_;
  std::vector<Mail> wire_;
  std::mt19937 random_;
};

std::string Form(const std::string& cmd, const std::string& num, const std::string& rest) {
  return "CMD=" + cmd + "&Num=" + num + "&User=kolvar&" + rest;
}

// The position of the description entry among a sheet file's entries (analyses stay as made).
std::string DescriptionIndex(const std::string& sheet) {
  int index = -1;
  bool header = false;
  for (const std::string& line : e2e::Lines(sheet)) {
    if (header && line.starts_with("Description|")) return std::to_string(index);
    header = line == "=!=!=!=!=!=!=!=!=!=!=!=" || line == "=|=|=|=|=|=|=|=|=|=|=|=";
    if (header) ++index;
  }
  return "0";
}

// Everything a site holds that must be the same everywhere. Every file attached to a sheet
// is there, in the folder of the sheet.
std::map<std::string, std::string> Holdings(Network& net, int i) {
  std::map<std::string, std::string> held;
  Installation& s = net.site(i);
  for (const std::string& name : net.Sheets(i)) {
    held["sheet " + name] = s.Read("data/" + name);
    // A copy names its source's files, wherever the source went since.
    if (held["sheet " + name].find("New copy of") != std::string::npos) continue;
    for (const std::string& line : e2e::Lines(held["sheet " + name])) {
      size_t at = line.find("/data/TRACE_");
      if (at == std::string::npos) continue;
      const std::string file = line.substr(at + 6);
      EXPECT_TRUE(file.starts_with("TRACE_" + name + "/") && s.Exists("data/" + file))
          << kNames[i] << " " << name << ": " << file;
    }
  }
  // The index as readers take it: each key's last line.
  std::map<std::string, std::string> live;
  std::string key;
  for (const std::string& line : e2e::Lines(s.Read("data/index"))) {
    store::IndexKeyOfLine(line, key);
    live[key] = line;
  }
  std::vector<std::string> lines;
  for (const auto& [k, line] : live) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  for (const std::string& line : lines) held["index " + line] += "+";
  for (const std::string& dir : s.List("data"))
    if (dir.starts_with("TRACE_"))
      for (const std::string& f : s.List("data/" + dir))
        held["file " + dir + "/" + f] = s.Read("data/" + dir + "/" + f);
  return held;
}

// The store an older version left: a sheet every site holds, without origin, and on the
// first site two more made in one second, with one log, before the project had partners.
// Each is then analysed on a site, so that it travels.
void OlderStore(Network& net, std::vector<std::string>& analyses) {
  auto legacy = [](int number, const std::string& title, const std::string& mark) {
    store::FactSheet s;
    s.project = "TEST", s.group = "GUI", s.prog = "prog1", s.phase = 1, s.number = number;
    s.created = 1700000000 + (number > 1 ? 1 : 0), s.submitter = "kolvar", s.title = title;
    store::AddEntry(s, "Description", "kolvar", s.created, "Made " + mark + "\n");
    s.log = "2023/11/14:22.13.20 Created by kolvar\n";
    return s;
  };
  for (int i = 0; i < kSites; ++i) {
    Installation& s = net.site(i);
    const std::string projects = s.Read("config/project.cfg");
    s.Write("config/project.cfg", "TEST:T:kolvar:tessin\n");
    {
      e2e::InProcess req(s);
      store::FactSheet shared = legacy(1, "Shared", "shared");
      EXPECT_EQ(store::CreateSheet(shared, 1), store::Stored::kOk);
      if (i == 0) {
        for (int n : {2, 3}) {
          store::FactSheet one = legacy(n, n == 2 ? "One" : "Two", n == 2 ? "one" : "two");
          EXPECT_EQ(store::CreateSheet(one, n), store::Stored::kOk);
        }
      }
    }
    s.Write("config/project.cfg", projects);
  }
  for (const auto& [site, num] : {std::pair{1, 0}, std::pair{0, 1}, std::pair{0, 2}}) {
    const std::string name = net.Sheets(site)[static_cast<size_t>(num)];
    analyses.push_back("Legacy" + name);
    net.site(site).Get(Form("Analyse", name, "title=Old&text=Legacy" + name));
    net.Harvest(site);
  }
}

void RunSeed(unsigned seed) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  Network net(seed);
  std::mt19937& r = net.random();
  std::vector<std::string> analyses;
  OlderStore(net, analyses);
  const char* groups[] = {"GUI", "Core"};
  for (int step = 0; step < 24; ++step) {
    int i = static_cast<int>(r() % kSites);
    Installation& s = net.site(i);
    std::vector<std::string> sheets = net.Sheets(i);
    std::string num = sheets.empty() ? "" : sheets[r() % sheets.size()];
    std::string tag = base::Sprintf("%u_%d", seed, step);
    int op = sheets.empty() ? 0 : static_cast<int>(r() % 10);
    if (std::getenv("QUORB_SYNC_TRACE"))
      std::fprintf(stderr, "step %d site %d op %d on %s\n", step, i, op, num.c_str());
    if (op == 0) {
      s.Post(std::string("CMD=new&title=New") + tag + "&project=TEST&group=" + groups[r() % 2] +
             "&prog=prog1&sev=2&impact=b&phase=b&version=1.0&submitter=kolvar&text=Made" + tag);
    } else if (op == 1) {
      analyses.push_back("Seen" + tag);
      s.Get(Form("Analyse", num, "title=An" + tag + "&text=Seen" + tag));
      EXPECT_TRUE(e2e::Has(s.Read("data/" + num), "Seen" + tag))
          << "analysis not stored on " << num;
    } else if (op == 2) {
      s.Get(Form("Assign", num, "submitter=tessin"));
    } else if (op == 3) {
      s.Get(Form("Observed", num, std::string("submitter=") + (r() % 2 ? "tessin" : "kolvar")));
    } else if (op == 4) {
      s.Post(Form("Edit", num,
                  "Edit=" + DescriptionIndex(s.Read("data/" + num)) + "&text=Edited" + tag));
    } else if (op == 5) {
      s.Post(Form("Change_Header", num,
                  "title=Head" + tag + "&project=TEST&group=" + groups[r() % 2] +
                      "&prog=prog1&sev=3&impact=a&phase=b&version=1.1&submitter=tessin"));
    } else if (op == 6) {
      s.Post(Form("Copy", num,
                  std::string("project=TEST&prog=prog2&sev=3&phase=b&group=") + groups[r() % 2]));
    } else if (op == 7) {
      s.PostMultipart({{"CMD", "Attach"},
                       {"Num", num},
                       {"title", "F" + tag},
                       {"User", "kolvar"},
                       {"Attach", "content " + tag + "\n", "f.txt"}});
    } else if (op == 8) {
      // The same login, the same heading, the same second, on two sites.
      const int j = (i + 1) % kSites;
      for (int k : {i, j}) {
        if (!net.site(k).Exists("data/" + num)) continue;
        analyses.push_back(base::Sprintf("Twin%s_%d", tag, k));
        net.site(k).Get(Form("Analyse", num, "title=Twin&text=" + analyses.back()));
        net.Harvest(k);
      }
    } else {
      net.Pass(i);
    }
    net.Harvest(i);
    if (r() % 3 == 0) net.Deliver(false);
    if (r() % 4 == 0) net.Pass(static_cast<int>(r() % kSites));
  }
  // Everything delivered, every site passes, until nothing moves any more.
  for (int round = 0; round < 12; ++round) {
    net.Deliver(true);
    for (int i = 0; i < kSites; ++i) net.Pass(i);
    if (net.Quiet()) break;
  }
  ASSERT_TRUE(net.Quiet());
  std::map<std::string, std::string> first = Holdings(net, 0);
  for (int i = 1; i < kSites; ++i) {
    std::map<std::string, std::string> other = Holdings(net, i);
    for (const auto& [key, value] : first)
      EXPECT_EQ(value, other.contains(key) ? other[key] : "(lacking)") << kNames[i] << ": " << key;
    for (const auto& [key, value] : other)
      EXPECT_TRUE(first.contains(key)) << kNames[0] << " lacks " << key;
  }
  std::string all;
  for (const auto& [key, value] : first) all += value;
  for (const std::string& text : analyses)
    EXPECT_TRUE(e2e::Has(all, text + "\n")) << text << " was lost";
  for (int i = 0; i < kSites; ++i)
    EXPECT_FALSE(e2e::Has(net.site(i).Read("config/TEST_users.cfg"), "evil")) << kNames[i];
}

TEST(SyncProperty, ThreeSitesEndWithTheSameSheetsWhateverTheMailDoes) {
  unsigned seeds = 6;
  if (const char* env = std::getenv("QUORB_SYNC_SEEDS"))
    seeds = static_cast<unsigned>(std::atoi(env));
  unsigned first = 1;
  if (const char* env = std::getenv("QUORB_SYNC_FIRST"))
    first = static_cast<unsigned>(std::atoi(env));
  for (unsigned seed = first; seed < first + seeds; ++seed) {
    RunSeed(seed);
    if (HasFatalFailure() || HasFailure()) break;
  }
}

}  // namespace
