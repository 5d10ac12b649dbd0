#include "base/names.h"

namespace base {

bool IsSafeName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength || name.front() == ' ' || name.front() == '.')
    return false;
  for (char ch : name) {
    auto c = static_cast<unsigned char>(ch);
    if (ch == '/' || ch == '\\' || ch == ':' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

}  // namespace base
