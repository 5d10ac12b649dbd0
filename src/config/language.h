// The numbered message table of the language file "langue.<code>".
#pragma once

#include <string>

namespace config {

// The text of message n; empty when the number is not in the table.
const std::string& Msg(int n);

// The messages that more than one page writes, mostly in an error box.
inline constexpr int kMsgCannotOpen = 501;        // "Unable to open the file %s."
inline constexpr int kMsgFieldMissing = 502;      // a required field of the form is missing
inline constexpr int kMsgFillInField = 503;       // "Please fill in the field: %s"
inline constexpr int kMsgCannotReadSheet = 504;   // "Unable to read the fact sheet"
inline constexpr int kMsgNoRightOnProject = 507;  // not allowed on this project
inline constexpr int kMsgNoSetupRight = 516;      // not allowed to change the configuration
inline constexpr int kMsgNoRight = 532;           // "You are not allowed to see this page."

// The language code: the first word of LANGUAGE, "FR" when empty.
std::string GetLanguageCode();

}  // namespace config
