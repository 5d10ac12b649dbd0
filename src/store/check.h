// The integrity check of the store: `quorb.cgi --check [--repair]` from a shell.
#pragma once

namespace store {

// Finishes what a dead process left, then reports on standard output every inconsistency:
// index lines against sheet files (one line per sheet, each equal to its sheet's header),
// attachment folders without a sheet, attachment entries without their file, numbering
// hints that skip a free number, lines cut short, leftovers of dead processes. With
// `repair`, repairs what can be repaired without losing data (the index rebuilt from the
// sheets' headers, leftovers removed, stray folders moved to "lost/", the hints dropped) and
// checks again. The exit status: 0 only when the store is sound, 1 when it is not, 2 when it
// could not be checked.
int CheckStore(bool repair);

}  // namespace store
