#include "sheets/attach.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
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

// Where the request decoder left this process's uploaded file.
// A part of a stored file's name that keeps it inside its folder and whole.
bool IsSafeNamePart(std::string_view part) {
  if (part.find_first_of("/\\") != std::string_view::npos) return false;
  if (part.find("..") != std::string_view::npos) return false;
  for (unsigned char c : part)
    if (c < 0x20) return false;
  return true;
}

void NoteOpenFailure(const std::string& path, int error) {
  base::Page("<!Unable to open file %s (errno:%d) >\n", base::EscapeHtml(path), error);
}

std::optional<std::string> RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  if (!real) return std::nullopt;
  return std::string(real.get());
}

// Moves `from` to `to` without ever replacing a file named `to`: a hard link, then the old
// name goes. Where links are not supported, a rename (the caller has checked that `to` is
// free, under the store lock). 0, or the error number.
int MoveWithoutReplacing(const std::string& from, const std::string& to) {
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return 0;
  }
  if (errno == EEXIST) return EEXIST;
  return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
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

std::optional<std::string> StoreUpload(const store::FactSheet& sheet, std::string_view name,
                                       std::string_view client_name, std::string_view title) {
  const std::string path = AttachmentPath(name, client_name, title);
  const std::string_view base_name = ClientBaseName(client_name);
  // The error names the file as the user knows it, never the server's folders.
  const std::string shown =
      base_name.empty() ? std::string(title) : base::Sprintf("%s_%s", title, base_name);
  if (!store::IsSheetName(name) || !IsSafeNamePart(title) || base_name.empty() ||
      !IsSafeNamePart(base_name) || path.size() > kPathLimit) {
    web::ErrorBoxArg(512, shown);
    return std::nullopt;
  }
  base::MakeDirectory(AttachmentFolder(name));
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    web::ErrorBoxArg(511, title);
    return std::nullopt;
  }
  // The folder must take a new file. Probed under a temporary name, so that no empty file
  // ever stands under the final one.
  const std::string probe = base::TempNameFor(path);
  if (base::File f = base::OpenFile(probe, "wb")) {
    f.reset();
    base::RemoveFile(probe);
  } else {
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
  if (int error = MoveWithoutReplacing(upload, path)) {
    if (error == EEXIST) {
      web::ErrorBoxArg(511, title);
    } else {
      NoteOpenFailure(path, error);
      web::ErrorBoxArg(512, shown);
    }
    return std::nullopt;
  }
  long long size = ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
  base::Page("<P>%s %s , %d bytes.<P>", config::Msg(2084), base::EscapeHtml(client_name), size);
  // The stored file goes to the partner installations from here, and from nowhere else.
  synch::SendSynchFile(path, sheet.project, synch::kAttachment);
  return path;
}

std::optional<std::string> ResolveAttachment(std::string_view path) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return std::nullopt;
  std::optional<std::string> file = RealPath(std::string(path));
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

// With security on, a file is sent only to a login that may read its sheet: a member of the
// sheet's project with the right to see sheets of the sheet's status (7 open, 6 closed).
bool MayRead(const web::ParamList& list, const std::string& real_path) {
  if (!config::IsSecurityOn()) return true;
  const std::string folder = real_path.substr(0, real_path.rfind('/'));
  const std::string sheet_name = folder.substr(folder.rfind('/') + 1 + kFolderPrefix.size());
  std::optional<store::FactSheet> sheet = store::ReadSheet(sheet_name);
  return sheet &&
         users::CheckRightQuietly(list, store::IsOpenStatus(sheet->status) ? 7 : 6, sheet->project);
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
  header.type = "application/octet-stream";
  header.disposition = "attachment; filename=" + web::QuotedFileName(name);
  header.length = static_cast<long long>(st.st_size);
  web::WriteResponseHeader(header);
  std::string buffer(1 << 16, '\0');
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0)
    base::Write(nullptr, std::string_view(buffer.data(), n));
}

}  // namespace sheets
