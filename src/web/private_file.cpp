#include "web/private_file.h"

#include "base/files.h"

namespace web {

bool WritePrivateFile(const std::string& path, std::string_view content) {
  return base::WriteSecretFile(path, content);
}

}  // namespace web
