#include "web/params.h"

#include "base/encode.h"
#include "base/numbers.h"
#include "base/out.h"
#include "config/debug.h"

namespace web {

const std::string* FindParam(const ParamList& list, std::string_view name) {
  for (const Param& p : list)
    if (p.name == name) return &p.value;
  return nullptr;
}

const std::string& GetParam(const ParamList& list, std::string_view name) {
  static const std::string kAbsent = " ";
  const std::string* value = FindParam(list, name);
  return value ? *value : kAbsent;
}

const std::string& ValueOrEmpty(const ParamList& list, std::string_view name) {
  static const std::string kEmpty;
  const std::string* value = FindParam(list, name);
  return value ? *value : kEmpty;
}

std::string FieldValue(const ParamList& list, std::string_view name) {
  const std::string& value = GetParam(list, name);
  return IsAbsent(value) ? std::string() : value;
}

int GetParamInt(const ParamList& list, std::string_view name) {
  return base::LeadingNumber(GetParam(list, name));
}

void AddParam(ParamList& list, std::string_view name, std::string_view value) {
  list.insert(list.begin(), Param{std::string(name), std::string(value)});
  config::DebugPage("<!%s,%s>\n", base::EscapeHtml(name), base::EscapeHtml(value));
}

}  // namespace web
