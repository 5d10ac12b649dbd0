// The one check of a name that a request turns into a file or folder name.
#pragma once

#include <cstddef>
#include <string_view>

namespace base {

inline constexpr size_t kMaxNameLength = 128;

// Whether `name` (a project, sub-project or its code, program, book, module, step,
// campaign, or the name of an attached file) may become a file or folder name, as it stands:
// not empty, at most kMaxNameLength bytes, beginning neither with a blank (it would read as
// absent) nor with a dot ("." and ".." and hidden files), and holding no "/", "\", ":" nor
// control character. ":" separates the fields of every configuration line, so a name with
// one could not be stored; blanks inside a name are fine ("phase 1"). Callers check the name
// as the request gave it, before anything else is done with it.
bool IsSafeName(std::string_view name);

}  // namespace base
