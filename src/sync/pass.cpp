// The receiving half: the synchronisation pass of the home page.
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <optional>
#include <vector>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "mail/encoding.h"
#include "mail/pop3.h"
#include "store/buf_file.h"
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

Outcome ApplySheet(const std::string& decoded, std::string_view project) {
  store::BufFile file;
  if (!file.Open(decoded, 'r', store::kSheetBufferSize)) return Outcome::kDone;
  store::FactSheet received = store::ReadSheetFrom(file);
  file.Close();
  if (received.project != project) {
    base::Page("<! sheet of another project refused >\n");
    return Outcome::kDone;
  }
  Merged merged = MergeReceivedSheet(received);
  base::Page("<! merged into %s : %d >\n", base::EscapeHtml(merged.name),
             static_cast<int>(merged.stored));
  if (merged.stored == store::Stored::kOk) return Outcome::kDone;
  return merged.stored == store::Stored::kRefused ? Outcome::kDone : Outcome::kRetry;
}

// A per-project configuration file of this very project.
bool IsProjectFile(std::string_view name, std::string_view project) {
  return name.size() > project.size() + 5 && name.starts_with(project) &&
         name[project.size()] == '_' && name.ends_with(".cfg");
}

// An attachment folder of a sheet of the project: "TRACE_" and a sheet name with the
// project's code in front.
bool IsAttachmentFolder(std::string_view folder, std::string_view project) {
  constexpr std::string_view kTrace = "TRACE_";
  if (!folder.starts_with(kTrace) || !IsSafeName(folder)) return false;
  std::string_view sheet = folder.substr(kTrace.size());
  return store::IsSheetName(sheet) && sheet.starts_with(config::GetProjectCode(project));
}

// Applies one decoded message; the acknowledgement follows what was stored.
Outcome Apply(const mail::DecodedMessage& m, std::string_view project, const std::string& name) {
  const std::string base = fs::path(m.path).filename().string();
  switch (m.header.kind) {
    case kSheetFile: {
      Outcome outcome = ApplySheet(m.path, project);
      if (outcome == Outcome::kDone) SendSynchFile(name, project, kAcknowledgement);
      return outcome;
    }
    case kConfigFile:
      if (!IsProjectFile(base, project)) {
        base::Page("<! %s is not a file of project %s: refused >\n", base::EscapeHtml(base),
                   base::EscapeHtml(project));
        return Outcome::kDone;
      }
      if (!CopyIntoDir(m.path, config::GetConfigDir())) return Outcome::kRetry;
      config::ForgetProjectFiles();
      SendSynchFile(name, project, kAcknowledgement);
      return Outcome::kDone;
    case kAttachment: {
      if (!IsAttachmentFolder(m.header.extra, project)) {
        base::Page("<! %s is not an attachment folder: refused >\n",
                   base::EscapeHtml(m.header.extra));
        return Outcome::kDone;
      }
      // One change of the store, as every attachment is stored.
      const std::string stored_name = base::Sprintf("%s/%s", m.header.extra, base);
      if (store::StoreReceivedFile(stored_name, m.path) != store::Stored::kOk)
        return Outcome::kRetry;
      SendSynchFile(name, project, kAcknowledgement);
      return Outcome::kDone;
    }
    case kAcknowledgement:
      if (MessageNumber(m.header.extra) > 0)
        base::RemoveFile(base::Sprintf("%s/%s", OutFolder(project), m.header.extra));
      return Outcome::kDone;
    case kRequest: {
      std::string stored = base::Sprintf("%s/%s", OutFolder(project), m.header.extra);
      if (MessageNumber(m.header.extra) == 0 || !base::FileExists(stored)) return Outcome::kDone;
      // Sent again under a new number, to every partner, so that no partner sees a gap.
      if (int n = NextOutNumber(project); n > 0) SynchMail(stored, PartnersOf(project), project, n);
      return Outcome::kDone;
    }
    default:
      return Outcome::kDone;
  }
}

void ScanFile(std::string_view project, const std::string& folder, const std::string& name,
              const std::string& work) {
  const bool txt = name.size() > 4 && name.ends_with(".txt");
  RequestMissing(project, name);
  std::string path = folder + "/" + name;
  base::Page("<! Check :%s>\n", base::EscapeHtml(path));
  Outcome outcome = Outcome::kDone;
  if (txt) {
    if (std::optional<mail::DecodedMessage> m = mail::DecodeSynchFile(path, work)) {
      base::Page("<! synch :%s,%d,%s,%s>\n",
                 base::EscapeHtml(fs::path(m->path).filename().string()), m->header.kind,
                 base::EscapeHtml(m->header.host), base::EscapeHtml(m->header.extra));
      bool carries = m->header.kind == kSheetFile || m->header.kind == kConfigFile ||
                     m->header.kind == kAttachment;
      if (!m->has_file) {
        // Nothing to apply.
      } else if (carries && !m->complete) {
        base::Page("<! %s is cut off: not applied >\n", base::EscapeHtml(name));
        outcome = Outcome::kDiscard;
      } else {
        outcome = Apply(*m, project, name);
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

bool RequestMissing(std::string_view project, std::string_view name) {
  int n = MessageNumber(name);
  if (n <= 1) return false;
  if (base::FileExists(base::Sprintf("%s/s%05d.dat", InFolder(project), n - 1))) return false;
  SendSynchFile(base::Sprintf("s%05d.txt", n - 1), project, kRequest);
  return true;
}

bool CopyIntoDir(const std::string& file, const std::string& folder) {
  std::string target = base::JoinPath(folder, fs::path(file).filename().string());
  std::string temp = base::TempNameFor(target);
  std::error_code error;
  fs::copy_file(file, temp, fs::copy_options::overwrite_existing, error);
  if (error || !base::ReplaceFile(temp, target)) {
    base::RemoveFile(temp);
    return false;
  }
  base::RemoveFile(file);
  return true;
}

void SynchPass() {
  const std::string synchro = config::GetSynchroDir();
  const std::string in = synchro + "in";
  std::vector<std::string> projects;
  for (const std::string& p : config::ListProjects(""))
    if (IsSafeName(p)) projects.push_back(p);

  if (!base::IsDirectory(in)) {
    // Not set up for synchronisation.
  } else if (!LockDir(in, kInStaleSeconds)) {
    base::Page("<! synchronisation busy >\n");
  } else {
    if (!config::GetConfig("POP3").empty()) mail::PopCollect(synchro, [&] { TouchLock(in); });
    const std::string work =
        base::Sprintf("%s/tmp/synch.%d.d", config::GetDataDir(), static_cast<int>(getpid()));
    RemoveTree(work);
    base::MakeDirectory(work);
    for (const std::string& project : projects) {
      std::string folder = InFolder(project);
      if (!base::IsDirectory(folder)) continue;
      base::Page("<!scan Dir:%s>\n", base::EscapeHtml(folder));
      for (const std::string& name : ListFiles(folder)) {
        ScanFile(project, folder, name, work);
        TouchLock(in);
      }
    }
    RemoveTree(work);
    UnlockDir(in);
  }

  // Outgoing messages nobody acknowledged within 30 days go, "sent.txt" with them.
  for (const std::string& project : projects) {
    std::string folder = OutFolder(project);
    for (const std::string& name : ListFiles(folder)) {
      std::string path = folder + "/" + name;
      long time = base::FileTime(path);
      if (time != 0 && time < Now() - kOutKeepSeconds) base::RemoveFile(path);
    }
  }
}

}  // namespace synch
