// Reading decimal numbers out of text.
#pragma once

#include <string_view>

namespace base {

// The leading decimal number of `text` after optional white space and sign, as a signed
// 32-bit value (held at its bounds); 0 when there is none. atoi's reading, without its
// undefined overflow.
int LeadingNumber(std::string_view text);

}  // namespace base
