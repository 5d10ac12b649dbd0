// The export file "bugs.dat": one tab-separated row per sheet, for a spreadsheet.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"
#include "config/labels.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "search/find.h"
#include "search/results.h"
#include "store/index.h"
#include "store/store.h"

namespace search {
namespace {

// Column names: the project code, then the 27 header fields.
constexpr int kFirstColumnLabel = 2400;
constexpr int kLastColumnLabel = 2427;
// The rows go out in writes of about this size.
constexpr size_t kExportChunk = 1 << 20;
// The hits whose rows are made in one go on one thread.
constexpr size_t kBlockHits = 4096;

// The column names.
void WriteExportHeader() {
  std::string header;
  for (int n = kFirstColumnLabel; n <= kLastColumnLabel; ++n) {
    header += base::TsvField(config::Msg(n));
    header += n < kLastColumnLabel ? '\t' : '\n';
  }
  base::Write(nullptr, header);
}

// The label of the small code `code` of field `at`.
const std::string& LabelOf(size_t at, int code) {
  switch (at) {
    case store::kPhaseAt:
      return config::GetPhaseName(code);
    case store::kSevAt:
      return config::GetSeverityLabel(code);
    case store::kStatusAt:
      return store::GetStatusLabel(code);
    case store::kTypeAt:
      return config::GetTypeLabel(code);
    default:
      return config::GetImpactName(code);
  }
}

// Whether base::TsvField changes a value that begins with `c` and holds no tab, carriage
// return or line feed.
[[gnu::always_inline]] inline bool TsvChangesFirst(char c) {
  return c == '"' || c == '=' || c == '+' || c == '-' || c == '@';
}

[[gnu::always_inline]] inline bool AllDigits(std::string_view v) {
  for (char c : v)
    if (c < '0' || c > '9') return false;
  return true;
}

// Digits as the number reads back from them: 1 to 9 digits, no leading zero unless alone.
[[gnu::always_inline]] inline bool IsPlainCount(std::string_view v) {
  return !v.empty() && v.size() <= 9 && (v.size() == 1 || v[0] != '0') && AllDigits(v);
}

// Digits as "%05d" writes the number they read as: 5 digits, or up to 9 without a leading 0.
[[gnu::always_inline]] inline bool IsPlainNumber(std::string_view v) {
  return v.size() >= 5 && v.size() <= 9 && (v.size() == 5 || v[0] != '0') && AllDigits(v);
}

// Rows as they are made: for the page, written in pieces of about kExportChunk bytes; else
// held until taken.
class RowBuffer {
 public:
  explicit RowBuffer(bool to_page) : to_page_(to_page) { Grow(kExportChunk + (256 << 10)); }
  ~RowBuffer() {
    if (to_page_) Flush();
  }
  RowBuffer(const RowBuffer&) = delete;
  RowBuffer& operator=(const RowBuffer&) = delete;
  // Where `n` more bytes go.
  char* Room(size_t n) {
    if (to_page_ && used_ + n > size_) Flush();
    if (used_ + n > size_) Grow(std::max(used_ + n, 2 * size_));
    return bytes_.get() + used_;
  }
  // The bytes up to `end` are made.
  void Done(char* end) {
    used_ = static_cast<size_t>(end - bytes_.get());
    if (to_page_ && used_ >= kExportChunk) Flush();
  }
  std::string_view Held() const { return std::string_view(bytes_.get(), used_); }
  void Clear() { used_ = 0; }
  void Flush() {
    base::Write(nullptr, Held());
    used_ = 0;
  }

 private:
  void Grow(size_t size) {
    auto bytes = std::make_unique_for_overwrite<char[]>(size);
    if (used_) std::memcpy(bytes.get(), bytes_.get(), used_);
    bytes_ = std::move(bytes);
    size_ = size;
  }
  bool to_page_;
  std::unique_ptr<char[]> bytes_;
  size_t size_ = 0, used_ = 0;
};

// Held while the configuration is read: the export reads it on two threads.
std::mutex& ConfigLock() {
  static std::mutex lock;
  return lock;
}

char* Put(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

// Texts of up to kShort bytes are copied in one fixed-size move of 16 or kShort bytes, from
// where that many may be read (a text's own bytes and what follows them), to where that many
// may be written: a move the compiler makes of a few vector loads and stores, without a call.
constexpr size_t kShort = 64;
[[gnu::always_inline]] inline char* PutShort(char* out, std::string_view text) {
  if (text.size() <= 16)
    std::memcpy(out, text.data(), 16);
  else
    std::memcpy(out, text.data(), kShort);
  return out + text.size();
}

// A text whose copy can read kShort bytes from its start: a label or a code, stored so.
class Piece {
 public:
  explicit Piece(std::string text) : text_(std::move(text)) { text_.reserve(kShort); }
  Piece(const Piece& other) : Piece(other.text_) {}
  Piece(Piece&& other) noexcept : text_(std::move(other.text_)) {}  // keeps the room it had
  Piece& operator=(const Piece&) = delete;
  [[gnu::always_inline]] char* PutTo(char* out) const {
    return text_.size() <= kShort ? PutShort(out, text_) : Put(out, text_);
  }
  size_t size() const { return text_.size(); }

 private:
  std::string text_;
};

// Writes rows from header lines, straight from their fields: the labels and the projects'
// codes are looked up once each, the dates go through a DateFormatter.
class RowWriter {
 public:
  // The row of the header line `line`, split into `h` (its 27 fields): the project's code
  // and a tab unless `code` is false, then the fields, each followed by a tab but the last,
  // which ends the row with a line feed. `readable` bytes after the line may be read (no part
  // of it): with kShort of them, the fields of a line without control bytes are each copied
  // in one move.
  void PutRow(RowBuffer& out, const store::HeaderView& h, std::string_view line, bool code,
              size_t readable = 0) {
    const Piece* labels[std::size(kLabelled)];
    for (size_t k = 0; k < std::size(kLabelled); ++k) {
      const int at = h.Code(kLabelled[k]);
      const std::optional<Piece>& label = labels_[k][static_cast<size_t>(at + 'a') & 255];
      labels[k] = label ? &*label : &Label(k, at);
    }
    const Piece* column = code ? &CodeOf(h[store::kProjectAt]) : nullptr;
    // Each field grows at most threefold (TsvField), or to a date; each move may reach kShort
    // bytes past its end.
    const size_t most = 3 * line.size() + 4 * store::DateFormatter::kRoom +
                        std::size(kLabelled) * longest_label_ + longest_code_ + kShort + 64;
    out.Done(PutFields(out.Room(most), h, labels, column, readable >= kShort && !h.controls));
  }

  // Every label and the code of every project in `projects` looked up: rows need then no
  // configuration, and can be made on another thread.
  void LookUpAll(const std::vector<std::string>& projects) {
    for (size_t k = 0; k < std::size(kLabelled); ++k)
      for (int code = -'a'; code < 256 - 'a'; ++code) Label(k, code);
    for (const std::string& project : projects) CodeOf(project);
  }

 private:
  // The fields shown as labels, in row order.
  static constexpr size_t kLabelled[] = {store::kPhaseAt, store::kSevAt, store::kStatusAt,
                                         store::kTypeAt, store::kImpactAt};

  // `quick`: the line holds no control byte (its fields change in TsvField only by their first
  // byte) and kShort bytes may be read after it.
  char* PutFields(char* out, const store::HeaderView& h, const Piece* const* labels,
                  const Piece* column, bool quick) {
    if (column) out = column->PutTo(out);
    using namespace store;  // the fields' places
    const bool controls = h.controls;
    out = PutText(out, h[kSubCodeAt], quick, controls);
    // "%05d" of the number: its digits when they read back as it, with zeros before.
    const std::string_view number = h[kNumberAt];
    if (IsPlainCount(number) || IsPlainNumber(number)) {
      std::memcpy(out, "0000", 4);
      out += number.size() < 5 ? 5 - number.size() : 0;
      out = quick ? PutShort(out, number) : Put(out, number);
    } else {
      out = Put(out, base::Sprintf("%05d", h.Number(kNumberAt)));
    }
    *out++ = '\t';
    out = PutLabel(out, labels[0]);  // phase
    out = PutDate(out, h.Number(kCreatedAt));
    out = PutText(out, h[kSubmitterAt], quick, controls);
    out = PutLabel(out, labels[1]);  // severity
    for (size_t at = kProjectAt; at <= kExpAt; ++at) out = PutText(out, h[at], quick, controls);
    out = PutLabel(out, labels[2]);  // status
    out = PutDate(out, h.Number(kPostponedAt));
    out = PutText(out, h[kRespAt], quick, controls);
    out = PutText(out, h[kCorrectorAt], quick, controls);
    out = PutDate(out, h.Number(kCorrDateAt));
    out = PutText(out, h[kCorrVersAt], quick, controls);
    out = PutText(out, h[kVerifierAt], quick, controls);
    out = PutDate(out, h.Number(kVerDateAt));
    out = PutText(out, h[kVerVersAt], quick, controls);
    out = PutLabel(out, labels[3]);  // type
    out = PutLabel(out, labels[4]);  // impact
    out = PutText(out, h[kMdapdaAt], quick, controls);
    out = PutText(out, h[kTestAt], quick, controls);
    out = PutCount(out, h, kCorrLoadAt, quick);
    out = PutCount(out, h, kLoadAt, quick);
    out = PutText(out, h[kTitleAt], quick, controls);
    out[-1] = '\n';
    return out;
  }

  // A text field and its tab.
  [[gnu::always_inline]] static char* PutText(char* out, std::string_view v, bool quick,
                                              bool controls) {
    if (quick && v.size() - 1 < kShort && !TsvChangesFirst(v.front()))
      out = PutShort(out, v);
    else if (!v.empty())
      out = PutOddText(out, v, controls);
    *out = '\t';
    return out + 1;
  }
  [[gnu::noinline]] static char* PutOddText(char* out, std::string_view v, bool controls) {
    return !controls && !TsvChangesFirst(v.front()) ? Put(out, v) : Put(out, base::TsvField(v));
  }
  [[gnu::always_inline]] static char* PutLabel(char* out, const Piece* label) {
    out = label->PutTo(out);
    *out = '\t';
    return out + 1;
  }
  [[gnu::always_inline]] char* PutDate(char* out, int time) {
    if (time) out = dates_.Put(out, time);
    *out = '\t';
    return out + 1;
  }
  [[gnu::always_inline]] static char* PutCount(char* out, const store::HeaderView& h, size_t at,
                                               bool quick) {
    const std::string_view v = h[at];
    if (!IsPlainCount(v))
      out = Put(out, std::to_string(h.Number(at)));
    else
      out = quick ? PutShort(out, v) : Put(out, v);
    *out = '\t';
    return out + 1;
  }

  // The project's code, as the first column shows it, with its tab.
  const Piece& CodeOf(std::string_view project) {
    if (last_code_ >= codes_.size() || codes_[last_code_].first != project) {
      last_code_ = 0;
      while (last_code_ < codes_.size() && codes_[last_code_].first != project) ++last_code_;
      if (last_code_ == codes_.size()) {
        std::lock_guard lock(ConfigLock());
        codes_.emplace_back(std::string(project),
                            Piece(base::TsvField(config::GetProjectCode(project)) + '\t'));
        longest_code_ = std::max(longest_code_, codes_.back().second.size());
      }
    }
    return codes_[last_code_].second;
  }

  // The label as TsvField writes it; a code is one byte less 'a' (or 0), -97 to 158.
  const Piece& Label(size_t k, int code) {
    std::optional<Piece>& slot = labels_[k][static_cast<size_t>(code + 'a') & 255];
    if (!slot) {
      std::lock_guard lock(ConfigLock());
      slot.emplace(base::TsvField(LabelOf(kLabelled[k], code)));
      longest_label_ = std::max(longest_label_, slot->size());
    }
    return *slot;
  }

  std::vector<std::pair<std::string, Piece>> codes_;  // project, its first column
  size_t last_code_ = 0;
  std::optional<Piece> labels_[std::size(kLabelled)][256];
  size_t longest_label_ = 0, longest_code_ = 0;
  store::DateFormatter dates_;
};

// Memory for the export's hits, two words each, grown by mremap: a large block moves its
// pages rather than be copied, so growing never holds it twice.
class HitBlock {
 public:
  HitBlock() = default;
  HitBlock(const HitBlock&) = delete;
  HitBlock& operator=(const HitBlock&) = delete;
  ~HitBlock() {
    if (words_) ::munmap(words_, bytes_);
  }
  bool Push(uint64_t a, uint64_t b) {
    if ((count_ + 2) * sizeof(uint64_t) > bytes_ && !Grow()) return false;
    words_[count_++] = a;
    words_[count_++] = b;
    return true;
  }
  uint64_t* words() { return words_; }
  // The memory before word `end` is no longer needed (it reads as zeros if used again).
  void ReleaseBefore(size_t end) {
    const size_t page = 4096, stop = end * sizeof(uint64_t) / page * page;
    if (stop > 0) ::madvise(words_, stop, MADV_DONTNEED);
  }
  // The memory from word `from` on is no longer needed (it reads as zeros if used again).
  void Release(size_t from) {
    const size_t page = 4096, start = (from * sizeof(uint64_t) + page - 1) / page * page;
    if (start < bytes_)
      ::madvise(reinterpret_cast<char*>(words_) + start, bytes_ - start, MADV_DONTNEED);
  }
  size_t count() const { return count_; }
  // All its memory given back.
  void Free() {
    if (words_) ::munmap(words_, bytes_);
    words_ = nullptr;
    bytes_ = count_ = 0;
  }

 private:
  bool Grow() {
    const size_t bytes = std::max<size_t>(1 << 20, 2 * bytes_);
    void* p =
        bytes_ ? ::mremap(words_, bytes_, bytes, MREMAP_MAYMOVE)
               : ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    words_ = static_cast<uint64_t*>(p);
    bytes_ = bytes;
    return true;
  }
  uint64_t* words_ = nullptr;
  size_t bytes_ = 0;
  size_t count_ = 0;
};

// The export of every sheet holds, per hit, where its line lies and a key of 63 bits that
// orders the hits as the sort asked does (sort.front(), from the high bits down):
//   '0' status 8, severity 8, prefix 12, number 35      '3' the same with the impact
//   '2' responsible 16, prefix 12, number 35            else prefix 12, number 35
// A code is kept as its value plus 97 (0 to 255). The prefix is the name up to its dot, as
// the rank of its text among those met; the number is its digits as text (names compare as
// bytes: TaG.100000 before TaG.20000), each digit one more than its value, in base 11,
// padded with 0 to ten digits. '4' keys the title's first 8 bytes instead (TitleKey), and
// each run of hits whose keys are equal is ordered by reading their titles again.
constexpr int kDigitBits = 35;
constexpr uint64_t kPrefixes = 1 << 12, kResps = 1 << 16;
constexpr uint64_t kPrefixMask = (kPrefixes - 1) << kDigitBits, kRespMask = (kResps - 1) << 47;

constexpr uint64_t Power11(int n) {
  uint64_t p = 1;
  while (n-- > 0) p *= 11;
  return p;
}

// 11 to the power of n, for n from 0 to 10.
constexpr auto kPowers11 = [] {
  std::array<uint64_t, 11> powers{};
  for (int n = 0; n < 11; ++n) powers[static_cast<size_t>(n)] = Power11(n);
  return powers;
}();

// The digits of "%05d" of a number from 0 up, and their count.
uint64_t DigitsKey(int number, int& length) {
  char digits[10];
  int n = 0;
  for (unsigned v = static_cast<unsigned>(number); v > 0 || n < 5; v /= 10) digits[n++] = v % 10;
  length = n;
  uint64_t key = 0;
  for (int i = n - 1; i >= 0; --i) key = key * 11 + static_cast<uint64_t>(digits[i] + 1);
  return key * Power11(10 - n);
}

// DigitsKey of the number field `v`, straight from its digits when "%05d" wrote them so;
// else of `number`, the number it reads as.
[[gnu::always_inline]] inline uint64_t DigitsKeyOf(std::string_view v, int number, int& length) {
  if (!IsPlainNumber(v)) return DigitsKey(number, length);
  uint64_t key = 0;
  for (char c : v) key = key * 11 + static_cast<uint64_t>(c - '0' + 1);
  length = static_cast<int>(v.size());
  return key * kPowers11[10 - v.size()];
}

// Texts numbered in the order met, and their ranks in byte order.
class Ranks {
 public:
  uint32_t Id(std::string_view text) {
    if (last_ < texts_.size() && *texts_[last_] == text) return static_cast<uint32_t>(last_);
    auto it = ids_.find(text);
    if (it == ids_.end())
      it = ids_.emplace(std::string(text), static_cast<uint32_t>(texts_.size())).first;
    if (it->second == texts_.size()) texts_.push_back(&it->first);
    last_ = it->second;
    return it->second;
  }
  size_t Size() const { return texts_.size(); }
  const std::string& Text(size_t id) const { return *texts_[id]; }
  std::vector<uint64_t> RanksById() const {
    std::vector<uint64_t> ranks(texts_.size());
    uint64_t rank = 0;
    for (const auto& [text, id] : ids_) ranks[id] = rank++;
    return ranks;
  }

 private:
  std::map<std::string, uint32_t, std::less<>> ids_;
  std::vector<const std::string*> texts_;
  size_t last_ = 0;
};

// Whether two short texts are equal, compared in words rather than through a call.
[[gnu::always_inline]] inline bool SameShort(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  size_t i = 0;
  for (; i + 8 <= a.size(); i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) return false;
  }
  for (; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// The sheet-name prefixes of (project, group, phase), each looked up once: the id of its
// text with its dot among `ranks`, or none when a name with it is no sheet name.
class Prefixes {
 public:
  // Made part of each walk's step; what it seldom needs is a call away.
  [[gnu::always_inline]] std::optional<uint32_t> Id(std::string_view project,
                                                    std::string_view group, int phase,
                                                    Ranks& ranks) {
    // First where a hash of its sizes, phase and last byte puts it: the prefixes of a store
    // come in no order, and a search through the few met would mostly guess wrong.
    const uint64_t mix =
        project.size() | group.size() << 8 | uint64_t{static_cast<unsigned char>(phase)} << 16 |
        uint64_t{group.empty() ? 0u : static_cast<unsigned char>(group.back())} << 24;
    Known& slot = slots_[mix * 0x9E3779B97F4A7C15u >> 60];
    if (Same(slot, project, group, phase)) return slot.id;
    return IdBeyond(slot, project, group, phase, ranks);
  }

 private:
  struct Known;
  [[gnu::always_inline]] static bool Same(const Known& p, std::string_view project,
                                          std::string_view group, int phase) {
    if (p.phase != phase || p.project_size != project.size()) return false;
    // The project and group as they lie in the line, with the bar between them: one compare.
    if (group.data() == project.data() + project.size() + 1)
      return SameShort(p.both, std::string_view(project.data(), project.size() + 1 + group.size()));
    return p.project == project && p.group == group;
  }

  // Id of a prefix not in `slot`, which then holds it.
  [[gnu::noinline]] std::optional<uint32_t> IdBeyond(Known& slot, std::string_view project,
                                                     std::string_view group, int phase,
                                                     Ranks& ranks) {
    for (const Known& p : known_)
      if (Same(p, project, group, phase)) {
        slot = p;
        return p.id;
      }
    key_.assign(project).append(1, '\0').append(group).append(1, '\0') += std::to_string(phase);
    auto it = by_key_.find(key_);
    if (it == by_key_.end()) {
      std::string prefix;
      {
        std::lock_guard lock(ConfigLock());
        prefix = config::GetSheetPrefixOf(project, group, phase);
      }
      std::optional<uint32_t> id;
      if (store::IsSheetName(prefix + ".00000")) id = ranks.Id(prefix + ".");
      it = by_key_.emplace(key_, id).first;
      met_.push_back({std::string(project), std::string(group), phase, prefix});
      AddProject(project);
      if (known_.size() < 16)
        known_.push_back({std::string(project), std::string(group),
                          std::string(project) + '|' + std::string(group), project.size(), phase,
                          id});
    }
    return it->second;
  }

 public:
  const std::vector<std::string>& Projects() const { return projects_; }
  // Every (project, group, phase) met, with its prefix.
  const std::vector<store::CopyPrefix>& Met() const { return met_; }
  void AddProject(std::string_view project) {
    if (std::find(projects_.begin(), projects_.end(), project) == projects_.end())
      projects_.emplace_back(project);
  }

 private:
  struct Known {
    std::string project, group, both;  // both: "project|group"
    size_t project_size = 0;
    int phase = INT_MIN;  // an empty slot: no code reads so
    std::optional<uint32_t> id;
  };
  std::vector<Known> known_;           // the first few met, looked at before the map
  std::array<Known, 16> slots_;        // of those, the one last met at each hash
  std::vector<std::string> projects_;  // every project met
  std::vector<store::CopyPrefix> met_;
  std::string key_;
  std::map<std::string, std::optional<uint32_t>, std::less<>> by_key_;
};

int BitsFor(uint64_t values) {  // bits that hold 0 .. values - 1
  return values <= 1 ? 0 : std::bit_width(values - 1);
}

// Sorts `keys` by bits `low` to `bits` (from the lowest, 0) with an LSD radix sort of 12 bits
// a pass, through `scratch` (as many words); keys equal in those bits keep their order, and
// passes whose digit is the same in every key are skipped.
void RadixSort(uint64_t* keys, uint64_t* scratch, size_t n, int low, int bits) {
  constexpr int kDigit = 12;
  constexpr size_t kBuckets = size_t{1} << kDigit;
  const int passes = (bits - low + kDigit - 1) / kDigit;
  uint64_t* const original = keys;
  std::vector<size_t> counts(kBuckets * static_cast<size_t>(passes));
  for (size_t i = 0; i < n; ++i)
    for (int p = 0; p < passes; ++p)
      ++counts[p * kBuckets + (keys[i] >> (low + p * kDigit) & (kBuckets - 1))];
  for (int p = 0; p < passes; ++p) {
    size_t* count = &counts[p * kBuckets];
    if (std::find(count, count + kBuckets, n) != count + kBuckets) continue;
    size_t sum = 0;
    for (size_t b = 0; b < kBuckets; ++b) sum += std::exchange(count[b], sum);
    for (size_t i = 0; i < n; ++i)
      scratch[count[keys[i] >> (low + p * kDigit) & (kBuckets - 1)]++] = keys[i];
    std::swap(keys, scratch);
  }
  if (keys != original) std::copy(keys, keys + n, original);
}

// The title's 8 bytes from `from` on, the first the highest, a title's end padded with 0 (a
// title holds no NUL byte): keys that order as the titles' bytes do.
uint64_t TitleKey(std::string_view title, size_t from) {
  uint64_t key = 0;
  for (size_t k = 0; k < 8; ++k)
    key = key << 8 | (from + k < title.size() ? static_cast<unsigned char>(title[from + k]) : 0);
  return key;
}

// A hit's key and the offset of its line.
struct Pair {
  uint64_t key, at;
};
// By key, equal keys the most recently written sheet (the line furthest on) first.
bool PairBefore(const Pair& a, const Pair& b) {
  return a.key != b.key ? a.key < b.key : a.at > b.at;
}

// Orders hits sorted by their titles' 8 bytes from `from` on: each run of equal keys whose
// titles go on is keyed again by their next 8 bytes, read back from their lines, and sorted,
// until the titles part or end. Memory: the run's own pairs.
void OrderTitleRuns(Pair* pairs, size_t n, size_t from, store::IndexLineReader& lines) {
  store::HeaderView view;
  std::string scratch;
  for (size_t i = 0, run = 0; i <= n; ++i) {
    if (i < n && pairs[i].key == pairs[run].key) continue;
    if (i - run > 1 && (pairs[run].key & 0xff) != 0) {
      for (size_t k = run; k < i; ++k) {
        store::SplitHeader(lines.LineAt(static_cast<long long>(pairs[k].at)), view, scratch);
        pairs[k].key = TitleKey(view[store::kTitleAt], from + 8);
      }
      std::sort(pairs + run, pairs + i, PairBefore);
      OrderTitleRuns(pairs + run, i - run, from + 8, lines);
    }
    run = i;
  }
}

// A hit's place word holds the length of its line in its top bits when it fits (else 0,
// unknown): the rows are then made without looking for each line's end.
constexpr int kLengthShift = 48;
constexpr uint64_t kPlaceOnly = (uint64_t{1} << kLengthShift) - 1;
uint64_t LengthWord(size_t length) {
  return length < (size_t{1} << 16) ? uint64_t{length} << kLengthShift : 0;
}

// What the walk of one part of the index gathers: the hits' keys and places, and the texts
// their keys rank.
struct Keys {
  HitBlock block;
  Ranks prefixes, resps;
  Prefixes prefix_ids;
  bool keyed = true;
  bool every = false;  // a hit that cannot be keyed leaves the whole walk unkeyed
  int longest = 5;     // digits of the longest number
  uint64_t low = ~uint64_t{0}, high = 0;  // of the bits above the name

  void Add(char by, const store::HeaderView& h, long long at, size_t line_size) {
    if (!keyed) return;
    // Plain digits need no reading as a number: they are the key, and no negative one.
    const std::string_view digits = h[store::kNumberAt];
    const int number = IsPlainNumber(digits) ? 0 : h.Number(store::kNumberAt);
    // "-0001": no sheet name, no row in the export; the list shows it, unkeyed.
    if (number < 0) {
      keyed = !every;
      return;
    }
    const std::optional<uint32_t> prefix =
        prefix_ids.Id(h[store::kProjectAt], h[store::kGroupAt], h.Code(store::kPhaseAt), prefixes);
    if (!prefix) {
      keyed = !every;
      return;
    }
    int length = 0;
    uint64_t key = uint64_t{*prefix} << kDigitBits | DigitsKeyOf(digits, number, length);
    longest = std::max(longest, length);
    uint64_t above = 0;
    if (by == '0' || by == '3') {
      const int first = h.Code(by == '0' ? store::kStatusAt : store::kImpactAt);
      above = uint64_t(first + 'a') << 8 | uint64_t(h.Code(store::kSevAt) + 'a');
    } else if (by == '2') {
      above = resps.Id(h[store::kRespAt]);
    }
    low = std::min(low, above);
    high = std::max(high, above);
    key |= above << 47;
    if (by == '4') key = TitleKey(h[store::kTitleAt], 0);
    keyed = prefixes.Size() <= kPrefixes && resps.Size() <= kResps &&
            block.Push(key, static_cast<uint64_t>(at) | LengthWord(line_size));
  }
};

// Merges the sorted words b[0, nb) into the sorted words a[0, na), which has room for
// na + nb words: from the largest down, so that no word of a is written over before it is
// read. No two words are equal (each holds its hit's place).
void MergeFromTheBack(uint64_t* a, size_t na, const uint64_t* b, size_t nb) {
  size_t i = na, j = nb, k = na + nb;
  while (j > 0) a[--k] = i > 0 && a[i - 1] > b[j - 1] ? a[--i] : b[--j];
}

// The ids that the texts of one walk's keys have among those of another.
struct IdMaps {
  std::vector<uint64_t> prefix, resp;
};

// Adds the texts of `other` to those of `into`, with the ids they take there; its longest
// number, its range of the bits above the name and its projects too. False when the texts no
// longer key.
bool MergeTexts(Keys& into, const Keys& other, IdMaps& ids) {
  ids.prefix.resize(other.prefixes.Size());
  ids.resp.resize(other.resps.Size());
  for (size_t id = 0; id < ids.prefix.size(); ++id)
    ids.prefix[id] = into.prefixes.Id(other.prefixes.Text(id));
  for (size_t id = 0; id < ids.resp.size(); ++id)
    ids.resp[id] = into.resps.Id(other.resps.Text(id));
  if (into.prefixes.Size() > kPrefixes || into.resps.Size() > kResps) return false;
  into.longest = std::max(into.longest, other.longest);
  into.low = std::min(into.low, other.low);
  into.high = std::max(into.high, other.high);
  for (const std::string& project : other.prefix_ids.Projects())
    into.prefix_ids.AddProject(project);
  return true;
}

// Adds the hits of `other` to those of `into`, the ids of their texts made those of `into`
// (`ids`, from MergeTexts); the memory of `other` is given back as its hits move.
bool MergeHits(Keys& into, Keys& other, char by, const IdMaps& ids) {
  const std::vector<uint64_t>&prefix_ids = ids.prefix, &resp_ids = ids.resp;
  const uint64_t* words = other.block.words();
  constexpr size_t kReleaseEvery = 1 << 17;  // words: 1 MB
  for (size_t i = 0; i < other.block.count(); i += 2) {
    uint64_t key = words[i];
    if (by != '4')
      key = (key & ~kPrefixMask) | prefix_ids[(key & kPrefixMask) >> kDigitBits] << kDigitBits;
    if (by == '2') key = (key & ~kRespMask) | resp_ids[(key & kRespMask) >> 47] << 47;
    if (!into.block.Push(key, words[i + 1])) return false;
    if ((i + 2) % kReleaseEvery == 0) other.block.ReleaseBefore(i + 2);
  }
  return true;
}

// The row of a sheet as read (its fields hold no "|", line feed or NUL byte but the title's
// "|"): from its header line.
void PutSheetRow(RowBuffer& out, const store::FactSheet& s, bool code) {
  std::string line = store::FormatHeader(s);
  line.pop_back();
  store::HeaderView view;
  std::string scratch;
  store::SplitHeader(line, view, scratch);
  base::Cache<RowWriter>().PutRow(out, view, line, code);
}

}  // namespace

std::string FormatExportLine(const store::FactSheet& s) {
  RowBuffer row(false);
  PutSheetRow(row, s, false);
  return std::string(row.Held());
}

void ExportSheets(const FoundList& hits) {
  WriteExportHeader();
  RowBuffer out(true);
  store::FactSheet sheet;
  for (const FoundSheet& hit : hits) {
    if (!store::IsSheetName(hit.name)) continue;
    sheet = store::FactSheet{};
    if (!hit.line.empty()) {
      store::ParseHeader(hit.line, sheet);
    } else {
      store::BufFile file;
      if (!file.Open(base::JoinPath(config::GetDataDir(), hit.name), 'r')) continue;
      store::ReadHeader(file, sheet);
      file.Close();
    }
    PutSheetRow(out, sheet, true);
  }
}

namespace {

// The hits of a criteria search in order: their count, where the line of hit i lies in
// `index`, and every project met.
struct Ordered {
  size_t count;
  // The hits' words: packed, one a hit holding the place from the end of the index (of
  // `size` bytes) in its bits `place_mask` above its lowest `length_bits`, which hold the
  // line's length (0: unknown); else two a hit, the place second.
  const uint64_t* words;
  bool packed;
  uint64_t size, place_mask;
  int length_bits;
  const store::IndexFile& index;
  const std::vector<std::string>& projects;

  long long place(size_t i) const {
    return static_cast<long long>(packed ? size - 1 - (words[i] >> length_bits & place_mask)
                                         : words[2 * i + 1]);
  }
  size_t length(size_t i) const {
    return packed ? static_cast<size_t>(words[i] & ((uint64_t{1} << length_bits) - 1)) : 0;
  }
};

// The sort the request asks: the first byte of `sort`.
char SortOf(const web::ParamList& params) {
  const std::string& sort = web::GetParam(params, "sort");
  return sort.empty() ? '\0' : sort.front();
}

// The fields of a line that the key of sort `by` reads, from the first on.
size_t KeyFields(char by) {
  return 1 + (by == '4'   ? store::kTitleAt
              : by == '3' ? store::kImpactAt
              : by == '2' ? store::kRespAt
              : by == '0' ? store::kStatusAt
                          : store::kGroupAt);
}

// Orders the hits that `walk` gathers into `parts` (one walk each, either empty) by sort
// `by`, and hands them to `use` as places in `index`; `every`: a hit that cannot be keyed
// leaves the whole walk unkeyed (else it is passed over). `met`, when given, gets every
// (project, group, phase) met. False when the hits could not be keyed.
bool OrderHits(const store::IndexFile& index, char by, bool every,
               const std::function<void(Keys (&parts)[2])>& walk,
               const std::function<void(const Ordered&)>& use,
               std::vector<store::CopyPrefix>* met = nullptr) {
  Keys parts[2];
  parts[0].every = parts[1].every = every;
  walk(parts);
  if (met) {
    for (const Keys& part : parts)
      for (const store::CopyPrefix& p : part.prefix_ids.Met())
        if (std::none_of(met->begin(), met->end(), [&p](const store::CopyPrefix& q) {
              return q.project == p.project && q.group == p.group && q.phase == p.phase;
            }))
          met->push_back(p);
  }
  IdMaps ids;
  if (!parts[0].keyed || !parts[1].keyed || !MergeTexts(parts[0], parts[1], ids)) return false;
  Keys& keys = parts[0];
  Ranks &prefixes = keys.prefixes, &resps = keys.resps;
  const int longest = keys.longest;
  const uint64_t low = keys.low, high = keys.high;
  // The ranks of the texts in byte order replace the numbers they were given in index order:
  // by the ids of each walk.
  const std::vector<uint64_t> prefix_rank = prefixes.RanksById(), resp_rank = resps.RanksById();
  std::vector<uint64_t> prefix_ranks[2] = {prefix_rank, {}}, resp_ranks[2] = {resp_rank, {}};
  for (uint64_t id : ids.prefix) prefix_ranks[1].push_back(prefix_rank[id]);
  for (uint64_t id : ids.resp) resp_ranks[1].push_back(resp_rank[id]);
  auto ranked = [&](int part, uint64_t key) {
    if (by == '4') return key;
    key = (key & ~kPrefixMask) | prefix_ranks[part][(key & kPrefixMask) >> kDigitBits]
                                     << kDigitBits;
    if (by == '2') key = (key & ~kRespMask) | resp_ranks[part][(key & kRespMask) >> 47] << 47;
    return key;
  };
  // Equal keys: the most recently written sheet first, as the list has them. The key packs
  // into one word with the place when they fit: the bits above the name less the lowest,
  // the prefix's rank, the number in base 11 on `longest` digits, the place from the end.
  const uint64_t size = static_cast<uint64_t>(std::max(1LL, index.Size()));
  const int above_bits = by == '2' ? BitsFor(resps.Size()) : BitsFor(high - low + 1);
  const int prefix_bits = BitsFor(prefixes.Size()), number_bits = BitsFor(Power11(longest)),
            place_bits = BitsFor(size);
  const int bits = above_bits + prefix_bits + number_bits + place_bits;
  const bool packed = bits < 64 && by != '4';
  // The lines' lengths in what bits are left below the place, lines of up to 8191 bytes.
  const int length_bits = packed ? std::min(13, 63 - bits) : 0;
  uint64_t* words = nullptr;
  size_t n = 0;
  if (packed) {
    // Each walk's hits packed and sorted where they lie, on a thread each, then merged.
    auto pack = [&](int part) {
      HitBlock& block = parts[part].block;
      const size_t count = block.count() / 2;
      uint64_t* w = block.words();
      const uint64_t shorten = Power11(10 - longest);
      const uint64_t longest_line = (uint64_t{1} << length_bits) - 1;
      for (size_t i = 0; i < count; ++i) {
        const uint64_t key = ranked(part, w[2 * i]), at = w[2 * i + 1] & kPlaceOnly;
        const uint64_t length = w[2 * i + 1] >> kLengthShift;
        const uint64_t above = by == '2' ? key >> 47 : (key >> 47) - low;
        const uint64_t name = ((key & kPrefixMask) >> kDigitBits) << number_bits |
                              (key & ((uint64_t{1} << kDigitBits) - 1)) / shorten;
        w[i] = ((((above << (prefix_bits + number_bits) | name) << place_bits) | (size - 1 - at))
                << length_bits) |
               (length <= longest_line ? length : 0);
      }
      // By the bits above the place (the places only part equal keys, seldom met), then each
      // run of equal keys by place.
      const int below_key = place_bits + length_bits;
      if (!std::is_sorted(w, w + count)) {
        RadixSort(w, w + count, count, below_key, bits + length_bits);
        for (size_t i = 0, run = 0; i <= count; ++i)
          if (i == count || w[i] >> below_key != w[run] >> below_key) {
            if (i - run > 1) std::sort(w + run, w + i);
            run = i;
          }
      }
    };
    std::thread helper;
    try {
      if (parts[1].block.count() > 0) helper = std::thread(pack, 1);
    } catch (const std::system_error&) {  // no thread to be had: this one packs both
      pack(1);
    }
    pack(0);
    if (helper.joinable()) helper.join();
    // The walk with more hits takes the other's: its block held two words a hit, so it has
    // room for both walks' packed words.
    const int more = parts[1].block.count() > parts[0].block.count() ? 1 : 0;
    HitBlock &into = parts[more].block, &from = parts[1 - more].block;
    const size_t n_into = into.count() / 2, n_from = from.count() / 2;
    n = n_into + n_from;
    MergeFromTheBack(into.words(), n_into, from.words(), n_from);
    from.Free();
    into.Release(n);
    words = into.words();
  } else {
    if (!MergeHits(parts[0], parts[1], by, ids)) return false;
    n = keys.block.count() / 2;
    words = keys.block.words();
    for (size_t i = 0; i < n; ++i) {
      words[2 * i] = ranked(0, words[2 * i]);
      words[2 * i + 1] &= kPlaceOnly;
    }
    Pair* pairs = reinterpret_cast<Pair*>(words);
    std::sort(pairs, pairs + n, PairBefore);
    if (by == '4') {
      store::IndexLineReader lines(index);
      OrderTitleRuns(pairs, n, 0, lines);
    }
  }
  const uint64_t place_mask = (uint64_t{1} << place_bits) - 1;
  use(Ordered{n, words, packed, size, place_mask, length_bits, index, keys.prefix_ids.Projects()});
  return true;
}

// ForEachHitInOrder, handing the hits to `use` as places in the index (`opened` when the
// request opened it already).
bool WalkInOrder(const web::ParamList& params, size_t fields,
                 const std::function<void(const store::HeaderView&)>& on_match,
                 const std::function<void(const Ordered&)>& use,
                 store::IndexFile* opened = nullptr) {
  const char by = SortOf(params);
  std::optional<store::IndexFile> own;
  store::IndexFile& index = opened ? *opened : own.emplace();
  // The export skips what has no sheet name; the page lists every hit, so one it cannot key
  // sends it back to the list of every hit.
  const bool exporting = web::GetParam(params, "excel").starts_with('X');
  fields = std::max(fields, KeyFields(by));
  return OrderHits(
      index, by, !exporting,
      [&](Keys(&parts)[2]) {
        // Only a data file reads the rights quietly, as the walk in two halves needs.
        if (!exporting || !ForEachMatchInTwo(
                              params, index,
                              [&](int part, const store::HeaderView& h, std::string_view line,
                                  long long at) { parts[part].Add(by, h, at, line.size()); },
                              fields))
          ForEachMatch(
              params, index,
              [&](const store::HeaderView& h, std::string_view line, long long at) {
                if (on_match) on_match(h);
                parts[0].Add(by, h, at, line.size());
              },
              fields);
      },
      use);
}

}  // namespace

bool ForEachHitInOrder(const web::ParamList& params, size_t fields,
                       const std::function<void(const store::HeaderView&)>& on_match,
                       const std::function<void(size_t count, const ReadHits& read)>& use) {
  return WalkInOrder(params, fields, on_match, [&use](const Ordered& hits) {
    use(hits.count, [&hits](size_t first, size_t end, const EachHit& each) {
      store::IndexLineReader lines(hits.index);
      store::HeaderView view;
      std::string scratch;
      for (size_t i = first; i < end; ++i) {
        const std::string_view line = lines.LineAt(hits.place(i), hits.length(i));
        store::SplitHeader(line, view, scratch);
        each(view, line, i);
      }
    });
  });
}

namespace {

// Makes the rows of `blocks` blocks with `make` (block, the thread's number 0 or 1, its
// writer and its buffer) and writes them in order. A large answer is made by two threads,
// each taking every other block: a thread makes its block's rows, waits for the block before
// it to be written, writes its own and goes on to its next, so that both make rows while
// either writes. `alone`: one thread makes them all, written as they come.
void WriteInTurns(
    size_t blocks, bool alone, const std::vector<std::string>& projects,
    const std::function<void(size_t block, int thread, RowWriter& rows, RowBuffer& out)>& make) {
  // A large answer through a pipe (the web server's): a larger pipe takes each write whole.
  if (!alone) ::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, static_cast<int>(kExportChunk));
  WriteExportHeader();
  RowWriter& writer = base::Cache<RowWriter>();
  auto one_thread = [&] {
    RowBuffer out(true);
    for (size_t b = 0; b < blocks; ++b) make(b, 0, writer, out);
  };
  if (alone) return one_thread();
  // Rows then need no configuration: it is all read first.
  writer.LookUpAll(projects);
  RowWriter helper_writer = writer;
  size_t written = 0;  // the blocks written
  std::mutex mutex;
  std::condition_variable turn;
  auto every_other = [&](RowWriter& rows, int thread) {
    RowBuffer made(false);
    for (size_t b = static_cast<size_t>(thread); b < blocks; b += 2) {
      made.Clear();
      make(b, thread, rows, made);
      {
        std::unique_lock lock(mutex);
        turn.wait(lock, [&] { return written == b; });
      }
      base::Write(nullptr, made.Held());
      {
        std::lock_guard lock(mutex);
        written = b + 1;
      }
      turn.notify_all();
    }
  };
  std::thread helper;
  try {
    helper = std::thread(every_other, std::ref(helper_writer), 1);
  } catch (const std::system_error&) {  // no thread to be had: this one makes every row
    return one_thread();
  }
  every_other(writer, 0);
  helper.join();
}

// The export's rows of `hits`, in blocks of kBlockHits.
void WriteInOrder(const Ordered& hits) {
  store::IndexLineReader readers[2] = {store::IndexLineReader(hits.index),
                                       store::IndexLineReader(hits.index)};
  const size_t blocks = (hits.count + kBlockHits - 1) / kBlockHits;
  WriteInTurns(
      blocks, hits.count < 4 * kBlockHits, hits.projects,
      [&](size_t b, int thread, RowWriter& rows, RowBuffer& out) {
        store::HeaderView view;
        std::string scratch;
        for (size_t i = b * kBlockHits; i < std::min(hits.count, (b + 1) * kBlockHits); ++i) {
          const std::string_view line = readers[thread].LineAt(hits.place(i), hits.length(i));
          store::SplitHeader(line, view, scratch);
          rows.PutRow(out, view, line, true, store::IndexLineReader::kReadable);
        }
      });
}

// The name of the sheet of a header line: its prefix (`prefix_of` its project, group and
// phase) and number, as the sort by name orders it; empty when it names no sheet.
template <typename PrefixOf>
std::string NameOfLine(const store::HeaderView& h, PrefixOf&& prefix_of) {
  const int number = h.Number(store::kNumberAt);
  if (number < 0) return {};
  const std::string* prefix =
      prefix_of(h[store::kProjectAt], h[store::kGroupAt], h.Code(store::kPhaseAt));
  if (!prefix || !store::IsSheetName(*prefix + ".00000")) return {};
  return config::GetSheetName(*prefix, number);
}

// The copy of the index in name order is worth making from this size of its compacted part
// on: below it the index is read back in name order quickly enough.
constexpr long long kCopyWorth = 4 << 20;
// kCopyWorth, or the size a test sets.
long long CopyWorth() {
  const char* set = base::TestSetting("QUORB_INDEX_COPY_FROM");
  return set ? std::atoll(set) : kCopyWorth;
}

// The copy's lines are taken in blocks of about this many bytes: their rows (a quarter
// longer) fit the room a thread's rows start with.
constexpr long long kCopyBlock = 512 << 10;

// Set by an export in name order that found no copy to read: one is made after the page.
struct CopyWanted {
  bool wanted = false;
};

// The export in name order from the copy of the index (`copy`, open): the copy is read once,
// its lines that a later line replaced passed over, and the lines appended since it was made
// put in their places. False, with nothing written, when the request cannot be answered so.
bool ExportFromCopy(const web::ParamList& params, store::IndexFile& index,
                    const store::IndexCopy& copy) {
  const LineRules rules(params, store::kHeaderFieldCount);
  if (!rules.Usable()) return false;
  // Every prefix the rows need, looked up now: the threads only read this table.
  std::map<std::tuple<std::string, std::string, int>, std::string, std::less<>> prefixes;
  std::vector<std::string> projects;
  for (const store::CopyPrefix& p : copy.Prefixes()) {
    prefixes.emplace(std::tuple(p.project, p.group, p.phase), p.prefix);
    if (std::find(projects.begin(), projects.end(), p.project) == projects.end())
      projects.push_back(p.project);
  }
  auto prefix_of = [&prefixes](std::string_view project, std::string_view group,
                               int phase) -> const std::string* {
    auto it = prefixes.find(std::tuple(std::string(project), std::string(group), phase));
    return it == prefixes.end() ? nullptr : &it->second;
  };
  // The lines appended since the copy that the request keeps, by name, the most recently
  // written first among equal names (as the sort has them).
  struct Late {
    std::string name;
    long long at;
  };
  std::vector<Late> late;
  index.ReadAppended();
  {
    store::HeaderView view;
    std::string scratch;
    index.ForEachAppended([&](std::string_view line, long long at) {
      if (!rules.Meets(line, view, scratch)) return true;
      const auto combo = std::tuple(std::string(view[store::kProjectAt]),
                                    std::string(view[store::kGroupAt]), view.Code(store::kPhaseAt));
      if (!prefixes.contains(combo)) {
        prefixes.emplace(combo, config::GetSheetPrefixOf(std::get<0>(combo), std::get<1>(combo),
                                                         std::get<2>(combo)));
        if (std::find(projects.begin(), projects.end(), std::get<0>(combo)) == projects.end())
          projects.push_back(std::get<0>(combo));
      }
      if (std::string name = NameOfLine(view, prefix_of); !name.empty())
        late.push_back({std::move(name), at});
      return true;
    });
  }
  std::sort(late.begin(), late.end(), [](const Late& a, const Late& b) {
    return a.name != b.name ? a.name < b.name : a.at > b.at;
  });
  // The blocks: each the lines that begin in its stretch of the copy. The appended lines
  // named after the first line of a block and up to the first of the next go with it.
  std::vector<long long> starts;
  for (long long at = copy.Start(); at < copy.Size(); at += kCopyBlock) {
    const long long start = at == copy.Start() ? at : copy.LineStartFrom(at);
    if (start >= copy.Size()) break;
    if (starts.empty() || start > starts.back()) starts.push_back(start);
  }
  starts.push_back(copy.Size());
  const size_t blocks = starts.size() - 1;
  std::vector<size_t> first_late(blocks + 1, 0);
  first_late[blocks] = late.size();
  if (!late.empty()) {
    std::string line_scratch, split_scratch;
    store::HeaderView view;
    for (size_t b = 1; b < blocks; ++b) {
      store::SplitHeader(copy.LineAt(starts[b], line_scratch), view, split_scratch);
      const std::string name = NameOfLine(view, prefix_of);
      first_late[b] = static_cast<size_t>(
          std::upper_bound(late.begin(), late.end(), name,
                           [](const std::string& n, const Late& l) { return n < l.name; }) -
          late.begin());
      first_late[b] = std::max(first_late[b], first_late[b - 1]);
    }
  }
  struct Thread {
    std::vector<char> bytes;
    store::HeaderView view;
    std::string scratch, late_scratch;
  };
  Thread threads[2];
  WriteInTurns(
      blocks, copy.Size() - copy.Start() < 2 * kCopyBlock, projects,
      [&](size_t b, int thread, RowWriter& rows, RowBuffer& out) {
        Thread& t = threads[thread];
        size_t next_late = first_late[b];
        const size_t end_late = first_late[b + 1];
        auto put_late = [&](const std::string* before) {
          for (; next_late < end_late && (!before || late[next_late].name <= *before);
               ++next_late) {
            const std::string_view line = index.LineAt(late[next_late].at, t.late_scratch);
            store::SplitHeader(line, t.view, t.scratch);
            rows.PutRow(out, t.view, line, true);
          }
        };
        // A block that cannot be read (a disk error) gives no rows: past the file's header, a
        // download has no place to say so.
        const size_t size = static_cast<size_t>(starts[b + 1] - starts[b]);
        t.bytes.resize(size + store::IndexLineReader::kReadable);
        if (!copy.Read(t.bytes.data(), size, starts[b])) return;
        for (size_t pos = 0; pos < size;) {
          const char* lf =
              static_cast<const char*>(std::memchr(t.bytes.data() + pos, '\n', size - pos));
          const size_t end = lf ? static_cast<size_t>(lf - t.bytes.data()) : size;
          const std::string_view line(t.bytes.data() + pos, end - pos);
          pos = end + 1;
          if (line.empty() || index.Superseded(line) || !rules.Meets(line, t.view, t.scratch))
            continue;
          if (next_late < end_late) {
            const std::string name = NameOfLine(t.view, prefix_of);
            put_late(&name);
            store::SplitHeader(line, t.view, t.scratch);  // the late lines used the view
          }
          rows.PutRow(out, t.view, line, true, store::IndexLineReader::kReadable);
        }
        put_late(nullptr);
      });
  return true;
}

}  // namespace

bool MakeIndexCopy() {
  store::IndexFile index;
  if (index.Compacted() <= 0) return false;
  {
    store::IndexCopy copy;
    if (copy.Open(index)) return true;
  }
  std::vector<store::CopyPrefix> met;
  bool written = false;
  const size_t fields = KeyFields('\0');
  const bool keyed = OrderHits(
      index, '\0', false,
      [&](Keys(&parts)[2]) {
        auto walk = [&](int part) {
          store::HeaderView view;
          std::string scratch;
          index.ForEachCompacted(
              [&](std::string_view line, long long at) {
                store::SplitHeader(line, view, scratch, fields);
                parts[part].Add('\0', view, at, line.size());
                return true;
              },
              part, 2);
        };
        std::thread helper;
        try {
          helper = std::thread(walk, 1);
        } catch (const std::system_error&) {
          walk(1);
        }
        walk(0);
        if (helper.joinable()) helper.join();
      },
      [&](const Ordered& hits) {
        written = store::WriteIndexCopy(index, met,
                                        [&](const std::function<bool(std::string_view line)>& put) {
                                          store::IndexLineReader lines(index);
                                          for (size_t i = 0; i < hits.count; ++i)
                                            if (!put(lines.LineAt(hits.place(i), hits.length(i))))
                                              return false;
                                          return true;
                                        });
      },
      &met);
  return keyed && written;
}

bool ExportInOrder(const web::ParamList& params) {
  const char by = SortOf(params);
  store::IndexFile index;
  if (by != '0' && by != '2' && by != '3' && by != '4') {
    store::IndexCopy copy;
    if (copy.Open(index)) {
      if (ExportFromCopy(params, index, copy)) return true;
    } else if (index.Compacted() >= CopyWorth()) {
      base::Cache<CopyWanted>().wanted = true;
    }
  }
  return WalkInOrder(params, 0, nullptr, WriteInOrder, &index);
}

void MakeIndexCopyAfterPage() {
  if (!base::Cache<CopyWanted>().wanted) return;
  // One maker at a time; another that holds the lock makes it.
  base::FileLock lock(store::IndexCopyLockPath(), 0);
  if (!lock.Held()) return;
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = ::fork();
  if (pid != 0) return;  // the page is complete (or no process to make it: made next time)
  base::DetachFromServer(lock.fd(), store::IndexCopyLogPath());
  if (!MakeIndexCopy())
    std::fprintf(stderr, "quorb: the copy of the index in name order could not be made\n");
  ::_exit(0);
}

}  // namespace search
