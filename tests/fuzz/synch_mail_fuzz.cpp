// A whole received synchronisation mail, as the POP3 collection hands it over, into a
// scratch installation: checked (head, MAC), stored, decoded and applied by a pass. The
// first byte chooses whether the rest is signed with the partnership's secret (its MAC put
// in the head), so that what follows the check is reached too. Whatever the bytes:
// - what is kept of a mail is its signed part alone, and it reads back as that part;
// - nothing is kept of a mail that is not exactly one message;
// - the configuration directory only ever holds the files a partner may send beside the
//   installation's own, and the secret and the project list stay as they were.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <string_view>

#include "base/files.h"
#include "base/request_state.h"
#include "mail/pop3.h"
#include "sync/encoding.h"
#include "sync/sync.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSecret = "a-shared-secret-of-the-fuzzer";
constexpr std::string_view kProjects = "TEST:T:kolvar:tessin:siteb@example.org\n";

void Put(const fs::path& path, std::string_view text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary).write(text.data(), static_cast<long>(text.size()));
}

std::string Get(const fs::path& path) {
  return base::ReadFile(path.string()).value_or("");
}

const fs::path& Root() {
  static const fs::path root = [] {
    fs::path r = fs::temp_directory_path() / ("synch-mail-fuzz-" + std::to_string(getpid()));
    Put(r / "config/quorb.cfg",
        "DATADIR " + (r / "data").string() + "/\nCONFIGDIR " + (r / "config").string() +
            "/\nMAILSERV 127.0.0.1:1\nHOSTNAME sitea\nDOMAIN example.org\nLANGUAGE EN\n"
            "WWW www\nSYNCDELAY 0\n");
    Put(r / "config/project.cfg", kProjects);
    Put(r / "config/TEST_sync.key", std::string(kSecret) + "\n");
    Put(r / "config/TEST_users.cfg", "kolvar:k@x:pw:Y:Y\n");
    setenv("PWD", r.c_str(), 1);
    setenv("TZ", "UTC", 1);
    // The pages' comments go nowhere; errors still reach standard error.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return r;
  }();
  return root;
}

// A fresh data directory: the received messages, the sheets and the spool of the last run go.
void FreshData() {
  const fs::path& root = Root();
  std::error_code error;
  fs::remove_all(root / "data", error);
  for (const char* folder : {"data/tmp", "data/Synchro/in/TEST", "data/Synchro/out/TEST"})
    fs::create_directories(root / folder);
}

const std::set<std::string>& AllowedConfigFiles() {
  static const std::set<std::string> names = {
      "quorb.cfg",           "project.cfg",      "TEST_sync.key",    "TEST_users.cfg",
      "TEST_subproject.cfg", "TEST_program.cfg", "TEST_version.cfg", "TEST_deadline.cfg"};
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const fs::path& root = Root();
  FreshData();
  base::ResetRequestState();
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string text = "+OK\r\nSubject: Quorb-Synchro TEST s00001\r\n";
  if (data[0] & 1) text += "X-Quorb-MAC: " + synch::SynchMac(kSecret, "TEST s00001", body) + "\r\n";
  text += body;

  synch::ReceiveMail({1, "TEST", "s00001", 0}, text);

  // What was kept is the signed part, whole, and nothing when there is none.
  const std::optional<std::string> part = synch::SignedPart(text);
  std::string kept;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root / "data/Synchro/in/TEST", error), end;
       !error && it != end; it.increment(error))
    if (it->is_regular_file()) kept = Get(it->path());
  if (!kept.empty() && (!part || kept != *part + "\n" || synch::SignedPart(kept) != part))
    std::abort();

  synch::SynchPass();

  for (const fs::directory_entry& entry : fs::directory_iterator(root / "config"))
    if (!AllowedConfigFiles().contains(entry.path().filename().string())) std::abort();
  if (Get(root / "config/TEST_sync.key") != std::string(kSecret) + "\n" ||
      Get(root / "config/project.cfg") != kProjects)
    std::abort();
  // A partner's lists and members may change; the next input starts from ours again.
  for (const std::string& name : AllowedConfigFiles())
    if (name.starts_with("TEST_") && name != "TEST_sync.key" && name != "TEST_users.cfg")
      fs::remove(root / "config" / name, error);
  Put(root / "config/TEST_users.cfg", "kolvar:k@x:pw:Y:Y\n");
  return 0;
}
