#include "config/labels.h"

#include <array>

#include "config/language.h"

namespace config {
namespace {

const std::string& LabelInRange(int base, int i, int count) {
  static const std::string kEmpty;
  if (i < 0 || i >= count) return kEmpty;
  return Msg(base + i);
}

}  // namespace

const std::string& GetSeverityLabel(int i) {
  return LabelInRange(214, i, 5);
}
const std::string& GetTypeLabel(int i) {
  return LabelInRange(220, i, 3);
}

}  // namespace config
