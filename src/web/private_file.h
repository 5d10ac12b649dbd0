// Files that may hold what a request carried, or a secret: readable by the owner only.
#pragma once

#include <string>
#include <string_view>

namespace web {

// Replaces `path` by `content`, durably, for the owner alone (mode 0600 from the first byte
// on, never through a symbolic link).
bool WritePrivateFile(const std::string& path, std::string_view content);

}  // namespace web
