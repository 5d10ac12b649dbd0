// The sending half: numbering, the folder locks, the outgoing message and its mail.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <optional>

#include "base/encode.h"
#include "base/files.h"
#include "base/names.h"
#include "base/numbers.h"
#include "base/out.h"
#include "config/debug.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "mail/pop3.h"
#include "mail/smtp.h"
#include "mail/spool.h"
#include "sync/encoding.h"
#include "sync/sync.h"
#include "sync/sync_parts.h"

namespace synch {
namespace {

namespace fs = std::filesystem;
unsigned queued_count = 0;
// Set during a pass: sends wait for their relay no longer than this, and after it messages
// are queued for the next pass.
std::optional<std::chrono::steady_clock::time_point> send_deadline;

// Seconds a send may wait for the relay now; 0 when the pass has no time left.
int SendSeconds() {
  if (!send_deadline) return mail::kNetWaitSeconds;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      *send_deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  return std::clamp(static_cast<int>((left.count() + 999) / 1000), 1, 2);
}

}  // namespace

std::string OutFolder(std::string_view project) {
  return base::Sprintf("%s/out/%s", config::GetSynchroDir(), project);
}

std::string InFolder(std::string_view project) {
  return base::Sprintf("%s/in/%s", config::GetSynchroDir(), project);
}

int MessageNumber(std::string_view name) {
  if (name.size() != 10 || name[0] != 's' || !name.ends_with(".txt")) return 0;
  for (char c : name.substr(1, 5))
    if (c < '0' || c > '9') return 0;
  return base::LeadingNumber(name.substr(1, 5));
}

std::string PartnersOf(std::string_view project) {
  std::string sites = config::GetProjectSite(project);
  if (sites.empty() || sites[0] == ' ') return {};
  return sites;
}

namespace {

// `folder`, made when missing.
const std::string& MadeFolder(const std::string& folder) {
  base::MakeDirectory(folder);
  return folder;
}

}  // namespace

FolderLock::FolderLock(const std::string& folder, int wait_ms)
    : base::FileLock(MadeFolder(folder) + "/.lock", wait_ms) {}

std::string QueueFolder(std::string_view project) {
  return OutFolder(project) + "/queue";
}

std::pair<std::string, std::string> SplitAddressed(std::string_view extra) {
  size_t at = extra.find('@');
  if (at == std::string_view::npos) return {std::string(extra), {}};
  return {std::string(extra.substr(0, at)), std::string(extra.substr(at + 1))};
}

int NextOutNumber(std::string_view project) {
  if (!base::IsSafeName(project)) return 0;
  const std::string folder = OutFolder(project);
  // Once the numbering was found held, this request waits for it no more: the rest queues.
  static bool found_busy = false;
  FolderLock lock(folder, found_busy ? 0 : kOutLockWaitMs);
  found_busy = !lock.Held();
  if (!lock.Held()) {
    config::DebugPage("<! %s is locked: no message number >\n", base::EscapeHtml(folder));
    return 0;
  }
  const std::string path = folder + "/sent.txt";
  int n = base::LeadingNumber(base::ReadFile(path).value_or("")) + 1;
  if (n < 1) n = 1;
  bool written = base::WriteFileAtomic(path, base::Sprintf("%d", n));
  return written ? n : 0;
}

std::string SynchMailHead(std::string_view message, std::string_view project, int number) {
  // The partners' mailboxes need not know one another.
  mail::MailHeader header;
  header.from = base::Sprintf("\"Synch Manager\" <%s@%s>", mail::SenderName(),
                              mail::StripLineBreaks(config::GetConfig("DOMAIN")));
  header.subject =
      base::Sprintf("%s %s s%05d", mail::kSynchMarker, mail::StripLineBreaks(project), number);
  header.domain = config::MailHost();
  std::string head = mail::FormatMailHeader(header, std::time(nullptr));
  head.pop_back();  // the empty line that ends the header comes after the signature
  // Signed with the partnership's secret (SynchMail sends nothing without one).
  if (std::string secret = ProjectSecret(project); !secret.empty()) {
    std::string subject = base::Sprintf("%s s%05d", project, number);
    head += base::Sprintf("X-Quorb-MAC: %s\n", SynchMac(secret, subject, message));
  }
  head += "\n";
  return head;
}

void SynchMail(const std::string& file, std::string_view recipients, std::string_view project,
               int number) {
  // The partners refuse what is not signed: the message waits in out/ for the secret.
  if (ProjectSecret(project).empty()) {
    NoteError(2856, project);
    return;
  }
  mail::MessageFile out(
      base::Sprintf("%s/tmp/synch.%ul", config::GetDataDir(), static_cast<unsigned>(getpid())));
  if (!out) return;
  std::optional<std::string> body = base::ReadFile(file);
  if (!body) return;
  std::string head = SynchMailHead(*body, project, number);
  base::Write(out.get(), head);
  base::Write(out.get(), *body);
  if (!out.Close()) return;
  if (!recipients.empty()) {
    config::DebugPage("<! mail %s - %s >\n", base::EscapeHtml(recipients),
                      base::EscapeHtml(out.path()));
    std::string server = config::GetConfig("MAILSERV");
    config::DebugPage("<! sending through %s >\n", base::EscapeHtml(server));
    // The same spool as every mail: sent once the page is out, kept while the relay is away.
    out.Queue(recipients);
    return;
  }
  base::Page("<! No mail to send, destination empty >\n");
}

namespace {

// Before a sheet goes out: its log gets this site's change note for what changed here since
// it was last sent or merged, its lines and entries the order every site gives them, and
// the shadow copy becomes this very sheet.
void PrepareSheet(const std::string& path) {
  const std::string name = fs::path(path).filename().string();
  store::FactSheet written;
  store::Stored s = store::UpdateSheet(
      name,
      [](store::FactSheet& sheet) {
        const std::string before = store::FormatSheet(sheet);
        KeepIdentity(sheet);
        if (std::optional<store::FactSheet> shadow = ReadShadow(sheet))
          sheet.log += NoteChanges(*shadow, sheet);
        Canonicalise(sheet);
        return store::FormatSheet(sheet) != before;
      },
      &written);
  if (s == store::Stored::kOk) {
    SaveShadow(written);
  } else if (std::optional<store::FactSheet> now = store::ReadSheet(name)) {
    SaveShadow(*now);
  }
}

// The origin word of the sheet whose attachment folder holds `path`; empty when none.
std::string AttachmentOrigin(const std::string& path) {
  constexpr std::string_view kTraceFolder = "TRACE_";
  const std::string folder = fs::path(path).parent_path().filename().string();
  if (!folder.starts_with(kTraceFolder)) return {};
  std::optional<store::FactSheet> sheet = store::ReadSheet(folder.substr(kTraceFolder.size()));
  return sheet ? OriginWord(*sheet) : std::string();
}

// Packs the message into a new file beside `target`; its name, or empty on failure.
std::string Pack(const std::string& path, int kind, const std::string& target) {
  std::string temp = base::TempNameFor(target);
  base::File file = base::OpenFile(temp, "wb");
  if (!file) return {};
  // An attachment names its sheet by origin too, for partners that know it by another name.
  bool ok = EncodeSynchFile(file.get(), path, kind, HostToken(),
                            kind == kAttachment ? AttachmentOrigin(path) : std::string());
  ok = std::fflush(file.get()) == 0 && ok;
  file.reset();
  if (!ok) {
    config::DebugPage("<! %s could not be packed >\n", base::EscapeHtml(path));
    base::RemoveFile(temp);
    return {};
  }
  return temp;
}

// Numbers a packed message and mails it; false (the file left where it is) when no number
// could be had.
bool NumberAndMail(const std::string& packed, std::string_view project, const std::string& sites) {
  int n = NextOutNumber(project);
  if (n == 0) return false;
  std::string out = base::Sprintf("%s/s%05d.txt", OutFolder(project), n);
  if (!base::ReplaceFile(packed, out)) return false;
  SynchMail(out, sites, project, n);
  return true;
}

}  // namespace

void SetSendDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) {
  send_deadline = deadline;
}

int SendQueued(std::string_view project) {
  std::string sites = PartnersOf(project);
  const std::string folder = QueueFolder(project);
  if (sites.empty() || !base::IsDirectory(folder)) return 0;
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    if (it->path().filename().string().starts_with("q")) names.push_back(it->path().string());
  std::sort(names.begin(), names.end());
  int sent = 0;
  for (const std::string& queued : names) {
    if (SendSeconds() == 0) break;
    if (!NumberAndMail(queued, project, sites)) break;
    ++sent;
  }
  return sent;
}

void SendSynchFile(const std::string& path, std::string_view project, int kind) {
  if (!base::IsSafeName(project)) return;
  std::string sites = PartnersOf(project);
  if (sites.empty()) return;
  config::DebugPage("<!SendSynchFile:\"%s\" %c>\n", base::EscapeHtml(path),
                    static_cast<char>('a' + kind));
  if (kind == kSheetFile) PrepareSheet(path);
  // The message is packed first, so that what is sent is the file as it is now, whether it
  // goes at once or waits in the queue for a number.
  const std::string queue = QueueFolder(project);
  base::MakeDirectory(OutFolder(project));
  base::MakeDirectory(queue);
  const std::string queued =
      base::Sprintf("%s/q%010ld.%d.%u", queue, static_cast<long>(std::time(nullptr)),
                    static_cast<int>(getpid()), ++queued_count);
  std::string packed = Pack(path, kind, queued);
  if (packed.empty()) return;
  if (SendSeconds() > 0 && NumberAndMail(packed, project, sites)) {
    SendQueued(project);  // older messages waiting for a number go now too
    return;
  }
  // The numbering is held by another process: the next pass sends it.
  if (!base::ReplaceFile(packed, queued)) {
    base::RemoveFile(packed);
    NoteError(2857, project);
    return;
  }
  base::Page("<! message queued for the next pass >\n");
}

bool SendAgain(std::string_view project, std::string_view name) {
  const int n = MessageNumber(name);
  const std::string sites = PartnersOf(project);
  const std::string stored = base::Sprintf("%s/%s", OutFolder(project), name);
  if (!base::IsSafeName(project) || n == 0 || sites.empty() || !base::FileExists(stored))
    return false;
  SynchMail(stored, sites, project, n);
  return true;
}

bool ForgetMessage(std::string_view project, std::string_view name) {
  if (!base::IsSafeName(project) || MessageNumber(name) == 0) return false;
  return base::RemoveFile(base::Sprintf("%s/%s", OutFolder(project), name));
}

int SendWaiting(std::string_view project) {
  if (!base::IsSafeName(project)) return 0;
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(OutFolder(project), error), end; !error && it != end;
       it.increment(error))
    if (MessageNumber(it->path().filename().string()) > 0)
      names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  int sent = 0;
  for (const std::string& name : names) sent += SendAgain(project, name) ? 1 : 0;
  return sent;
}

}  // namespace synch
