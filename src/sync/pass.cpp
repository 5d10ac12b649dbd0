// The receiving half: the synchronisation pass of the home page.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <optional>
#include <vector>

#include "base/encode.h"
#include "base/files.h"
#include "base/names.h"
#include "base/out.h"
#include "base/text.h"
#include "config/debug.h"
#include "config/main_config.h"
#include "config/members.h"
#include "config/projects.h"
#include "mail/pop3.h"
#include "store/buf_file.h"
#include "sync/encoding.h"
#include "sync/sync.h"
#include "sync/sync_parts.h"

namespace synch {
namespace {

namespace fs = std::filesystem;

// The names of the files of `folder` that do not begin with ".", in ascending byte order.
std::vector<std::string> ListFiles(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    if (!name.starts_with(".") && it->is_regular_file(error)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

long Now() {
  return static_cast<long>(std::time(nullptr));
}

std::string DatName(const std::string& name) {
  size_t dot = name.rfind('.');
  return (dot == std::string::npos ? name : name.substr(0, dot)) + ".dat";
}

// What became of one received message.
enum class Outcome {
  kDone,     // applied, or nothing to apply: it takes its ".dat" name
  kRetry,    // the store failed: it stays ".txt" for the next pass
  kDiscard,  // unusable (cut off): removed, so that the next message asks for it again
};

Outcome ApplySheet(const std::string& decoded, std::string_view project, const std::string& message,
                   const std::string& sender) {
  store::BufFile file;
  if (!file.Open(decoded, 'r', store::kSheetBufferSize)) return Outcome::kDone;
  store::FactSheet received = store::ReadSheetFrom(file);
  file.Close();
  if (received.project != project) {
    NoteError(2858, project, message, sender);
    return Outcome::kDone;
  }
  Merged merged = MergeReceivedSheet(received);
  base::Page("<! merged into %s : %d >\n", base::EscapeHtml(merged.name),
             static_cast<int>(merged.stored));
  if (merged.stored == store::Stored::kOk) SaveShadow(merged.sheet);
  // A new number given here is a change the partners must hear of.
  for (const std::string& name : merged.renumbered)
    SendSynchFile(base::JoinPath(config::GetDataDir(), name), project, kSheetFile);
  if (merged.stored == store::Stored::kOk) return Outcome::kDone;
  return merged.stored == store::Stored::kRefused ? Outcome::kDone : Outcome::kRetry;
}

// The per-project configuration files a partner may send, "<project>_<list>.cfg": the
// lists the setup keeps per project and the members file.
constexpr std::string_view kCarriedLists[] = {"subproject", "program", "version", "deadline",
                                              "users"};
bool IsProjectFile(std::string_view name, std::string_view project) {
  for (std::string_view list : kCarriedLists)
    if (name == base::Sprintf("%s_%s.cfg", project, list)) return true;
  return false;
}

// A received members file is merged member by member into the local one: the decoded file
// becomes the merged one.
bool MergeMembersFile(const std::string& decoded) {
  std::optional<std::string> received = base::ReadFile(decoded);
  if (!received) return false;
  const std::string local_path =
      base::JoinPath(config::GetConfigDir(), fs::path(decoded).filename().string());
  const std::string local = base::ReadFile(local_path).value_or("");
  return base::WriteSecretFile(decoded, config::MergeMembers(local, *received));
}

// A sheet file of the project, by its name.
bool IsProjectSheet(std::string_view name, std::string_view project) {
  return store::IsSheetName(name) && name.starts_with(config::GetProjectCode(project));
}

// An attachment folder of a sheet of the project: "TRACE_" and a sheet name with the
// project's code in front.
constexpr std::string_view kTraceFolder = "TRACE_";
bool IsAttachmentFolder(std::string_view folder, std::string_view project) {
  if (!folder.starts_with(kTraceFolder) || !base::IsSafeName(folder)) return false;
  std::string_view sheet = folder.substr(kTraceFolder.size());
  return store::IsSheetName(sheet) && sheet.starts_with(config::GetProjectCode(project));
}

// Applies one decoded message; the acknowledgement follows what was stored.
Outcome Apply(const DecodedMessage& m, std::string_view project, const std::string& file,
              const std::string& sender) {
  const std::string base = fs::path(m.path).filename().string();
  // The acknowledgement names the message and its sender.
  const std::string name = sender.empty() ? file : file + "@" + sender;
  switch (m.header.kind) {
    case kSheetFile: {
      if (!IsProjectSheet(base, project)) {
        NoteError(2859, project, file, sender, base);
        return Outcome::kDone;
      }
      Outcome outcome = ApplySheet(m.path, project, file, sender);
      if (outcome == Outcome::kDone) SendSynchFile(name, project, kAcknowledgement);
      return outcome;
    }
    case kConfigFile:
      if (!IsProjectFile(base, project)) {
        NoteError(2859, project, file, sender, base);
        return Outcome::kDone;
      }
      if (base == base::Sprintf("%s_users.cfg", project) && !MergeMembersFile(m.path))
        return Outcome::kRetry;
      if (!CopyIntoDir(m.path, config::GetConfigDir())) return Outcome::kRetry;
      config::ForgetProjectFiles();
      SendSynchFile(name, project, kAcknowledgement);
      return Outcome::kDone;
    case kAttachment: {
      if (!IsAttachmentFolder(m.header.extra, project)) {
        NoteError(2861, project, file, sender, m.header.extra);
        return Outcome::kDone;
      }
      // Filed with the sheet that holds its origin, whatever its name here: the sender's
      // name for it may be another sheet's here. A message of an older version names only
      // the folder.
      const std::string named = m.header.extra.substr(kTraceFolder.size());
      auto locate = [&]() -> std::optional<std::string> {
        if (m.header.origin.empty()) return named;
        return SheetOfOrigin(project, m.header.origin, named);
      };
      switch (store::StoreReceivedFile(locate, base, m.path)) {
        case store::Stored::kOk:
          break;
        case store::Stored::kMissing:
          // Its sheet has not arrived yet: the message waits for it, as long as the sender
          // keeps it.
          if (m.header.time >= Now() - kOutKeepSeconds) return Outcome::kRetry;
          NoteError(2871, project, file, sender);
          return Outcome::kDone;
        default:
          return Outcome::kRetry;
      }
      SendSynchFile(name, project, kAcknowledgement);
      return Outcome::kDone;
    }
    case kAcknowledgement: {
      auto [message, to] = SplitAddressed(m.header.extra);
      if (MessageNumber(message) > 0 && (to.empty() || to == HostToken()))
        base::RemoveFile(base::Sprintf("%s/%s", OutFolder(project), message));
      return Outcome::kDone;
    }
    case kRequest: {
      auto [message, to] = SplitAddressed(m.header.extra);
      if (!to.empty() && to != HostToken()) return Outcome::kDone;
      std::string stored = base::Sprintf("%s/%s", OutFolder(project), message);
      if (MessageNumber(message) == 0 || !base::FileExists(stored)) return Outcome::kDone;
      // Sent again under a new number, to every partner, so that no partner sees a gap.
      if (int n = NextOutNumber(project); n > 0) SynchMail(stored, PartnersOf(project), project, n);
      return Outcome::kDone;
    }
    default:
      return Outcome::kDone;
  }
}

void ScanFile(std::string_view project, const std::string& folder, const std::string& sender,
              const std::string& name, const std::string& work) {
  const bool txt = name.size() > 4 && name.ends_with(".txt");
  RequestMissing(project, folder, sender, name);
  std::string path = folder + "/" + name;
  config::DebugPage("<! Check :%s>\n", base::EscapeHtml(path));
  Outcome outcome = Outcome::kDone;
  if (txt) {
    if (std::optional<DecodedMessage> m = DecodeSynchFile(path, work)) {
      config::DebugPage("<! synch :%s,%d,%s,%s>\n",
                        base::EscapeHtml(fs::path(m->path).filename().string()), m->header.kind,
                        base::EscapeHtml(m->header.host), base::EscapeHtml(m->header.extra));
      bool carries = m->header.kind == kSheetFile || m->header.kind == kConfigFile ||
                     m->header.kind == kAttachment;
      if (m->refused) {
        // Not one message: as forged as a wrong MAC. Removed, so the gap check asks again.
        NoteError(2867, project, name);
        outcome = Outcome::kDiscard;
      } else if (!m->has_file) {
        // Nothing to apply.
      } else if (carries && !m->complete) {
        NoteError(2862, project, name, sender);
        outcome = Outcome::kDiscard;
      } else {
        outcome = Apply(*m, project, name, sender);
      }
      if (!m->path.empty()) base::RemoveFile(m->path);
    }
  }
  switch (outcome) {
    case Outcome::kRetry:
      return;
    case Outcome::kDiscard:
      base::RemoveFile(path);
      return;
    case Outcome::kDone:
      break;
  }
  if (name.size() > 4 && name.ends_with(".dat")) {
    long time = base::FileTime(path);
    if (time != 0 && time < Now() - kAppliedKeepSeconds) base::RemoveFile(path);
  } else {
    std::rename(path.c_str(), (folder + "/" + DatName(name)).c_str());
  }
}

void RemoveTree(const std::string& folder) {
  std::error_code error;
  fs::remove_all(folder, error);
}

}  // namespace

bool RequestMissing(std::string_view project, const std::string& folder, const std::string& sender,
                    std::string_view name) {
  int n = MessageNumber(name);
  if (n <= 1) return false;
  // Applied, or here and waiting (an attachment whose sheet has not come yet).
  if (base::FileExists(base::Sprintf("%s/s%05d.dat", folder, n - 1)) ||
      base::FileExists(base::Sprintf("%s/s%05d.txt", folder, n - 1)))
    return false;
  std::string missing = base::Sprintf("s%05d.txt", n - 1);
  if (!sender.empty()) missing += "@" + sender;
  SendSynchFile(missing, project, kRequest);
  return true;
}

bool CopyIntoDir(const std::string& file, const std::string& folder) {
  std::string target = base::JoinPath(folder, fs::path(file).filename().string());
  // A members file holds password hashes: for the owner alone, as the setup pages write it.
  const bool secret = target.ends_with("_users.cfg");
  std::optional<std::string> content = base::ReadFile(file);
  if (!content || !base::ReplaceFileContent(target, *content, {.mode = secret ? 0600u : 0644u}))
    return false;
  base::RemoveFile(file);
  return true;
}

namespace {

// The line of a mail that starts at `pos`, without its line end; `pos` moves past it.
std::string_view NextMailLine(std::string_view mail, size_t& pos) {
  std::string_view line = base::NextLine(mail, pos);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// The description line of a stored mail: kind letter, time and sending site.
bool ReadDescription(std::string_view mail, SynchHeader& header) {
  size_t pos = 0;
  while (pos < mail.size()) {
    std::string_view line = NextMailLine(mail, pos);
    if (!line.starts_with("filetype:")) continue;
    std::vector<std::string_view> words;
    base::AppendWords(line.substr(9), words);
    if (words.size() < 3 || words[0].size() != 1) return false;
    header.kind = words[0][0] - 'a';
    header.time = base::LeadingNumber(words[1]);
    header.host = std::string(words[2]);
    header.extra = words.size() > 3 ? std::string(words[3]) : std::string();
    return true;
  }
  return false;
}

bool SameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// The value of the header line `name` of a mail ("X-Quorb-MAC"), blanks trimmed.
std::string HeaderValue(std::string_view mail, std::string_view name) {
  size_t pos = 0;
  while (pos < mail.size()) {
    std::string_view line = NextMailLine(mail, pos);
    if (line.empty() || line.starts_with("filetype:")) break;  // the end of the headers
    if (line.size() > name.size() && line[name.size()] == ':' &&
        SameLetters(line.substr(0, name.size()), name)) {
      std::string_view value = line.substr(name.size() + 1);
      while (!value.empty() && base::IsBlank(value.front())) value.remove_prefix(1);
      while (!value.empty() && base::IsBlank(value.back())) value.remove_suffix(1);
      return std::string(value);
    }
  }
  return {};
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace

mail::Keep ReceiveMail(const mail::SynchMailEntry& entry, std::string_view text) {
  const std::string& project = entry.project;
  const std::string folder = InFolder(project);
  if (!base::IsSafeName(project) || !base::IsDirectory(folder)) {
    NoteError(2863, project, project, entry.name);
    return mail::Keep::kLeave;
  }
  if (PartnersOf(project).empty()) {
    NoteError(2864, project, entry.name);
    return mail::Keep::kDelete;
  }
  const std::string secret = ProjectSecret(project);
  const std::string mac = HeaderValue(text, "X-Quorb-MAC");
  const std::string subject = project + " " + entry.name;
  if (secret.empty()) {
    NoteError(2865, project, entry.name);
    return mail::Keep::kDelete;
  }
  // Only what the MAC covers is kept; a mail with more than one message in it is forged.
  const std::optional<std::string> signed_part = SignedPart(text);
  if (mac.empty() && signed_part) {
    NoteError(2866, project, entry.name);
    return mail::Keep::kDelete;
  }
  if (!signed_part || !SameText(mac, SynchMac(secret, subject, *signed_part))) {
    NoteError(2867, project, entry.name);
    return mail::Keep::kDelete;
  }
  SynchHeader header;
  if (!ReadDescription(*signed_part, header) || !base::IsSafeName(header.host)) {
    NoteError(2868, project, entry.name);
    return mail::Keep::kDelete;
  }
  if (header.host == HostToken()) return mail::Keep::kDelete;  // our own, back again
  if (header.time < Now() - kReplayWindowSeconds) {
    NoteError(2869, project, entry.name, header.host);
    return mail::Keep::kDelete;
  }
  const std::string from = folder + "/" + header.host;
  base::MakeDirectory(from);
  const std::string path = base::Sprintf("%s/%s.txt", from, entry.name);
  if (base::FileExists(path) || base::FileExists(base::Sprintf("%s/%s.dat", from, entry.name))) {
    config::DebugPage("<! %s of %s already received >\n", entry.name,
                      base::EscapeHtml(header.host));
    return mail::Keep::kDelete;
  }
  if (!base::WriteFileAtomic(path, *signed_part + "\n")) {
    NoteError(2870, project, path);
    return mail::Keep::kLeave;
  }
  return mail::Keep::kDelete;
}

namespace {

// Whether the pass may run now: at most once per SYNCDELAY seconds (60 when unset, 0 for
// every home page), told by one look at the stamp file's time.
bool PassDue(const std::string& stamp) {
  std::string setting = config::GetConfig("SYNCDELAY");
  long delay = setting.empty() ? kDefaultSyncDelay : base::LeadingNumber(setting);
  if (delay <= 0) return true;
  struct stat st;
  if (::stat(stamp.c_str(), &st) != 0) return true;
  return st.st_mtime + delay <= Now();
}

void ScanProject(const std::string& project, const std::string& work, int& applied) {
  std::string folder = InFolder(project);
  if (!base::IsDirectory(folder)) return;
  if (PartnersOf(project).empty()) return;  // a project with no partner applies nothing
  config::DebugPage("<!scan Dir:%s>\n", base::EscapeHtml(folder));
  // Messages of partners of an older version lie in the folder itself.
  for (const std::string& name : ListFiles(folder)) {
    ScanFile(project, folder, "", name, work);
    ++applied;
  }
  std::error_code error;
  std::vector<std::string> senders;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    if (it->is_directory(error) && base::IsSafeName(it->path().filename().string()))
      senders.push_back(it->path().filename().string());
  std::sort(senders.begin(), senders.end());
  for (const std::string& sender : senders) {
    std::string from = folder + "/" + sender;
    for (const std::string& name : ListFiles(from)) {
      ScanFile(project, from, sender, name, work);
      ++applied;
    }
  }
}

}  // namespace

void SynchPass() {
  const std::string synchro = config::GetSynchroDir();
  const std::string stamp = synchro + "pass.stamp";
  if (!PassDue(stamp)) return;
  const std::string in = synchro + "in";
  if (!base::IsDirectory(in)) return;  // not set up for synchronisation
  FolderLock lock(in, kInLockWaitMs);
  if (!lock.Held()) {
    base::Page("<! synchronisation busy >\n");
    return;
  }
  base::WriteFileAtomic(stamp, "");
  // The page waits for the pass a few seconds at most, whatever the servers do.
  SetSendDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(kPassSendMs));
  struct Reset {
    ~Reset() { SetSendDeadline(std::nullopt); }
  } reset;
  TrimErrors();
  std::vector<std::string> projects;
  for (const std::string& p : config::ListProjects(""))
    if (base::IsSafeName(p)) projects.push_back(p);

  // Messages that waited for a number go first.
  for (const std::string& project : projects) SendQueued(project);

  int collected = 0;
  int trouble = 0;
  if (!config::GetConfig("POP3").empty()) {
    trouble = mail::PopCollect([&](const mail::SynchMailEntry& entry, std::string_view text) {
      ++collected;
      return ReceiveMail(entry, text);
    });
    if (trouble != 0) NoteError(trouble, "");
  }
  const std::string work =
      base::Sprintf("%s/tmp/synch.%d.d", config::GetDataDir(), static_cast<int>(getpid()));
  RemoveTree(work);
  base::MakeDirectory(work);
  int applied = 0;
  for (const std::string& project : projects) ScanProject(project, work, applied);
  RemoveTree(work);

  // Outgoing messages nobody acknowledged within 30 days go; the counter stays, so a
  // partner never takes a new message for one it already has.
  for (const std::string& project : projects) {
    std::string folder = OutFolder(project);
    for (const std::string& name : ListFiles(folder)) {
      if (MessageNumber(name) == 0) continue;
      std::string path = folder + "/" + name;
      long time = base::FileTime(path);
      if (time != 0 && time < Now() - kOutKeepSeconds) base::RemoveFile(path);
    }
  }
  if (trouble != 0)
    NoteLastPass(trouble);
  else
    NoteLastPass(2821, std::to_string(collected), std::to_string(applied));
}

}  // namespace synch
