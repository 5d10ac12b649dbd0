// The test-book tree on disk: where a book lives, how its directory is listed, which names
// may become file names, and how values are written into links.
//
// A book is one directory per (project, sub-project, phase) holding its module, step and test
// files side by side ("mod.M", "step.M.S", "test.M.S.NNN") and a subdirectory "test" with one
// directory "C.<campaign>" per campaign. The directory itself is the index: items are found by
// listing it and matching name prefixes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/encode.h"

namespace testbook {

// Identifiers (modules, steps) and project names hold at most this many characters.
inline constexpr size_t kMaxIdentifier = 39;

// "<data>/Tests/<project>/<sub-project code>/<phase letter>/Book/". The group is the
// sub-project's name; its code is "_" when the project has no such sub-project.
std::string BookDirectory(std::string_view project, std::string_view group, int phase);

// A module or step identifier that can become part of a dot-separated file name and be read
// back: a safe name (base::IsSafeName) of at most kMaxIdentifier characters, without '.'.
bool IsSafeIdentifier(std::string_view id);
// A campaign name as it is stored: every '/' becomes '-'.
std::string CampaignName(std::string_view typed);
// A stored campaign name that can be a folder name: not empty, not beginning with a blank,
// without '\' or control characters (dots are fine: the default names are dated with dots).
bool IsSafeCampaignName(std::string_view name);

// Every group, module, step, test and campaign written into a link.
using base::EncodeLinkValue;

// Creates `path` and every missing parent; an existing directory counts as success.
bool MakeDirectories(std::string_view path);

// The keys of the book's items: the names of the book directory (or of its `subdirectory`)
// that begin with `prefix` and a dot, without that beginning, in ascending byte order.
//   modules: prefix "mod"; steps of M: "step.M"; tests of M.S: "test.M.S" (keys "000"...);
//   campaigns: prefix "C" in the subdirectory "test".
std::vector<std::string> ListItems(std::string_view project, std::string_view group, int phase,
                                   std::string_view prefix, std::string_view subdirectory = {});

// The same over a given directory (ending in '/').
std::vector<std::string> ListItemsIn(const std::string& directory, std::string_view prefix);

// True when the book directory holds at least one name beginning with `prefix` and a dot.
bool HasItems(std::string_view project, std::string_view group, int phase, std::string_view prefix);

}  // namespace testbook
