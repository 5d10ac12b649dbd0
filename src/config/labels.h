// Labels of the sheet's coded fields, from the language table, and the status short codes.
#pragma once

#include <string>
#include <string_view>

namespace config {

// Message 200 + i for i from 0 to 11 (the eleven statuses and the creation-date label);
// empty otherwise.
const std::string& GetStatusLabel(int i);
// The short code of status i: "N", "Obs", "A", "O", "C", "V", "D", "NB", "NR", "P", "Ab";
// empty for 11, 12 and any other number.
std::string_view GetStatusCode(int i);
// Message 214 + i for i from 0 to 4 (no severity, then severities 1 to 4); empty otherwise.
const std::string& GetSeverityLabel(int i);
// Message 220 + i for i from 0 to 2 (no type, then types 1 and 2); empty otherwise.
const std::string& GetTypeLabel(int i);

}  // namespace config
