#include "stats/index_fields.h"

#include <bit>
#include <cstdint>

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

bool ReadIndexFields(std::string_view line, IndexFields& f) {
  const char* p = line.data();
  const size_t n = line.size();
  // The positions of the first 26 "|", 64 bytes at a time where the processor can. A NUL
  // byte among the bytes looked at leaves the line to the store's reading.
  size_t bars[kFields + 64];  // room for every bar of the last block looked at
  int k = 0;
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i bar = _mm_set1_epi8('|');
  const __m128i nul = _mm_setzero_si128();
  uint64_t nuls = 0;
  auto mask = [p](size_t at, __m128i of) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    return static_cast<uint64_t>(
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, of))));
  };
  for (; i + 64 <= n && k < kFields; i += 64) {
    uint64_t hits =
        mask(i, bar) | mask(i + 16, bar) << 16 | mask(i + 32, bar) << 32 | mask(i + 48, bar) << 48;
    nuls |= mask(i, nul) | mask(i + 16, nul) | mask(i + 32, nul) | mask(i + 48, nul);
    for (; hits; hits &= hits - 1) bars[k++] = i + static_cast<size_t>(std::countr_zero(hits));
  }
  if (nuls) return false;
#endif
  for (; i < n && k < kFields; ++i) {
    if (p[i] == '|') bars[k++] = i;
    if (p[i] == '\0') return false;
  }
  if (k < kFields) return false;
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
