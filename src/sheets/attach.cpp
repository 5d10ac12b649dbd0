#include "sheets/attach.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/encode.h"
#include "base/files.h"
#include "base/names.h"
#include "base/out.h"
#include "config/debug.h"
#include "config/language.h"
#include "config/main_config.h"
#include "store/store.h"
#include "sync/sync.h"
#include "users/rights.h"
#include "web/page.h"
#include "web/request.h"
#include "web/response.h"

namespace sheets {
namespace {

constexpr std::string_view kFolderPrefix = "TRACE_";
constexpr size_t kPathLimit = 199;

std::string AttachmentFolder(std::string_view sheet) {
  return base::JoinPath(config::GetDataDir(), base::Sprintf("%s%s", kFolderPrefix, sheet));
}

void NoteOpenFailure(const std::string& path, int error) {
  config::ReportFailure(base::Sprintf("unable to open %s (errno %d)", path, error),
                        "<!Unable to open file %s (errno:%d) >\n", base::EscapeHtml(path), error);
}

std::optional<std::string> RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  if (!real) return std::nullopt;
  return std::string(real.get());
}

}  // namespace

std::string_view ClientBaseName(std::string_view client_name) {
  size_t last = client_name.find_last_of("/\\");
  return last == std::string_view::npos ? client_name : client_name.substr(last + 1);
}

std::string AttachmentPath(std::string_view sheet, std::string_view client_name,
                           std::string_view title) {
  return base::JoinPath(AttachmentFolder(sheet),
                        base::Sprintf("%s_%s", title, ClientBaseName(client_name)));
}

std::optional<std::string> StoreUpload(const store::FactSheet& /*sheet*/, std::string_view name,
                                       std::string_view client_name, std::string_view title) {
  const std::string path = AttachmentPath(name, client_name, title);
  const std::string_view base_name = ClientBaseName(client_name);
  // The error names the file as the user knows it, never the server's folders.
  const std::string shown =
      base_name.empty() ? std::string(title) : base::Sprintf("%s_%s", title, base_name);
  if (!store::IsSheetName(name) || base_name.empty() || !base::IsSafeName(base_name) ||
      !base::IsSafeName(base::Sprintf("%s_%s", title, base_name)) || path.size() > kPathLimit) {
    web::ErrorBoxArg(512, shown);
    return std::nullopt;
  }
  base::MakeDirectory(AttachmentFolder(name));
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    web::ErrorBoxArg(511, title);
    return std::nullopt;
  }
  // The folder must take a new file; asked without writing one, so that a failure here
  // leaves nothing behind.
  if (::access(AttachmentFolder(name).c_str(), W_OK | X_OK) != 0) {
    NoteOpenFailure(path, errno);
    web::ErrorBoxArg(512, shown);
    return std::nullopt;
  }
  // The decoder keeps an upload only when it arrived whole.
  const std::string upload = web::UploadPath();
  if (::stat(upload.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    NoteOpenFailure(upload, errno);
    web::ErrorBoxArg(512, shown);
    return std::nullopt;
  }
  const long long size = static_cast<long long>(st.st_size);
  // Moved into place with the change that adds its entry, and only then.
  const std::string folder_name = base::Sprintf("%s%s", kFolderPrefix, name);
  if (!store::AddUploadToChange(upload, folder_name + path.substr(path.rfind('/')))) {
    NoteOpenFailure(path, errno);
    web::ErrorBoxArg(512, shown);
    return std::nullopt;
  }
  base::Page("<P>%s %s , %d bytes.<P>", config::Msg(2084), base::EscapeHtml(client_name), size);
  return path;
}

std::optional<std::string> ResolveAttachment(std::string_view path) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return std::nullopt;
  // Links name the file relative to the data folder; older links (and mails) the full path.
  std::optional<std::string> file = RealPath(
      path.front() == '/' ? std::string(path) : base::JoinPath(config::GetDataDir(), path));
  std::optional<std::string> data = RealPath(config::GetDataDir());
  if (!file || !data) return std::nullopt;
  // "<data>/TRACE_<sheet>/<name>": exactly one folder down, in an attachment folder.
  std::string_view rest = *file;
  const std::string prefix = base::JoinPath(*data, kFolderPrefix);
  if (!rest.starts_with(prefix)) return std::nullopt;
  rest.remove_prefix(prefix.size());
  size_t slash = rest.find('/');
  if (slash == std::string_view::npos || !store::IsSheetName(rest.substr(0, slash)))
    return std::nullopt;
  std::string_view name = rest.substr(slash + 1);
  if (name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
  return file;
}

namespace {

// With security on, a file is sent only to a login that may read the sheet holding its
// entry: a member of that sheet's project with the right to see sheets of its status (7 open,
// 6 closed). The folder follows its sheet through renames, so the sheet it is named after is
// the one to ask, provided one of its attachment entries names this very file.
bool MayRead(const web::ParamList& list, const std::string& real_path) {
  if (!config::IsSecurityOn()) return true;
  const size_t slash = real_path.rfind('/');
  const std::string folder = real_path.substr(0, slash);
  const std::string folder_name = folder.substr(folder.rfind('/') + 1);
  const std::string sheet_name = folder_name.substr(kFolderPrefix.size());
  std::optional<store::FactSheet> sheet = store::ReadSheet(sheet_name);
  if (!sheet) return false;
  const std::string stored = folder_name + real_path.substr(slash);
  bool holds = false;
  for (const store::SheetEntry& entry : sheet->entries) {
    std::string_view body = entry.text;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.remove_suffix(1);
    if (entry.kind == store::kAttachmentEntry && body.ends_with(stored)) holds = true;
  }
  return holds &&
         users::CheckRightQuietly(list, store::IsOpenStatus(sheet->status) ? 7 : 6, sheet->project);
}

// The type of a picture a browser shows by itself (PNG, JPEG, GIF), from the first bytes of
// the file, which is read again from its start; empty for any other file. The name and the
// browser's word are not trusted: a page or a drawing with scripts (HTML, SVG) is never shown.
std::string_view PictureType(std::FILE* file) {
  std::array<char, 8> head{};
  const size_t n = std::fread(head.data(), 1, head.size(), file);
  std::rewind(file);
  const std::string_view start(head.data(), n);
  if (start == std::string_view("\x89PNG\r\n\x1A\n", 8)) return "image/png";
  if (start.starts_with("\xFF\xD8\xFF")) return "image/jpeg";
  if (start.starts_with("GIF87a") || start.starts_with("GIF89a")) return "image/gif";
  return {};
}

}  // namespace

void SendAttachment(const web::ParamList& list) {
  const std::string title = web::GetParam(list, "title");
  std::optional<std::string> real = ResolveAttachment(title);
  if (real && !MayRead(list, *real)) real.reset();
  base::File file = real ? base::OpenFile(*real, "rb") : nullptr;
  struct stat st;
  if (!file || ::fstat(::fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
    web::WriteStatusOnly(404, "Not Found");
    return;
  }
  std::string_view name = title;
  if (size_t slash = name.rfind('/'); slash != std::string_view::npos)
    name.remove_prefix(slash + 1);
  web::ResponseHeader header;
  header.type = PictureType(file.get());
  const bool picture = !header.type.empty();
  if (!picture) header.type = "application/octet-stream";
  header.disposition = web::ContentDisposition(picture ? "inline" : "attachment", name);
  // A picture opens in the browser, which runs nothing that came with it.
  if (picture) header.policy = "default-src 'none'; style-src 'unsafe-inline'; sandbox";
  header.length = static_cast<long long>(st.st_size);
  web::WriteResponseHeader(header);
  std::string buffer(1 << 16, '\0');
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0)
    base::Write(nullptr, std::string_view(buffer.data(), n));
}

}  // namespace sheets
