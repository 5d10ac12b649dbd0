// Helpers shared by the files of the synchronisation.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/files.h"

namespace synch {

// "<synchro>/out/<project>" and "<synchro>/in/<project>".
std::string OutFolder(std::string_view project);
std::string InFolder(std::string_view project);

// n of a message name "s%05d.txt" (exactly five digits); 0 for any other name.
int MessageNumber(std::string_view name);

// The partner addresses of the project; empty when it is not synchronised.
std::string PartnersOf(std::string_view project);

// The lock of a folder: base::FileLock on "<folder>/.lock" (the folder is made when
// missing), waited for at most `wait_ms`.
class FolderLock : public base::FileLock {
 public:
  FolderLock(const std::string& folder, int wait_ms);
};

// The queue of messages packed while the numbering was locked: out/<project>/queue/.
std::string QueueFolder(std::string_view project);
// Numbers and mails the queued messages of the project. The number of messages sent.
int SendQueued(std::string_view project);

// During a pass: the time after which nothing more is mailed (messages are queued for the
// next pass instead); nothing: no limit but each reply's own.
void SetSendDeadline(std::optional<std::chrono::steady_clock::time_point> deadline);

// This installation's name in messages (HOSTNAME, blanks made "_").
std::string HostToken();

// An acknowledgement or request names the message "s%05d.txt@<sender>", so that with
// three or more sites only the sender acts on it. Splits such a name; a plain name (from
// a partner of an older version) gives an empty sender.
std::pair<std::string, std::string> SplitAddressed(std::string_view extra);

}  // namespace synch
