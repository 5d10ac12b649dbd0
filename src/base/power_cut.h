// What a power cut leaves, produced on a living disk for the tests (the fault hook's "cut"
// and "lose" modes, see files.h). Every file-changing call of the hook reports here what it is
// about to change; at the chosen sync barrier the files and folders are put in a state the
// disk could hold after the power went then, and the process dies:
//   - a file's data written since its last sync is lost ("lose") or cut halfway ("cut");
//   - every name made, replaced or removed in a folder since that folder's last sync, under
//     the tree named by QUORB_CUT_ROOT, is as it was at that sync (or when the process began).
// Not a model of any one file system: the states are those every POSIX file system may leave.
#pragma once

#include <string>

namespace base::power_cut {

// Whether a cut is asked for; then the calls below record what they are told.
bool Active();
// Before `fd`'s data changes (write, pwrite).
void BeforeWrite(int fd);
// After `fd`'s data was synced.
void AfterDataSync(int fd);
// Before the name `path` is replaced or removed (rename over it, unlink).
void BeforeNameChange(const char* path);
// After `folder` was synced.
void AfterFolderSync(const std::string& folder);
// Puts the tree in the state a power cut leaves now, and kills the process.
[[noreturn]] void Cut(bool lose_all);

}  // namespace base::power_cut
