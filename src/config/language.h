// The numbered message table of the language file "langue.<code>".
#pragma once

#include <string>

namespace config {

// The text of message n; empty when the number is not in the table.
const std::string& Msg(int n);

// The language code: the first word of LANGUAGE, "FR" when empty.
std::string GetLanguageCode();

}  // namespace config
