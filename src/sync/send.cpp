// The sending half: numbering, the folder locks, the outgoing message and its mail.
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "base/encode.h"
#include "base/files.h"
#include "base/names.h"
#include "base/numbers.h"
#include "base/out.h"
#include "config/debug.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "mail/encoding.h"
#include "mail/pop3.h"
#include "mail/smtp.h"
#include "sync/sync.h"
#include "sync/sync_parts.h"

namespace synch {
namespace {

constexpr size_t kSenderMax = 51;

std::string OwnLock(const std::string& folder) {
  return base::Sprintf("%s/lock%d", folder, static_cast<int>(getpid()));
}

bool CreateOwnLock(const std::string& own) {
  base::File f = base::OpenFile(own, "wb");
  if (!f) return false;
  return std::fputs(" ", f.get()) >= 0 && std::fflush(f.get()) == 0;
}

// Counts the live lock files of `folder`, removing those older than `stale` seconds.
int CountLiveLocks(const std::string& folder, const std::string& own, int stale) {
  namespace fs = std::filesystem;
  std::error_code error;
  int live = 0;
  long now = static_cast<long>(std::time(nullptr));
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    if (!name.starts_with("lock")) continue;
    std::string path = it->path().string();
    long time = base::FileTime(path);
    if (time == 0) continue;  // gone meanwhile
    if (path != own && time < now - stale) {
      base::RemoveFile(path);
      continue;
    }
    ++live;
  }
  return error ? -1 : live;
}

// The mail sender: the WWW value ("www" when empty) at the DOMAIN value.
std::string SenderName() {
  std::string sender = mail::StripLineBreaks(config::GetConfig("WWW"));
  if (sender.empty()) sender = "www";
  if (sender.size() > kSenderMax) sender.resize(kSenderMax);
  return sender;
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

bool LockDir(const std::string& folder, int stale_seconds) {
  using Clock = std::chrono::steady_clock;
  const std::string own = OwnLock(folder);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(stale_seconds);
  for (int attempt = 0;; ++attempt) {
    if (!CreateOwnLock(own)) {
      base::MakeDirectory(folder);
      if (!CreateOwnLock(own)) return false;
    }
    if (CountLiveLocks(folder, own, stale_seconds) == 1) return true;
    base::RemoveFile(own);
    if (Clock::now() >= deadline) return false;
    // A pause that differs between processes, so two that met do not meet again.
    int pause = 10 + static_cast<int>((getpid() * 7 + attempt * 13) % 40);
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  }
}

void UnlockDir(const std::string& folder) {
  base::RemoveFile(OwnLock(folder));
}

void TouchLock(const std::string& folder) {
  utime(OwnLock(folder).c_str(), nullptr);
}

int NextOutNumber(std::string_view project) {
  if (!base::IsSafeName(project)) return 0;
  const std::string folder = OutFolder(project);
  if (!LockDir(folder, kOutStaleSeconds)) {
    config::DebugPage("<! %s is locked: no message number >\n", base::EscapeHtml(folder));
    return 0;
  }
  const std::string path = folder + "/sent.txt";
  int n = base::LeadingNumber(base::ReadFile(path).value_or("")) + 1;
  if (n < 1) n = 1;
  bool written = base::WriteFileAtomic(path, base::Sprintf("%d", n));
  UnlockDir(folder);
  return written ? n : 0;
}

void SynchMail(const std::string& file, std::string_view recipients, std::string_view project,
               int number) {
  std::string tmp =
      base::Sprintf("%s/tmp/synch.%ul", config::GetDataDir(), static_cast<unsigned>(getpid()));
  {
    base::File out = base::OpenFile(tmp, "wb");
    int error = out ? 0 : errno;
    config::DebugPage("<! Send Mail %ld,errno:%d, file:%s>\n",
                      out ? static_cast<long>(fileno(out.get())) : 0L, error,
                      base::EscapeHtml(tmp));
    if (!out) return;
    std::optional<std::string> body = base::ReadFile(file);
    if (!body) {
      out.reset();
      base::RemoveFile(tmp);
      return;
    }
    std::string head = "Content-Type: text/html; charset=us-ascii\n";
    head += base::Sprintf("Subject: %s %s s%05d\n", mail::kSynchMarker,
                          mail::StripLineBreaks(project), number);
    head += base::Sprintf("From: \"Synch Manager\" <%s@%s>\n", SenderName(),
                          mail::StripLineBreaks(config::GetConfig("DOMAIN")));
    head += " \n";
    bool ok = std::fwrite(head.data(), 1, head.size(), out.get()) == head.size();
    ok = std::fwrite(body->data(), 1, body->size(), out.get()) == body->size() && ok;
    if (std::fflush(out.get()) != 0 || !ok) {
      out.reset();
      base::RemoveFile(tmp);
      return;
    }
  }
  if (!recipients.empty()) {
    config::DebugPage("<! mail %s - %s >\n", base::EscapeHtml(recipients), base::EscapeHtml(tmp));
    std::string server = config::GetConfig("MAILSERV");
    config::DebugPage("<! sending through %s >\n", base::EscapeHtml(server));
    std::string sender = SenderName() + "@" + mail::StripLineBreaks(config::GetConfig("DOMAIN"));
    mail::SmtpSend(server, sender, recipients, tmp);
  } else {
    config::DebugPage("<! No mail to send, destination empty >\n");
  }
  base::RemoveFile(tmp);
}

void SendSynchFile(const std::string& path, std::string_view project, int kind) {
  if (!base::IsSafeName(project)) return;
  std::string sites = PartnersOf(project);
  if (sites.empty()) return;
  int n = NextOutNumber(project);
  if (n == 0) return;
  std::string out = base::Sprintf("%s/s%05d.txt", OutFolder(project), n);
  config::DebugPage("<!SendSynchFile:\"%s\" %c>\n", base::EscapeHtml(path),
                    static_cast<char>('a' + kind));
  // The message is complete under its name, or not there at all.
  std::string temp = base::TempNameFor(out);
  {
    base::File file = base::OpenFile(temp, "wb");
    if (!file) return;
    bool ok = mail::EncodeSynchFile(file.get(), path, kind, config::GetConfig("HOSTNAME"));
    ok = std::fflush(file.get()) == 0 && ok;
    file.reset();
    if (!ok) {
      config::DebugPage("<! %s could not be packed >\n", base::EscapeHtml(path));
      base::RemoveFile(temp);
      return;
    }
  }
  if (!base::ReplaceFile(temp, out)) return;
  SynchMail(out, sites, project, n);
}

}  // namespace synch
