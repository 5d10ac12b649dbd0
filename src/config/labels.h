// Labels of the sheet's coded fields, from the language table (the statuses' are
// store::GetStatusLabel).
#pragma once

#include <string>
#include <string_view>

namespace config {

// Message 214 + i for i from 0 to 4 (no severity, then severities 1 to 4); empty otherwise.
const std::string& GetSeverityLabel(int i);
// Message 220 + i for i from 0 to 2 (no type, then types 1 and 2); empty otherwise.
const std::string& GetTypeLabel(int i);

}  // namespace config
