// The sorted names of a book directory, read at most once per request.
//
// A book of a thousand steps holds tens of thousands of files side by side, and listing such
// a directory costs more than the rest of a page. So the sorted names are also kept in a
// hidden file beside the directory (".<name>.names" in its parent), stamped with the
// directory's modification time and inode. The file serves while the stamp matches the
// directory; any entry created, removed or renamed changes the directory's time, and the next
// request lists the directory again. A listing is only kept once the directory's time lies
// two seconds in the past, so a change made within the same clock tick as the stamp (after the
// listing was taken) cannot hide behind an unchanged stamp.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace testbook {

struct SortedNames {
  std::string blob;                     // the names, each followed by '\n'
  std::vector<std::string_view> names;  // into blob, ascending byte order, no name beginning '.'
};

// The names of `directory` (with or without a trailing '/'); empty when it cannot be read.
// With `keep` the listing is kept beside the directory as described above; small directories
// inside a book (the campaigns) are listed without, so the book's own stamp stays put.
const SortedNames& DirectoryNames(const std::string& directory, bool keep = true);

// The names of `names` that begin with `prefix`, in order.
std::vector<std::string_view> NamesWithPrefix(const SortedNames& names, std::string_view prefix);

// Drops the request's listings, after an item was created or removed.
void ForgetListings();

// The hidden file that keeps the listing of `directory`.
std::string NamesFilePath(std::string_view directory);

}  // namespace testbook
