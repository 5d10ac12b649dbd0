#include "base/numbers.h"

#include <cstdint>
#include <limits>

namespace base {

int LeadingNumber(std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  while (p < end && *p == '0') ++p;
  // Ten digits cannot overflow 64 bits; more mean a value beyond the bounds.
  constexpr uint64_t kLimit = static_cast<uint64_t>(std::numeric_limits<int>::max()) + 1;
  uint64_t value = 0;
  const char* fast_end = end - p > 10 ? p + 10 : end;
  for (; p < fast_end && static_cast<unsigned char>(*p - '0') < 10; ++p)
    value = value * 10 + (*p - '0');
  if (p < end && static_cast<unsigned char>(*p - '0') < 10) value = kLimit;
  if (value > kLimit) value = kLimit;
  if (negative) return static_cast<int>(-static_cast<int64_t>(value));
  return static_cast<int>(value == kLimit ? kLimit - 1 : value);
}

}  // namespace base
