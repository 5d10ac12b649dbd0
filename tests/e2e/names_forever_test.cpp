// A sheet's name is forever: seeded random sequences of creations and header changes that
// move sheets (renames among them), on one site and on three sites that share the project,
// where changes made on two sites between two exchanges of mail clash and partners renumber.
// Every name a site showed for a sheet, once the sites agreed on it, opens that sheet and no
// other on every site; no name is ever given to two sheets; the check finds every store sound.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/out.h"
#include "harness.h"
#include "mail/pop3.h"
#include "store/store.h"
#include "sync/sync.h"

namespace {

namespace fs = std::filesystem;
using e2e::Installation;

// The sites of the project TEST, each a partner of the others, and the mail between them.
class NameSites {
 public:
  explicit NameSites(int count) {
    for (int i = 0; i < count; ++i) {
      sites_.push_back(std::make_unique<Installation>());
      Installation& s = *sites_.back();
      std::string config = s.DefaultConfig("SYNCDELAY 0\n");
      config.replace(config.find("HOSTNAME localhost"), 18, "HOSTNAME site" + std::to_string(i));
      s.WriteConfig(config);
      e2e::WriteSampleProject(s);
      std::string partners;
      for (int j = 0; j < count; ++j)
        if (j != i) partners += (partners.empty() ? "site" : ",site") + std::to_string(j) + "@x";
      if (count > 1) {
        s.Write("config/project.cfg", "TEST:T:kolvar:tessin:" + partners + "\n");
        s.Write("config/TEST_sync.key", "the-secret-of-the-sites\n");
      }
      fs::create_directories(s.Path("data/Synchro/in/TEST"));
      fs::create_directories(s.Path("data/Synchro/out/TEST"));
    }
    sent_.assign(sites_.size(), 0);
  }
  int size() const { return static_cast<int>(sites_.size()); }
  Installation& operator[](int i) { return *sites_[static_cast<size_t>(i)]; }

  // Mail and passes until no site has anything more to say.
  void Settle() {
    for (int round = 0; round < 20; ++round) {
      bool mailed = false;
      for (int i = 0; i < size(); ++i) mailed = Deliver(i) || mailed;
      if (!mailed) return;
      for (int i = 0; i < size(); ++i) {
        e2e::CaptureStdout([&] {
          e2e::InProcess req((*this)[i]);
          synch::SynchPass();
        });
      }
    }
    ADD_FAILURE() << "the sites never fell silent";
  }

 private:
  // Hands the messages site `i` numbered since the last look to every other site.
  bool Deliver(int i) {
    Installation& s = (*this)[i];
    const int sent = std::atoi(s.Read("data/Synchro/out/TEST/sent.txt").c_str());
    bool any = false;
    for (int n = sent_[static_cast<size_t>(i)] + 1; n <= sent; ++n) {
      const std::string name = base::Sprintf("s%05d", n);
      const std::string body = s.Read("data/Synchro/out/TEST/" + name + ".txt");
      if (body.empty()) continue;
      std::string head;
      {
        e2e::InProcess req(s);
        head = synch::SynchMailHead(body, "TEST", n);
      }
      const std::string text = "+OK\r\n" + head + body;
      for (int j = 0; j < size(); ++j) {
        if (j == i) continue;
        e2e::InProcess req((*this)[j]);
        mail::SynchMailEntry entry{1, "TEST", name, static_cast<int>(text.size())};
        e2e::CaptureStdout([&] { synch::ReceiveMail(entry, text); });
        any = true;
      }
    }
    sent_[static_cast<size_t>(i)] = sent;
    return any;
  }

  std::vector<std::unique_ptr<Installation>> sites_;
  std::vector<int> sent_;
};

// The sheets of a site: name -> title (each sheet's title is its own, and header changes
// keep it).
std::map<std::string, std::string> SheetsShown(const Installation& s) {
  std::map<std::string, std::string> shown;
  for (const std::string& f : s.List("data")) {
    if (f.size() != 9 || f[0] != 'T' || f[3] != '.') continue;
    const std::string text = s.Read("data/" + f);
    const std::string header = text.substr(0, text.find('\n'));
    shown[f] = header.substr(header.rfind('|') + 1);
  }
  return shown;
}

// One seeded run: `steps` operations, made `together` at most between two exchanges of mail.
void RunNameWalk(int count, unsigned seed, int steps) {
  SCOPED_TRACE(base::Sprintf("%d sites, seed %u", count, seed));
  NameSites sites(count);
  std::mt19937 random(seed);
  std::map<std::string, std::string> ever;  // every name shown once agreed -> its title
  auto record = [&](const Installation& s) {
    for (const auto& [name, title] : SheetsShown(s)) {
      auto [it, added] = ever.emplace(name, title);
      EXPECT_EQ(it->second, title) << name << " given to two sheets";
    }
  };
  int made = 0;
  for (int step = 0; step < steps;) {
    // A window of changes on random sites; alone in its window, a change shows its names at
    // once, else only once the sites agreed.
    const int together = count == 1 ? 1 : 1 + static_cast<int>(random() % 3);
    for (int k = 0; k < together && step < steps; ++k, ++step) {
      Installation& s = sites[static_cast<int>(random() % static_cast<unsigned>(count))];
      std::map<std::string, std::string> sheets = SheetsShown(s);
      const char* group = random() % 2 ? "GUI" : "Core";
      const char* phase = random() % 2 ? "a" : "b";
      if (sheets.empty() || random() % 3 == 0) {
        s.Post(
            base::Sprintf("CMD=new&title=S%d&project=TEST&group=%s&prog=prog1&sev=2&impact=b"
                          "&phase=%s&version=1.0&submitter=kolvar&text=Made",
                          made++, group, phase));
      } else {
        auto it = sheets.begin();
        std::advance(it, static_cast<long>(random() % sheets.size()));
        // A header change that keeps the title: a move when the prefix changes.
        s.Post(
            base::Sprintf("CMD=Change_Header&Num=%s&User=kolvar&title=%s&project=TEST&group=%s"
                          "&prog=prog1&sev=2&impact=a&phase=%s&version=1.0&submitter=kolvar",
                          it->first, it->second, group, phase));
      }
      if (together == 1) record(s);
    }
    sites.Settle();
    for (int i = 0; i < count; ++i) record(sites[i]);
  }
  // Every site holds every sheet once, and every name ever shown leads to its sheet there.
  for (int i = 0; i < count; ++i) {
    Installation& s = sites[i];
    std::map<std::string, std::string> now = SheetsShown(s);
    std::map<std::string, int> titles;
    for (const auto& [name, title] : now) ++titles[title];
    EXPECT_EQ(static_cast<int>(titles.size()), made) << "site " << i;
    for (const auto& [title, n] : titles) EXPECT_EQ(n, 1) << title << " on site " << i;
    e2e::InProcess req(s);
    for (const auto& [name, title] : ever) {
      std::optional<std::string> at = store::ResolveName(name);
      EXPECT_TRUE(at && now[*at] == title)
          << name << " of " << title << " leads to " << at.value_or("nothing") << " on site " << i;
    }
    e2e::Request check;
    check.args = {"--check"};
    check.env = {{"GATEWAY_INTERFACE", ""}};
    e2e::CgiResult sound = s.Run(check);
    EXPECT_EQ(sound.exit_code, 0) << sound.out;
  }
  if (std::getenv("QUORB_NAMES_TRACE")) {
    int renumbered = 0;
    for (const auto& [name, title] : SheetsShown(sites[0]))
      renumbered += e2e::Count(sites[0].Read("data/" + name), "Renumbered");
    std::fprintf(stderr, "names %zu sheets %d forwards %zu renumbered %d\n", ever.size(), made,
                 sites[0].List("data/forward").size(), renumbered);
  }
  // And by the web: an old name's page is the sheet's.
  for (const auto& [name, title] : ever) {
    const std::string page = sites[0].Get("Num=" + name).out;
    EXPECT_TRUE(e2e::Has(page, " : <B>" + title + "</B>")) << name;
    break;
  }
}

TEST(NamesForever, OneSite) {
  for (unsigned seed = 1; seed <= 3; ++seed) RunNameWalk(1, seed, 30);
}

void RunNameWalkOnThree(unsigned seeds) {
  if (const char* env = std::getenv("QUORB_NAMES_SEEDS"))
    seeds = static_cast<unsigned>(std::atoi(env));
  for (unsigned seed = 1; seed <= seeds && !testing::Test::HasFailure(); ++seed)
    RunNameWalk(3, seed, 24);
}

TEST(NamesForever, ThreeSites) {
  RunNameWalkOnThree(1);
}

// More seeds, in the slow group.
TEST(NamesForever, ThreeSitesLong) {
  RunNameWalkOnThree(8);
}

}  // namespace
