#include "web/diagnostics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/out.h"
#include "web/private_file.h"

namespace web {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

bool IsSecretName(std::string_view name) {
  // The login password, the mailbox password (as a key and as the setup form's field), and
  // the third column of the setup tables, which is the members' password; and the identity
  // token, which is a login for as long as it lasts.
  return name == "Passwd" || name == "POP3PASS" || name == "popP" || StartsWith(name, "V2_") ||
         name == "Uid";
}

std::string MaskQuery(std::string_view text) {
  std::string out;
  size_t pos = 0;
  while (true) {
    size_t amp = text.find('&', pos);
    std::string_view segment = text.substr(pos, amp == std::string_view::npos ? amp : amp - pos);
    size_t eq = segment.find('=');
    if (eq != std::string_view::npos && IsSecretName(segment.substr(0, eq))) {
      std::string_view value = segment.substr(eq + 1);
      size_t end = value.find_first_of("\r\n");
      out.append(segment.substr(0, eq + 1));
      out.append(kMaskedValue);
      if (end != std::string_view::npos) out.append(value.substr(end));
    } else {
      // Only the first bytes of a long value: the file is for reading, not a copy.
      const size_t keep =
          eq == std::string_view::npos ? kDiagnosticValueLimit : eq + 1 + kDiagnosticValueLimit;
      out.append(segment.substr(0, keep));
      if (segment.size() > keep) {
        // A multipart body's first line keeps its line end.
        size_t end = segment.find_first_of("\r\n", keep);
        if (end != std::string_view::npos) out.append(segment.substr(end));
      }
    }
    if (amp == std::string_view::npos) return out;
    out += '&';
    pos = amp + 1;
  }
}

std::string MaskMultipartBody(std::string_view body) {
  std::string_view boundary = body.substr(0, body.find_first_of("\r\n"));
  if (boundary.empty()) return std::string(body);
  std::string out;
  size_t pos = 0;
  while (true) {
    size_t name = body.find("name=\"", pos);
    if (name == std::string_view::npos) break;
    size_t start = name + 6;
    size_t close = body.find('"', start);
    if (close == std::string_view::npos) break;
    if (!IsSecretName(body.substr(start, close - start))) {
      out.append(body.substr(pos, close - pos));
      pos = close;
      continue;
    }
    // The content begins after the blank line and ends before the next boundary line.
    size_t blank = body.find("\n\r\n", close);
    size_t skip = 3;
    size_t plain = body.find("\n\n", close);
    if (blank == std::string_view::npos || (plain != std::string_view::npos && plain < blank)) {
      blank = plain;
      skip = 2;
    }
    if (blank == std::string_view::npos) break;
    size_t content = blank + skip;
    size_t next = body.find(boundary, content);
    size_t end = next == std::string_view::npos ? body.size() : next;
    while (end > content && (body[end - 1] == '\n' || body[end - 1] == '\r')) --end;
    out.append(body.substr(pos, content - pos));
    out.append(kMaskedValue);
    pos = end;
  }
  out.append(body.substr(pos));
  return out;
}

std::string MaskMultipartTrace(std::string_view trace) {
  std::string out;
  bool secret = false;  // the value lines of a secret part are still to come
  size_t pos = 0;
  while (pos < trace.size()) {
    size_t lf = trace.find('\n', pos);
    size_t end = lf == std::string_view::npos ? trace.size() : lf + 1;
    std::string_view line = trace.substr(pos, end - pos);
    pos = end;
    if (StartsWith(line, "nom->")) {
      std::string_view name = line.substr(5);
      if (!name.empty() && name.back() == '\n') name.remove_suffix(1);
      secret = IsSecretName(name);
    } else if (secret && StartsWith(line, "-->len: ")) {
      out += base::Sprintf("-->len: %d \n", static_cast<int>(kMaskedValue.size()));
      secret = false;
      continue;
    } else if (secret && StartsWith(line, "-->")) {
      out += base::Sprintf("-->%s\n", kMaskedValue);
      continue;
    }
    out.append(line);
  }
  return out;
}

std::string RebuildMasked(const ParamList& list, size_t limit) {
  std::string text;
  for (const Param& p : list) {
    if (!text.empty()) text += '&';
    text += p.name;
    text += '=';
    text += IsSecretName(p.name) ? std::string(kMaskedValue) : p.value;
    if (text.size() >= limit) break;
  }
  if (text.size() > limit) text.resize(limit);
  return text;
}

void WriteDiagnostic(const std::string& path, std::string_view content) {
  // Rewritten in place: emptying or replacing the file on every click makes the file system
  // wait for the last click's bytes to reach the disk, which would double the cost of a page.
  // Never through a symbolic link: one planted at the name is removed, and the file is made
  // anew for its owner alone.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 && errno == ELOOP && ::unlink(path.c_str()) == 0)
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            ((st.st_mode & 0777) == 0600 || ::fchmod(fd, 0600) == 0);
  for (size_t done = 0; ok && done < content.size();) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  if (ok) ok = ::ftruncate(fd, static_cast<off_t>(content.size())) == 0;
  ::close(fd);
}

}  // namespace web
