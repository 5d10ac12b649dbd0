#include "stats/index_fields.h"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/numbers.h"
#include "store/sheet.h"

namespace stats {
namespace {

// The header fields, in line order, up to `Load`: the 26th "|" ends it.
enum Field {
  kPhase = 2,
  kSev = 5,
  kProject = 6,
  kGroup = 7,
  kStatus = 11,
  kPostponed = 12,
  kCorrLoad = 24,
  kLoad = 25,
  kFields = 26
};

int Letter(std::string_view field) {
  return field.empty() ? 0 : static_cast<unsigned char>(field[0]) - 'a';
}

// The usual number is one to nine digits; anything else is read as the store reads it.
int Number(std::string_view field) {
  if (field.empty() || field.size() > 9) return base::LeadingNumber(field);
  int value = 0;
  for (char c : field) {
    unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
    if (digit > 9) return base::LeadingNumber(field);
    value = value * 10 + static_cast<int>(digit);
  }
  return value;
}

}  // namespace

bool ScanIndexLine(std::string_view text, IndexFields& f, size_t& length) {
  const char* p = text.data();
  const size_t n = text.size();
  // The positions of the first 26 "|" of the line, 64 bytes at a time where the processor
  // can; the line feed is looked for in the same blocks. A NUL byte among the bytes looked
  // at, or a line feed before the 26th "|", leaves the line to the store's reading.
  size_t bars[kFields + 64];  // room for every bar of the last block looked at
  int k = 0;
  size_t i = 0;
  length = std::string_view::npos;
  // The line goes to the store's reading: only its length is wanted.
  auto leave = [&] {
    if (length == std::string_view::npos) {
      const void* feed = std::memchr(p, '\n', n);
      if (feed) length = static_cast<size_t>(static_cast<const char*>(feed) - p);
    }
    return false;
  };
#if defined(__SSE2__)
  const __m128i bar = _mm_set1_epi8('|');
  const __m128i nul = _mm_setzero_si128();
  const __m128i lf = _mm_set1_epi8('\n');
  auto mask = [p](size_t at, __m128i of) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    return static_cast<uint64_t>(
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, of))));
  };
  auto block = [&mask](size_t at, __m128i of) {
    return mask(at, of) | mask(at + 16, of) << 16 | mask(at + 32, of) << 32 |
           mask(at + 48, of) << 48;
  };
  for (; i + 64 <= n && k < kFields; i += 64) {
    uint64_t hits = block(i, bar);
    uint64_t nuls = block(i, nul);
    if (uint64_t feeds = block(i, lf)) {
      length = i + static_cast<size_t>(std::countr_zero(feeds));
      uint64_t before = (feeds & (0 - feeds)) - 1;  // the bytes before the line feed
      hits &= before;
      nuls &= before;
    }
    if (nuls) return leave();
    for (; hits; hits &= hits - 1) bars[k++] = i + static_cast<size_t>(std::countr_zero(hits));
    if (length != std::string_view::npos) break;
  }
#endif
  if (length == std::string_view::npos) {
    for (; i < n && k < kFields; ++i) {
      if (p[i] == '\n') {
        length = i;
        break;
      }
      if (p[i] == '|') bars[k++] = i;
      if (p[i] == '\0') return leave();
    }
  }
  if (k < kFields) return leave();
  if (length == std::string_view::npos) {
    size_t from = bars[kFields - 1] + 1;
    const void* feed = std::memchr(p + from, '\n', n - from);
    if (feed) length = static_cast<size_t>(static_cast<const char*>(feed) - p);
  }
  auto field = [&](int index) {
    size_t start = index == 0 ? 0 : bars[index - 1] + 1;
    return std::string_view(p + start, bars[index] - start);
  };
  const std::string_view project = field(kProject), group = field(kGroup);
  f.project = project.substr(0, store::kNameSize - 1);
  f.group = group.substr(0, store::kNameSize - 1);
  f.place = std::string_view(project.data(), group.data() + group.size() - project.data());
  f.phase = Letter(field(kPhase));
  f.sev = Letter(field(kSev));
  f.status = Letter(field(kStatus));
  f.postponed = Number(field(kPostponed));
  f.corr_load = Number(field(kCorrLoad));
  f.load = Number(field(kLoad));
  return true;
}

}  // namespace stats
