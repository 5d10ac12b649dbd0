#include "web/params.h"

#include <climits>
#include <cstdlib>

#include "base/encode.h"
#include "base/out.h"

namespace web {

const std::string& GetParam(const ParamList& list, std::string_view name) {
  static const std::string kAbsent = " ";
  for (const Param& p : list)
    if (p.name == name) return p.value;
  return kAbsent;
}

int GetParamInt(const ParamList& list, std::string_view name) {
  // atoi's reading, without its undefined overflow: out-of-range numbers saturate.
  long value = std::strtol(GetParam(list, name).c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

void AddParam(ParamList& list, std::string_view name, std::string_view value) {
  list.insert(list.begin(), Param{std::string(name), std::string(value)});
  base::Page("<!%s,%s>\n", base::EscapeHtml(name), base::EscapeHtml(value));
}

}  // namespace web
