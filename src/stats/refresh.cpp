#include "stats/refresh.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "sheets/display.h"
#include "sheets/notify.h"
#include "stats/index_fields.h"
#include "stats/stat_line.h"
#include "store/index.h"
#include "store/store.h"

namespace stats {
namespace {

// Standard output sent to /dev/null for the lifetime of the object; the page's accounting is
// left as it was, so the command that follows writes its page as if nothing had run.
class SilencedPage {
 public:
  SilencedPage() : saved_(base::CurrentPage()) {
    std::fflush(stdout);
    stdout_ = ::dup(1);
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (stdout_ >= 0 && null >= 0) ::dup2(null, 1);
    if (null >= 0) ::close(null);
  }
  ~SilencedPage() {
    std::fflush(stdout);
    if (stdout_ >= 0) {
      ::dup2(stdout_, 1);
      ::close(stdout_);
    }
    base::CurrentPage() = std::move(saved_);
  }
  SilencedPage(const SilencedPage&) = delete;
  SilencedPage& operator=(const SilencedPage&) = delete;

 private:
  base::PageState saved_;
  int stdout_ = -1;
};

// The two groups of every place met, a place being the phase and the "project|group" bytes
// of an index line: an open-addressing table with a hash of a few loads, since every line of
// the index is looked up.
class PlaceTable {
 public:
  using Groups = std::pair<size_t, size_t>;

  const Groups* Find(std::string_view place, int phase) const {
    for (size_t i = Hash(place, phase) & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
      const Slot& slot = slots_[i];
      if (!slot.used) return nullptr;
      if (slot.phase == phase && slot.place == place) return &slot.groups;
    }
  }

  const Groups& Add(std::string_view place, int phase, Groups groups) {
    if (2 * (count_ + 1) > slots_.size()) Grow();
    ++count_;
    return Put(Slot{std::string(place), phase, groups, true}).groups;
  }

 private:
  struct Slot {
    std::string place;
    int phase = 0;
    Groups groups;
    bool used = false;
  };

  static size_t Hash(std::string_view place, int phase) {
    uint64_t head = 0, tail = 0;
    size_t n = std::min<size_t>(place.size(), 8);
    std::memcpy(&head, place.data(), n);
    std::memcpy(&tail, place.data() + place.size() - n, n);
    uint64_t h = head ^ (tail * 0x9E3779B97F4A7C15ULL) ^ (place.size() << 8) ^
                 static_cast<uint64_t>(static_cast<unsigned>(phase));
    // Every byte reaches the low bits the table uses.
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ULL;
    return static_cast<size_t>(h ^ (h >> 33));
  }

  Slot& Put(Slot slot) {
    size_t i = Hash(slot.place, slot.phase) & (slots_.size() - 1);
    while (slots_[i].used) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = std::move(slot);
    return slots_[i];
  }

  void Grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    for (Slot& slot : old) {
      if (slot.used) Put(std::move(slot));
    }
  }

  std::vector<Slot> slots_ = std::vector<Slot>(256);
  size_t count_ = 0;
};

// The groups in the order they were met, and the two groups of every place met: a place is
// the phase letter and the "project|group" bytes of an index line.
struct Groups {
  std::vector<std::string> names;
  std::vector<GroupCounts> counts;
  std::unordered_map<std::string, size_t> by_name;
  PlaceTable places;

  size_t Find(const std::string& name, long label) {
    auto [it, added] = by_name.try_emplace(name, names.size());
    if (added) {
      names.push_back(name);
      counts.emplace_back().label = label;
    }
    return it->second;
  }

  // "<project>.<phase letter><sub-project code>" and "<project>.TOTAL". The sub-project code
  // is looked up once per place.
  std::pair<size_t, size_t> OfPlace(const IndexFields& f, long label) {
    if (const PlaceTable::Groups* found = places.Find(f.place, f.phase)) return *found;
    std::string name = base::Sprintf("%s.%c%s", f.project, config::GetPhaseLetter(f.phase),
                                     config::GetSubprojectCode(f.project, f.group));
    std::pair<size_t, size_t> both{Find(name, label),
                                   Find(base::Sprintf("%s.TOTAL", f.project), label)};
    return places.Add(f.place, f.phase, both);
  }
};

// Appends the line in one write, so that it never mixes with another writer's.
void AppendLine(const std::string& path, const std::string& line) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // A group whose file cannot be written is skipped.
  if (base::WriteAll(fd, line)) base::SyncData(fd);
  ::close(fd);
}

// Gives postponed sheets back the status new, under one store lock with one index rewrite,
// and tells the people concerned, in the name of each project's manager. A sheet changed
// meanwhile (no longer postponed, or postponed again to a later date) is left alone.
void WakeSheets(const std::vector<std::string>& names, long start) {
  std::vector<store::FactSheet> woken;
  std::vector<store::Stored> results = store::UpdateSheets(
      names,
      [start](store::FactSheet& s) {
        if (s.status != store::kPostponed || s.postponed >= start) return false;
        s.status = store::kNew;
        return true;
      },
      &woken);
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    store::Stored stored = results[i];
    if (stored != store::Stored::kOk && stored != store::Stored::kNoJournal) {
      if (stored != store::Stored::kRefused && stored != store::Stored::kMissing)
        base::Page("<!Unable to wake %s>\n", base::EscapeHtml(name));
      continue;
    }
    sheets::SendNotification(name, 0, config::GetProjectManager(woken[i].project),
                             [&name](base::Stream file, const store::FactSheet& sheet) {
                               sheets::WriteActionBar(file, name, "");
                               sheets::WriteSheetBody(sheet, file);
                             });
  }
}

std::tm LocalTime(long time) {
  std::time_t t = static_cast<std::time_t>(time);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

long AtHour(long time, int hour) {
  std::tm tm = LocalTime(time);
  tm.tm_hour = hour;
  tm.tm_min = 0;
  tm.tm_sec = 0;
  tm.tm_isdst = -1;
  return static_cast<long>(std::mktime(&tm));
}

std::string StampPath(const std::string& config_dir) {
  return base::Sprintf("%s/.stats", config_dir);
}

long Seconds(const timespec& t) {
  return static_cast<long>(t.tv_sec);
}

// Every request asks whether the day's refresh is due, and nearly always it is not. The
// refresh leaves in the stamp's access time the local midnight from which the next one is
// due, so that one status query answers without the lock and without the time zone. It is
// trusted only while the stamp is as the refresh left it: its change time, moved by every
// write, rename or change of its times, is then within a second of its modification time.
// A stamp written otherwise (by an older program, by hand) takes the full check.
bool DoneTodayAtAGlance(const std::string& stamp, long now) {
  struct stat st;
  if (::stat(stamp.c_str(), &st) != 0) return false;
  const long changed = Seconds(st.st_ctim), modified = Seconds(st.st_mtim);
  return Seconds(st.st_atim) > now && changed >= modified && changed - modified <= 1;
}

// The first local midnight after `time`.
long NextMidnight(long time) {
  std::tm tm = LocalTime(time);
  tm.tm_mday += 1;
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  return static_cast<long>(std::mktime(&tm));
}

void MarkNextRefresh(const std::string& stamp, long now) {
  const timespec times[2] = {{static_cast<std::time_t>(NextMidnight(now)), 0}, {0, UTIME_OMIT}};
  ::utimensat(AT_FDCWD, stamp.c_str(), times, 0);  // without it, the full check every time
}

void Refresh(const std::string& config_dir) {
  std::string stamp = StampPath(config_dir);
  base::FileLock lock(stamp + ".lock");
  if (!lock.Held()) return;
  long now = static_cast<long>(std::time(nullptr));
  long last = base::FileTime(stamp);
  if (last != 0 && last > LocalMidnight(now)) return;  // already run today
  // The day's lines last before the stamp that says they were written: a crash between the
  // two counts the day again rather than never. Without a stamp every request would count
  // again and append a second line for the day. The counts are today's, whenever the last
  // ones were taken.
  ComputeStatistics(LabelTime(now));
  if (!base::WriteFileAtomic(stamp, StampText(now) + "\n")) return;
  MarkNextRefresh(stamp, now);
}

}  // namespace

long LocalMidnight(long time) {
  return AtHour(time, 0);
}

long LabelTime(long time) {
  return AtHour(time, 23);
}

std::string StampText(long time) {
  std::tm tm = LocalTime(time);
  char text[64];
  size_t n = std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &tm);
  return std::string(text, n);
}

std::string StatsFilePath(std::string_view group) {
  if (group.empty() || group == "." || group == ".." ||
      group.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos)
    return {};
  return base::Sprintf("%s/%s", config::GetStatsDir(), group);
}

void RefreshStatistics(RefreshOutput output) {
  // The directories come first, outside any silence: a missing main configuration file
  // writes its diagnostics (and the header) into the page.
  // Without them the stamp and the files would land at the root of the file system.
  if (config::GetDataDir().empty()) return;
  const std::string& config_dir = config::GetConfigDir();
  if (config_dir.empty()) return;
  if (DoneTodayAtAGlance(StampPath(config_dir), static_cast<long>(std::time(nullptr)))) return;
  if (output == RefreshOutput::kSilent) {
    SilencedPage silence;
    Refresh(config_dir);
  } else {
    Refresh(config_dir);
  }
}

void ComputeStatistics(long label_time) {
  store::ChangePending();  // the day's counts include a change left unfinished
  long start = static_cast<long>(std::time(nullptr));
  Groups groups;
  std::vector<std::string> to_wake;  // in index order; woken newest first
  store::FactSheet sheet;
  IndexFields fields;
  std::string place;
  const bool read = store::ForEachIndexLine([&](std::string_view line) {
    size_t length;
    if (!ScanIndexLine(line, fields, length)) {
      // An unusual line (short, or holding a NUL byte): the store's own reading.
      store::ParseHeader(line, sheet);
      place = sheet.project + "|" + sheet.group;
      fields = {sheet.project, sheet.group,     place,          sheet.phase, sheet.sev,
                sheet.status,  sheet.postponed, sheet.corrLoad, sheet.Load};
    }
    auto [group, total] = groups.OfPlace(fields, label_time);
    AddSheet(groups.counts[group], fields.status, fields.sev, fields.load, fields.corr_load);
    AddSheet(groups.counts[total], fields.status, fields.sev, fields.load, fields.corr_load);
    if (fields.status == store::kPostponed && fields.postponed < start) {
      store::ParseHeader(line, sheet);
      to_wake.push_back(store::GetSheetName(sheet));
    }
    return true;
  });
  if (!read) return;

  WakeSheets(std::vector<std::string>(to_wake.rbegin(), to_wake.rend()), start);

  // The latest group met first.
  base::MakeDirectory(config::GetStatsDir());
  for (size_t i = groups.names.size(); i-- > 0;) {
    std::string path = StatsFilePath(groups.names[i]);
    if (!path.empty()) AppendLine(path, FormatStatLine(groups.counts[i]));
  }
  base::SyncFolder(config::GetStatsDir());  // the names of files made today
}

}  // namespace stats
