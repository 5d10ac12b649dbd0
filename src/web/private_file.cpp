#include "web/private_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "base/files.h"

namespace web {

bool WritePrivateFile(const std::string& path, std::string_view content, bool keep_existing) {
  const std::string temp = base::TempNameFor(path);
  ::unlink(temp.c_str());  // a leftover of a process with the same id
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < content.size();) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ::close(fd) == 0 && ok;
  if (ok && keep_existing) {
    ok = ::link(temp.c_str(), path.c_str()) == 0;
    ::unlink(temp.c_str());
    return ok;
  }
  if (ok) return base::ReplaceFile(temp, path);
  ::unlink(temp.c_str());
  return false;
}

}  // namespace web
