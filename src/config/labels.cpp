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

constexpr std::array<std::string_view, 13> kStatusCodes = {"N",  "Obs", "A", "O",  "C", "V", "D",
                                                           "NB", "NR",  "P", "Ab", "",  ""};

}  // namespace

const std::string& GetStatusLabel(int i) {
  return LabelInRange(200, i, 12);
}

std::string_view GetStatusCode(int i) {
  if (i < 0 || static_cast<size_t>(i) >= kStatusCodes.size()) return {};
  return kStatusCodes[i];
}

const std::string& GetSeverityLabel(int i) {
  return LabelInRange(214, i, 5);
}
const std::string& GetTypeLabel(int i) {
  return LabelInRange(220, i, 3);
}

}  // namespace config
