// The names of a book directory, read at most once per request.
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

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace testbook {

// A read-only mapping of a whole file, unmapped on destruction.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  bool Map(const std::string& path);
  std::string_view Text() const { return {static_cast<const char*>(addr_), size_}; }

 private:
  void* addr_ = nullptr;
  size_t size_ = 0;
};

struct DirectoryListing {
  // The names that do not begin with '.', each followed by '\n', in ascending byte order.
  std::string_view text;
  std::string owned;  // the text of a listing taken by this request
  MappedFile kept;    // the text of a kept listing

  // The names beginning with `prefix`, in ascending byte order.
  std::vector<std::string_view> Matching(std::string_view prefix) const;
};

// The names of `directory` (with or without a trailing '/'); empty when it cannot be read.
// With `keep` the listing is kept beside the directory as described above; small directories
// inside a book (the campaigns) are listed without, so the book's own stamp stays put.
const DirectoryListing& DirectoryNames(const std::string& directory, bool keep = true);

// Drops the request's listings, after an item was created or removed.
void ForgetListings();

// The hidden file that keeps the listing of `directory`.
std::string NamesFilePath(std::string_view directory);

}  // namespace testbook
