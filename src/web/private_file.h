// Files that may hold what a request carried, or a secret: readable by the owner only.
#pragma once

#include <string>
#include <string_view>

namespace web {

// Writes `content` to a fresh temporary name beside `path` (mode 0600, created exclusively
// and never through a symbolic link), then puts it in place: renamed over `path`, or, with
// `keep_existing`, linked to `path` only when no file is there yet (false when one was).
bool WritePrivateFile(const std::string& path, std::string_view content,
                      bool keep_existing = false);

}  // namespace web
