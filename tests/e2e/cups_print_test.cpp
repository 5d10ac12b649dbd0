// Printing a test listing through a real CUPS spooler: the test starts its own cupsd on a free
// local port with a private configuration, adds a queue whose device is a file, sets `lp` as
// the print command, prints a test through the CGI and waits for the job to reach the file;
// then prints to a queue that takes no jobs and checks the error box.
// Where cupsd cannot run, the test fails.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/ports.h"
#include "harness.h"
#include "postfix_peer.h"

namespace {

namespace fs = std::filesystem;
using postfix_peer::ReadText;

// A queue that hands plain text unchanged to its device.
constexpr const char* kTextPpd =
    "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
    "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"QUORB.PPD\"\n"
    "*Manufacturer: \"QUORB\"\n*Product: \"(Listing)\"\n*ModelName: \"Listing file\"\n"
    "*ShortNickName: \"Listing file\"\n*NickName: \"Listing file\"\n*PSVersion: \"(3010.000) 0\"\n"
    "*LanguageLevel: \"3\"\n*ColorDevice: False\n*DefaultColorSpace: Gray\n*FileSystem: False\n"
    "*Throughput: \"1\"\n*TTRasterizer: Type42\n*cupsVersion: 2.4\n"
    "*cupsFilter: \"text/plain 0 gziptoany\"\n"
    "*OpenUI *PageSize: PickOne\n*DefaultPageSize: A4\n*PageSize A4: \"\"\n*CloseUI: *PageSize\n"
    "*DefaultImageableArea: A4\n*ImageableArea A4: \"0 0 595 842\"\n"
    "*DefaultPaperDimension: A4\n*PaperDimension A4: \"595 842\"\n";

// A cupsd of its own: configuration, spool and logs in a private folder, stopped and removed
// on destruction.
class Spooler {
 public:
  Spooler() : port_(test_ports::FreePort()) {
    std::string pattern = (fs::temp_directory_path() / "quorb-cups-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data()) ? pattern : "";
    if (root_.empty()) return;
    fs::permissions(root_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    for (const char* dir : {"etc", "spool", "cache", "state", "tmp", "log", "out"})
      fs::create_directory(root_ / dir);
    fs::permissions(root_ / "tmp", fs::perms::all | fs::perms::sticky_bit);
    std::ofstream(root_ / "etc/cupsd.conf")
        << "Listen 127.0.0.1:" + std::to_string(port_) +
               "\nLogLevel info\nWebInterface No\nBrowsing No\nDefaultAuthType None\n"
               "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
               "<Location /admin>\n  Order allow,deny\n  Allow all\n</Location>\n"
               "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n"
               "</Policy>\n";
    const std::string r = root_.string();
    std::ofstream(root_ / "etc/cups-files.conf")
        << "FileDevice Yes\nServerRoot " + r + "/etc\nRequestRoot " + r + "/spool\nCacheDir " + r +
               "/cache\nStateDir " + r + "/state\nTempDir " + r + "/tmp\nAccessLog " + r +
               "/log/access_log\nErrorLog " + r + "/log/error_log\nPageLog " + r +
               "/log/page_log\nServerBin /usr/lib/cups\nDataDir /usr/share/cups\n"
               "SystemGroup root\n";
    std::ofstream(root_ / "listing.ppd") << kTextPpd;
    cupsd_ = std::make_unique<postfix_peer::Child>(
        std::vector<std::string>{"cupsd", "-f", "-c", r + "/etc/cupsd.conf", "-s",
                                 r + "/etc/cups-files.conf"},
        root_ / "log/cupsd.out");
  }
  ~Spooler() {
    cupsd_.reset();
    std::error_code ignored;
    if (!root_.empty()) fs::remove_all(root_, ignored);
  }
  Spooler(const Spooler&) = delete;
  Spooler& operator=(const Spooler&) = delete;

  // Waits until cupsd answers on its port.
  bool Ready() const { return cupsd_ && cupsd_->started() && test_ports::AcceptsWithin10s(port_); }
  std::string Server() const { return "127.0.0.1:" + std::to_string(port_); }
  const fs::path& root() const { return root_; }
  std::string Log() const { return ReadText(root_ / "log/error_log"); }

 private:
  int port_;
  fs::path root_;
  std::unique_ptr<postfix_peer::Child> cupsd_;
};

TEST(CupsPrint, TestListingReachesTheQueueFile) {
  Spooler cups;
  ASSERT_FALSE(cups.root().empty());
  ASSERT_TRUE(cups.Ready()) << "cupsd did not start (scripts/install-deps.sh installs it)\n"
                            << cups.Log();
  const fs::path out = cups.root() / "out/listing.txt";
  auto add = [&](const std::string& queue, const std::string& device) {
    return std::system(("lpadmin -h " + cups.Server() + " -p " + queue + " -v " + device + " -P " +
                        (cups.root() / "listing.ppd").string() + " 2>/dev/null")
                           .c_str());
  };
  ASSERT_EQ(add("quorb -E", "file://" + out.string()), 0) << cups.Log();

  e2e::SampleInstallation inst;
  inst.WriteConfig(inst.DefaultConfig("PRINT lp -h " + cups.Server() + " -d quorb\n"));
  const std::string place = "CMD=book&project=TEST&group=GUI&phase=0&mod=M&step=S";
  inst.Post(place + "&book=6&title=Step");
  inst.Post(place + "&book=8&title=Printed+through+CUPS&submitter=tessin&obj=Check+it");
  std::string page = inst.Get(place + "&test=000&book=22").out;
  EXPECT_TRUE(e2e::Has(page, "request id is quorb-")) << page;

  std::string job;
  for (int i = 0; i < 100 && job.find('\f') == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    job = ReadText(out);
  }
  ASSERT_FALSE(job.empty()) << cups.Log();
  const std::string start = "+" + std::string(78, '-') + "+\n|000 Title : Printed through CUPS ";
  EXPECT_EQ(job.substr(0, start.size()), start);
  EXPECT_EQ(job.back(), '\f');
  EXPECT_EQ(inst.List("data/tmp"), std::vector<std::string>{"quorb.log"});  // DEBUG's trace

  // A queue that takes no jobs (added without -E): the page says the print failed, in lp's
  // own words, and nothing says printed.
  ASSERT_EQ(add("stopped", "file:///dev/null"), 0) << cups.Log();
  inst.WriteConfig(inst.DefaultConfig("PRINT lp -h " + cups.Server() + " -d stopped\n"));
  e2e::CgiResult failed = inst.Get(place + "&test=000&book=22");
  EXPECT_TRUE(e2e::Has(failed.out, "</PRE>\n" + e2e::kErrorBox + "The print command failed: lp: "))
      << failed.out;
  EXPECT_TRUE(e2e::Has(failed.out, "not accepting jobs")) << failed.out;
  EXPECT_FALSE(e2e::Has(failed.out, "request id"));
  EXPECT_TRUE(e2e::Has(failed.err, "quorb: print command failed: lp: "));
  EXPECT_EQ(inst.List("data/tmp"), std::vector<std::string>{"quorb.log"});  // DEBUG's trace
}

}  // namespace
