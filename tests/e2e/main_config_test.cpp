#include "config/main_config.h"

#include <gtest/gtest.h>

#include "harness.h"
#include "web/response.h"

namespace {

using namespace e2e;

// BASEURL stands unquoted in links: only a plain http(s) address is taken; HOSTNAME gives mail
// addresses its host without the port.
TEST(MainConfig, BaseUrlIsAPlainAddressAndTheMailHostHasNoPort) {
  const std::pair<std::string, std::string> urls[] = {
      {"https://bugs.example.org:8443/tools//", "https://bugs.example.org:8443/tools"},
      {"http://[::1]:8080", "http://[::1]:8080"},
      {"http://a.example/%7Euser", "http://a.example/%7Euser"},
      {"http://", ""},
      {"http:///path", ""},
      {"ftp://a.example", ""},
      {"http://user@a.example", ""},
      {"http://a.example/x>y", ""},
      {"http://a.example/\"", ""},
      {"javascript:alert(1)", ""},
  };
  for (const auto& [url, plain] : urls) EXPECT_EQ(config::PlainBaseUrl(url), plain) << url;
  const std::pair<std::string, std::string> hosts[] = {
      {"bugs.example.org", "bugs.example.org"},
      {"localhost:18300", "localhost"},
      {"[::1]:18300", "[::1]"},
      {"::1", "::1"},
      {"host:", "host"},
      {"host:http", "host:http"},
  };
  Installation inst;
  for (const auto& [hostname, host] : hosts) {
    inst.WriteConfig(inst.DefaultConfig("HOSTNAME " + hostname + "\n"));
    InProcess req(inst);
    EXPECT_EQ(config::MailHost(), host) << hostname;
  }
}

TEST(MainConfig, LastOccurrenceWinsValuesAreTrimmedAndCut) {
  Installation inst;
  inst.WriteConfig(
      "DATADIR /first/\nDATADIR   /second/  \t\nLANGUAGE EN  \r\nEMPTY\nSECURITY yes\n"
      "# a comment naming MAILSERV relay.example:2525\nWWW\nNOTWWW w\nTHEME THEME inner\n");
  InProcess req(inst);
  EXPECT_EQ(config::GetConfig("DATADIR"), "/second/");
  EXPECT_EQ(config::GetDataDir(), "/second/");
  EXPECT_EQ(config::GetStatsDir(), "/second//Stats/");
  EXPECT_EQ(config::GetSynchroDir(), "/second//Synchro/");
  EXPECT_EQ(config::GetConfig("LANGUAGE"), "EN");
  EXPECT_EQ(config::GetConfig("EMPTY"), "");
  EXPECT_EQ(config::GetConfig("NOPE"), "");
  EXPECT_FALSE(config::IsSecurityOn());  // only "YES" turns it on
  // A key word anywhere counts, even inside a comment line.
  EXPECT_EQ(config::GetConfig("MAILSERV"), "relay.example:2525");
  // A key followed by nothing takes the next line's line feed only: empty.
  EXPECT_EQ(config::GetConfig("WWW"), "");
  // Only whole words count, and a value is not scanned for keys.
  EXPECT_EQ(config::GetConfig("THEME"), "THEME inner");

  // Values are cut at 99 characters and the rest is scanned on.
  inst.WriteConfig("PRINT " + std::string(120, 'p') + " HIDDEN found\nSECURITY YES\nWWW " +
                   std::string(98, 'w') + "WWW cut\n");
  InProcess again(inst);
  // The rest of the line after "PRINT" is read 99 characters at a time: a blank and 98 p.
  EXPECT_EQ(config::GetConfig("PRINT"), std::string(98, 'p'));
  EXPECT_EQ(config::GetConfig("HIDDEN"), "found");
  EXPECT_EQ(config::GetConfig("WWW"), "cut");  // the reading by words goes on where it was cut
  EXPECT_TRUE(config::IsSecurityOn());
}

// The paths go to the administrator's error log (standard error), once, never into the page.
TEST(MainConfig, MissingFileGivesEmptyValuesAndDiagnosticsForTheAdministrator) {
  Installation inst;
  std::remove(inst.Path("config/quorb.cfg").c_str());
  CgiResult r = inst.Get("CMD=help");
  EXPECT_FALSE(Has(r.out, inst.root())) << r.out;
  EXPECT_EQ(Count(r.err, "quorb: unable to open " + inst.root() + "/config/quorb.cfg"), 1) << r.err;
}

TEST(MainConfig, PathWithoutPwdFallsBackToTheWindowsBase) {
  Installation inst;
  InProcess req(inst, {{"PWD", ""}});
  EXPECT_EQ(config::GetConfigPath(), "c:\\quorb\\/config/quorb.cfg");
}

TEST(MainConfig, WriteMainConfigWritesEveryKeyInOrder) {
  Installation inst;
  InProcess req(inst);
  config::MainConfigValues v{
      "/d/", "/c/", "/quorb/images/", "lp -o2 %s", "localhost", "host1", "example.org", " ",
      "EN",  2,     "pop.example",    "#",         "*",         "www",   "NO",          {}};
  ASSERT_TRUE(config::WriteMainConfig(inst.Path("config"), v));
  EXPECT_EQ(inst.Read("config/quorb.cfg"),
            "#\n# Fichier de Configuration Principal de Quorb\n#\n# " + inst.root() +
                "/config/quorb.cfg\n#\nDATADIR /d/\nCONFIGDIR /c/\nIMGDIR /quorb/images/\n"
                "PRINT lp -o2 %s\nMAILSERV localhost\nHOSTNAME host1\nDOMAIN example.org\n"
                "SECURITY  \nLANGUAGE EN\nPERSIST 2\nPOP3 pop.example\nPOP3USER #\nPOP3PASS *\n"
                "WWW www\nDEBUG NO\nPAGESIZE 100\n");
  EXPECT_EQ(inst.List("config"), std::vector<std::string>{"quorb.cfg"});  // no temporary left
  // The absent security value reads back as empty, and the new file is what is read now.
  EXPECT_EQ(config::GetConfig("SECURITY"), "");
  EXPECT_EQ(config::GetConfig("PERSIST"), "2");
  EXPECT_FALSE(config::WriteMainConfig(inst.Path("no/such/dir"), v));
}

}  // namespace
